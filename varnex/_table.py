"""Numeric CSV tables for the command line: read samples and labels, write predictions.

Every problem with the input becomes a `TableError` whose message fits on one line
and names the file, the column and the line of the offending cell.
"""

import csv
import math
import os
import tempfile

import numpy as np


class TableError(Exception):
    """A CSV file that cannot be used, with a one-line explanation."""


class Table:
    """A CSV file held as its header and its rows of cells (strings, as read)."""

    def __init__(self, path, header, rows, line_numbers):
        self.path = path
        self.raw_header = header   # written back as read
        self.header = [name.strip() for name in header]
        self.rows = rows
        self.line_numbers = line_numbers   # the file line of each row, for messages

    @classmethod
    def read(cls, path):
        """Read a CSV file whose first line names the columns."""
        try:
            with open(path, newline="", encoding="utf-8-sig") as file:
                reader = csv.reader(file)
                header = next(reader, None)
                if header is None:
                    raise TableError(f"{path} is empty")
                rows, line_numbers = [], []
                for row in reader:
                    if not row or (len(row) == 1 and not row[0].strip()):
                        continue   # blank line
                    if len(row) != len(header):
                        raise TableError(f"{path}, line {reader.line_num}: {len(row)} cells, "
                                         f"but the header names {len(header)} columns")
                    rows.append(row)
                    line_numbers.append(reader.line_num)
        except OSError as error:
            raise TableError(f"cannot read {path}: {error.strerror or error}") from None
        except (csv.Error, UnicodeDecodeError) as error:
            raise TableError(f"{path} is not a readable CSV file: {error}") from None
        if not rows:
            raise TableError(f"{path} has a header but no data rows")
        return cls(path, header, rows, line_numbers)

    def column_index(self, name):
        try:
            return self.header.index(name)
        except ValueError:
            raise TableError(f"{self.path} has no column {name!r} (columns: {', '.join(self.header)})") from None

    def features(self, skip):
        """The cells of every column but `skip` as a float64 array of shape (rows, columns)."""
        keep = [i for i in range(len(self.header)) if i != skip]
        if not keep:
            raise TableError(f"{self.path} has no feature column besides the label column")
        cells = [[row[i] for i in keep] for row in self.rows]
        try:
            values = np.array(cells, dtype=np.float64)
        except ValueError:
            values = None
        if values is None or not np.all(np.isfinite(values)):
            self._report_bad_cell(cells, keep)
        return values

    def _report_bad_cell(self, cells, keep):
        for line, row in zip(self.line_numbers, cells):
            for column, cell in zip(keep, row):
                try:
                    value = float(cell)
                except ValueError:
                    what = "empty cell" if not cell.strip() else f"non-numeric cell {cell.strip()!r}"
                    raise TableError(f"{self.path}, line {line}, column {self.header[column]!r}: {what}") from None
                if not math.isfinite(value):
                    raise TableError(f"{self.path}, line {line}, column {self.header[column]!r}: "
                                     f"non-finite value {cell.strip()!r}")
        raise TableError(f"{self.path}: the feature cells are not all numbers")   # not reached

    def labels(self, column):
        """The label column as int64, -1 for blank cells and for -1 itself."""
        labels = np.full(len(self.rows), -1, dtype=np.int64)
        for k, (line, row) in enumerate(zip(self.line_numbers, self.rows)):
            cell = row[column].strip()
            if not cell:
                continue
            try:
                value = float(cell)
            except ValueError:
                value = math.nan
            if not math.isfinite(value) or value != round(value):
                raise TableError(f"{self.path}, line {line}, column {self.header[column]!r}: "
                                 f"label {cell!r} is not an integer (leave the cell blank or write -1 for unlabelled)")
            labels[k] = int(value)
        return labels

    def check_output(self, path, name):
        """Refuse to write over the file read, or to add a column name it already has."""
        if os.path.exists(path) and os.path.samefile(path, self.path):
            raise TableError(f"the output {path} is the input file; choose another output path")
        if name in self.header:
            raise TableError(f"{self.path} already has a column {name!r}; choose another name for the predictions")

    def write_with_column(self, path, name, values):
        """Write the table with one more column to `path`, atomically."""
        self.check_output(path, name)
        # Write beside the target and rename, so a failure never leaves half a file.
        directory = os.path.dirname(os.path.abspath(path))
        try:
            handle, temporary = tempfile.mkstemp(prefix=".varnex-", suffix=".csv", dir=directory)
        except OSError as error:
            raise TableError(f"cannot write {path}: {error.strerror or error}") from None
        try:
            with os.fdopen(handle, "w", newline="", encoding="utf-8") as file:
                writer = csv.writer(file, lineterminator="\n")
                writer.writerow(self.raw_header + [name])
                for row, value in zip(self.rows, values):
                    writer.writerow(row + [value])
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)   # mkstemp makes the file private
            os.replace(temporary, path)
        except BaseException as error:
            os.unlink(temporary)
            if isinstance(error, OSError):
                raise TableError(f"cannot write {path}: {error.strerror or error}") from None
            raise
