"""CSV input for the command line: a numeric table with one column of class labels.

The file is read twice: once into typed arrays (float64 features, integer label codes)
for the fit, and once more, row by row, when the labelled table is written, so the
text of the rows is never held in memory. Inputs that cannot be read twice (standard
input, a pipe) are first copied to a temporary file.

Every problem with the input becomes a `TableError` whose message fits on one line
and names the file, the column and the line of the offending cell.
"""

import csv
import decimal
import io
import math
import os
import re
import shutil
import stat
import tempfile
import sys
import warnings

import numpy as np

# NumPy's loadtxt is a C parser (with quoted fields) from 1.23 on; older releases
# read with Python's csv module, as every file does when loadtxt refuses it.
FAST_LOADTXT = tuple(int(part) for part in np.__version__.split(".")[:2]) >= (1, 23)
SNIFFED_DELIMITERS = ",;\t|"
# Texts that stand for a missing value in tables written by data-frame libraries and
# spreadsheets, compared in lower case.
MISSING_TEXTS = frozenset({"na", "n/a", "nan", "-nan", "null", "<na>", "#n/a"})
ROWS_PER_CHUNK = 65536
_INTEGER = re.compile(r"[+-]?[0-9]+")


class TableError(Exception):
    """A CSV file that cannot be used, with a one-line explanation."""


def sniff_delimiter(sample):
    """The delimiter among , ; tab | that splits `sample` consistently; "," if none does."""
    try:
        return csv.Sniffer().sniff(sample, delimiters=SNIFFED_DELIMITERS).delimiter
    except csv.Error:
        return ","


class LabelCodes:
    """Gives each distinct label text an integer code as the rows are read; -1 if unlabelled.

    A cell marks its row unlabelled when it is blank, reads as the number -1 (``-1``,
    ``-1.0``, ``-1e0``: the float -1.0 that marks a sample in the Python API), or is a
    missing-value text (`MISSING_TEXTS`, any case), as tables written from data frames
    hold them. Each distinct text is judged once.
    """

    def __init__(self):
        self.codes = {}
        self.classes = 0

    def __call__(self, cell):
        text = cell.strip()
        code = self.codes.get(text)
        if code is None:
            code = -1 if is_unlabelled_text(text) else self.classes
            self.classes += code >= 0
            self.codes[text] = code
        return code

    def sorted_classes(self, codes):
        """(class texts in class order, `codes` renumbered to index them, -1 kept)."""
        texts = [text for text, code in self.codes.items() if code >= 0]
        order = _class_order(texts)
        renumber = np.empty(len(texts) + 1, dtype=np.int64)
        renumber[-1] = -1   # codes of -1 index the last entry
        renumber[order] = np.arange(len(texts))
        return [texts[k] for k in order], renumber[codes]

    def doubts(self, column):
        """Warnings for a column whose markers and classes look mixed up, one line each."""
        classes = [text for text, code in self.codes.items() if code >= 0]
        numbers = [text for text in classes if _is_number(text)]
        names = [text for text in classes if not _is_number(text)]
        missing = [text for text, code in self.codes.items() if code < 0 and text.lower() in MISSING_TEXTS]
        doubts = []
        if numbers and names:
            doubts.append(f"label column {column!r} holds numbers and also {_some(names)}, taken as class "
                          "names; if they mark unlabelled rows, write -1 or leave the cell blank")
        if names and missing:
            doubts.append(f"label column {column!r} holds class names and also {_some(missing)}, taken as "
                          "missing labels (unlabelled rows); if that is a class, rename it")
        return doubts


def is_unlabelled_text(text):
    """Whether a label cell (without surrounding spaces) marks its row unlabelled."""
    if not text or text.lower() in MISSING_TEXTS:
        return True
    try:
        return decimal.Decimal(text) == -1   # exact: -1.0000000000000001 is a class
    except (decimal.InvalidOperation, ValueError):
        return False


def _is_number(text):
    try:
        return math.isfinite(float(text))
    except ValueError:
        return False


def _some(texts, shown=3):
    listed = ", ".join(map(repr, texts[:shown]))
    return listed + (f" and {len(texts) - shown} more texts" if len(texts) > shown else "")


def _class_order(texts):
    """Indices of `texts` in class order: by value if every label is an integer, else as text.

    That is the order the estimators give the same labels as integers or as strings.
    """
    by_text = sorted(range(len(texts)), key=texts.__getitem__)
    if all(_INTEGER.fullmatch(text) for text in texts):
        try:
            return sorted(by_text, key=lambda k: int(texts[k]))   # stable: equal values ("01", "1") stay in text order
        except ValueError:   # more digits than int() converts
            pass
    return by_text


class CsvInput:
    """A CSV file, open for reading its rows twice.

    With `header`, its first line names the columns; without, every line is a row and
    the columns are named by their position, "1", "2", ...
    """

    def __init__(self, path, delimiter=None, header=True):
        self.name = "standard input" if path == "-" else path
        self._file = self._open(path)
        try:
            with self._text() as text:
                first = text.readline()
                sample = first + text.read(65536)
        except UnicodeDecodeError as error:
            raise self._not_utf8(error) from None
        if not sample.strip():
            raise TableError(f"{self.name} is empty")
        if delimiter is None:   # sniffed on whole lines
            delimiter = sniff_delimiter(sample[:max(sample.rfind("\n"), len(first))])
        self.delimiter = delimiter
        first_row = next(csv.reader(io.StringIO(sample), delimiter=delimiter))
        self.has_header = header
        self.header = first_row if header else None   # written back as read
        self.width = len(first_row)
        self.names = [name.strip() for name in first_row] if header else [str(k + 1) for k in range(self.width)]

    @staticmethod
    def _open(path):
        try:
            file = open(sys.stdin.fileno(), "rb", closefd=False) if path == "-" else open(path, "rb")
            if stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                return file
            with file:   # a pipe or a device: keep a copy to read twice
                spool = tempfile.TemporaryFile()
                shutil.copyfileobj(file, spool)
            return spool
        except OSError as error:
            raise TableError(f"cannot read {path}: {error.strerror or error}") from None

    def _text(self):
        """The file as text from its start (a new handle: closing it leaves the file open)."""
        self._file.seek(0)
        return open(os.dup(self._file.fileno()), encoding="utf-8-sig", newline="")

    def close(self):
        self._file.close()

    def _not_utf8(self, error):
        return TableError(f"{self.name} is not UTF-8 text ({error.reason}); save it as UTF-8")

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def column_index(self, name):
        """The index of column `name`, after checking that no column name repeats."""
        seen = {}
        for k, other in enumerate(self.names):
            if other and other in seen:
                raise TableError(f"{self.name} names column {other!r} twice (columns {seen[other] + 1} and {k + 1}); "
                                 "rename one of them")
            seen[other] = k
        if name in seen:
            return seen[name]
        hint = ""
        if self.width == 1:
            other = next((d for d in ";\t|," if d in self.names[0] and d != self.delimiter), None)
            if other is not None:
                hint = f"; its cells may be separated by {other!r}: try --delimiter {_shell_word(other)}"
        columns = self.delimiter.join(self.names) if hint else ", ".join(self.names)
        raise TableError(f"{self.name} has no column {name!r} (columns: {columns}){hint}")

    def columns(self, names):
        """The indices of the columns `names`, in file order, each checked to exist."""
        return sorted({self.column_index(name) for name in names})

    def read(self, label, features=None):
        """Features and labels: ``(X float64 (rows, features), codes int64, classes)``.

        `features` lists the indices of the feature columns (default: every column
        but `label`); the other columns are not read. ``classes`` holds the text of each
        distinct label, and ``codes`` its index there for each row, -1 for an
        unlabelled row (see `LabelCodes`).
        """
        if features is None:
            features = [k for k in range(self.width) if k != label]
        if not features:
            raise TableError(f"{self.name} has no feature column besides the label column")
        try:
            values, codes, labels = None, None, None
            if FAST_LOADTXT:
                values, codes, labels = self._read_with_loadtxt(label, features)
            if values is None:   # refused, or an old NumPy: the csv module finds what is wrong
                values, codes, labels = self._read_with_csv(label, features)
        except UnicodeDecodeError as error:
            raise self._not_utf8(error) from None
        except csv.Error as error:
            raise TableError(f"{self.name} is not a readable CSV file: {error}") from None
        except MemoryError:
            raise TableError(f"not enough memory to read {self.name}") from None
        if values.shape[0] == 0:
            raise TableError(f"{self.name} has a header but no data rows" if self.has_header
                             else f"{self.name} has no data rows")
        self.label_doubts = labels.doubts(self.names[label])
        classes, codes = labels.sorted_classes(codes)
        return values, codes, classes

    def _read_with_loadtxt(self, label, features):
        labels = LabelCodes()
        skipped = {k: _skip for k in range(self.width) if k != label and k not in features}
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")   # an input without rows
                with self._text() as text:
                    table = np.loadtxt(text, delimiter=self.delimiter, skiprows=int(self.has_header), comments=None,
                                       quotechar='"', dtype=np.float64, converters={label: labels, **skipped},
                                       ndmin=2)
        except ValueError:
            return None, None, None
        if table.shape[0] == 0:
            return np.empty((0, len(features))), np.empty(0, dtype=np.int64), labels
        if table.shape[1] != self.width:
            return None, None, None
        codes = table[:, label].astype(np.int64)
        values = table[:, features] if len(features) + 1 < self.width else np.delete(table, label, axis=1)
        if not np.isfinite(values).all():
            return None, None, None
        return values, codes, labels

    def _read_with_csv(self, label, keep):
        labels = LabelCodes()
        values, codes, chunk, lines = [], [], [], []
        for line, row in self._records():
            chunk.append(row)
            lines.append(line)
            if len(chunk) == ROWS_PER_CHUNK:
                values.append(self._numbers(chunk, lines, keep))
                codes.append(np.array([labels(row[label]) for row in chunk], dtype=np.int64))
                chunk, lines = [], []
        values.append(self._numbers(chunk, lines, keep))
        codes.append(np.array([labels(row[label]) for row in chunk], dtype=np.int64))
        return np.concatenate(values), np.concatenate(codes), labels

    def _records(self):
        """(line number, cells) of every data row, blank lines skipped, cell counts checked."""
        with self._text() as text:
            reader = csv.reader(text, delimiter=self.delimiter)
            if self.has_header:
                next(reader, None)
            for row in reader:
                if not row or (len(row) == 1 and not row[0].strip()):
                    continue
                if len(row) != self.width:
                    raise TableError(f"{self.name}, line {reader.line_num}: {len(row)} cells, "
                                     f"but the {'header names' if self.has_header else 'first line has'} "
                                     f"{self.width} {'columns' if self.has_header else 'cells'}")
                yield reader.line_num, row

    def write_with_columns(self, file, names, columns):
        """Write every row as read, each followed by its cell of each of `columns`, to
        `file`; the header too, if the input has one, followed by `names`."""
        writer = csv.writer(file, delimiter=self.delimiter, lineterminator="\n")
        if self.has_header:
            writer.writerow(self.header + list(names))
        rows, count = self._records(), 0
        cells = columns[0] if len(columns) == 1 else zip(*columns)
        for cell, (_, row) in zip(cells, rows):
            writer.writerow(row + ([cell] if len(columns) == 1 else list(cell)))
            count += 1
        if count != len(columns[0]) or next(rows, None) is not None:
            raise TableError(f"{self.name} changed while it was being labelled; run again on a stable copy")

    def _numbers(self, chunk, lines, keep):
        cells = [[row[k] for k in keep] for row in chunk]
        try:
            values = np.array(cells, dtype=np.float64).reshape(len(chunk), len(keep))
        except ValueError:
            values = None
        if values is None or not np.isfinite(values).all():
            self._report_bad_cell(cells, lines, keep)
        return values

    def _report_bad_cell(self, cells, lines, keep):
        for line, row in zip(lines, cells):
            for column, cell in zip(keep, row):
                where = f"{self.name}, line {line}, column {self.names[column]!r}"
                try:
                    value = float(cell)
                except ValueError:
                    if cell.strip():
                        raise TableError(f"{where}: non-numeric cell {cell.strip()!r}") from None
                    if not self.names[column]:
                        raise TableError(f"{self.name}, line {line}: column {column + 1} has no name and an empty "
                                         f"cell; if every line ends with {self.delimiter!r}, remove that last "
                                         "delimiter") from None
                    raise TableError(f"{where}: empty cell") from None
                if not np.isfinite(value):
                    raise TableError(f"{where}: non-finite value {cell.strip()!r}")
        raise TableError(f"{self.name}: the feature cells are not all numbers")   # not reached


def looks_like_row_index(column):
    """Whether a column's values are distinct whole numbers from 0 up, as the row index
    a data frame writes in front of its columns (0, 1, 2, ..., or a shuffle or subset)."""
    return bool(column.size and column.min() >= 0 and np.all(column == np.floor(column))
                and np.unique(column).size == column.size)


def _skip(cell):
    return 0.0   # a column the features leave out: never parsed


def _shell_word(text):
    return {"\t": "tab", ";": "';'", "|": "'|'"}.get(text, text)
