import csv
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from varnex.__main__ import main
from varnex.demo import run_demo


def test_demo_compares_all_methods_on_both_data_sets():
    lines = []
    figures = run_demo(n_moons=300, seed=1, out=lines.append)
    assert set(figures) == {"two moons", "digits"}
    table = [line for line in lines if line.startswith("| ")]
    assert len(table) == 5 and "KNNLabelPropagation" in table[2] and "sklearn DBSCAN" in table[4]
    for accuracy, seconds in figures["digits"].values():
        assert 0 <= accuracy <= 1 and seconds >= 0


def test_command_line_runs_the_demo():
    run = subprocess.run([sys.executable, "-m", "varnex", "demo", "--samples", "400"],
                         capture_output=True, text=True, check=True)
    assert "sklearn LabelSpreading" in run.stdout and "two moons accuracy" in run.stdout
    assert main(["demo", "--samples", "300", "--seed", "2"]) == 0


def varnex(*args, cwd):
    return subprocess.run([sys.executable, "-m", "varnex", *args], capture_output=True, text=True, cwd=cwd)


def write(path, text):
    path.write_text(text)
    return path


TWO_GROUPS = "x, y ,label\n0.0,0.0,0\n0.1,0.0,\n0.2,0.1,-1\n5.0,5.0,\n5.1,5.0,1\n5.2,5.1,\n"


@pytest.mark.parametrize("method, options", [
    ("density", ["--eps", "0.3", "--min-samples", "2"]),
    ("graph", ["--n-neighbors", "2"]),
])
def test_fit_writes_the_input_with_predictions(tmp_path, method, options):
    source = write(tmp_path / "in.csv", TWO_GROUPS)
    run = varnex("fit", "in.csv", "--label-column", "label", "--method", method, "--output", "out.csv", *options,
                 cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""   # small inputs report no progress
    rows = list(csv.reader((tmp_path / "out.csv").open()))
    assert rows[0] == ["x", " y ", "label", "predicted"]
    assert [row[:3] for row in rows[1:]] == [row for row in csv.reader(TWO_GROUPS.splitlines())][1:]
    assert [row[3] for row in rows[1:]] == ["0", "0", "0", "1", "1", "1"]
    assert source.read_text() == TWO_GROUPS


def test_fit_reports_each_stage_on_large_inputs(tmp_path):
    rng = np.random.default_rng(0)
    points = np.concatenate([rng.normal(0, 0.3, (6000, 2)), rng.normal(5, 0.3, (6000, 2))])
    labels = np.full(len(points), "", dtype=object)
    labels[[0, 6000]] = ["3", "8"]
    lines = ["a,b,class"] + [f"{x:.4f},{y:.4f},{label}" for (x, y), label in zip(points, labels)]
    write(tmp_path / "big.csv", "\n".join(lines) + "\n")
    run = varnex("fit", "big.csv", "--label-column", "class", "--method", "graph", "--output", "out.csv",
                 cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    for stage in ("read 12000 rows", "nearest-neighbour graph", "connected components", "label propagation",
                  "wrote out.csv"):
        assert stage in run.stderr
    predicted = np.loadtxt(tmp_path / "out.csv", delimiter=",", skiprows=1, usecols=3)
    assert np.mean(predicted[:6000] == 3) > 0.99 and np.mean(predicted[6000:] == 8) > 0.99
    quiet = varnex("fit", "big.csv", "--label-column", "class", "--method", "density", "--eps", "0.05",
                   "--output", "o2.csv", "--quiet", cwd=tmp_path)
    assert quiet.returncode == 0 and quiet.stderr == ""


@pytest.mark.parametrize("content, args, message", [
    (None, [], "cannot read missing.csv: No such file or directory"),
    ("", [], "missing.csv is empty"),
    ("a,label\n", [], "has a header but no data rows"),
    ("a,b\n1,2\n", [], "has no column 'label' (columns: a, b)"),
    ("a,label\n1,0\nx1,\n", [], "line 3, column 'a': non-numeric cell 'x1'"),
    ("a,label\n1,0\n,1\n", [], "line 3, column 'a': empty cell"),
    ("a,label\n1,0\ninf,1\n", [], "line 3, column 'a': non-finite value 'inf'"),
    ("x;y;label\n1;2;0\n", ["--delimiter", ","], "has no column 'label' (columns: x;y;label); its cells may be "
                                                 "separated by ';': try --delimiter ';'"),
    ("x\ty\tlabel\n1\t2\t0\n", ["--delimiter", ";"], "separated by '\\t': try --delimiter tab"),
    ("a,b,label,\n1,2,0,\n3,4,,\n", [], "line 2: column 4 has no name and an empty cell; if every line ends "
                                        "with ',', remove that last delimiter"),
    ("a,label,b,label\n1,0,2,\n", [], "names column 'label' twice (columns 2 and 4); rename one of them"),
    (b"a,label\n1,0\n\xff,\n", [], "missing.csv is not UTF-8 text (invalid start byte); save it as UTF-8"),
    ("a,label\n1,0\n2,1,3\n", [], "line 3: 3 cells, but the header names 2 columns"),
    ("a,label\n1,\n2,-1\n", [], "no labelled row: column 'label' is blank, -1 or a missing value in every row"),
    ("label\n1\n2\n", [], "no feature column besides the label column"),
    ("a,label\n1,0\n2,\n", ["--output", "missing.csv"], "the output missing.csv is the input file"),
    ("a,label,predicted\n1,0,0\n2,,\n", [], "already has a column 'predicted'"),
    (None, ["--eps", "-1"], "--eps must be a float in the range [0.0, inf) or a str among {'auto'}. Got -1.0 instead."),
    (None, ["--min-samples", "0"], "--min-samples must be an int in the range [1, inf). Got 0 instead."),
    (None, ["--metric", "nonsense"], "--metric must be a str among"),
    (None, ["--metric", "seuclidean"], "--metric seuclidean needs --metric-params with V, for example "
                                       "--metric-params 'V=[1,4]'"),
    (None, ["--metric", "nan_euclidean"], "--metric nan_euclidean is for missing values"),
    (None, ["--n-jobs", "0"], "--n-jobs must be a number of jobs, or -1"),
    (None, ["--metric-params", "VI"], "--metric-params must be a JSON object or key=value pairs, got 'VI'"),
    (None, ["--metric-params", "[1]"], "--metric-params must be a JSON object or key=value pairs, got '[1]'"),
    (None, ["--confidence", "c"], "--confidence is an option of --method graph, not of --method density"),
    ("id,x,label\nr,1,0\n", ["--features", "x,label"], "--features names the label column 'label'"),
    ("id,x,label\nr,1,0\n", ["--exclude", "id,x"], "--exclude leaves no feature column"),
    ("id,x,label\nr,1,0\n", ["--features", "x,z"], "has no column 'z' (columns: id, x, label)"),
    (None, ["--metric", "precomputed"], "--metric precomputed needs a matrix of distances"),
])
def test_fit_rejects_bad_input_in_one_line(tmp_path, content, args, message):
    if isinstance(content, bytes):
        (tmp_path / "missing.csv").write_bytes(content)
    elif content is not None:
        write(tmp_path / "missing.csv", content)
    options = {"--output": "out.csv", **dict(zip(args[::2], args[1::2]))}
    run = varnex("fit", "missing.csv", "--label-column", "label", "--method", "density",
                 *[item for pair in options.items() for item in pair], cwd=tmp_path)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr.startswith("varnex: error: ") and run.stderr.count("\n") == 1, run.stderr
    assert message in run.stderr
    assert not (tmp_path / "out.csv").exists()
    if isinstance(content, str):
        assert (tmp_path / "missing.csv").read_text() == content
    assert [name for name in os.listdir(tmp_path) if name.startswith(".varnex-")] == []


def test_graph_fit_labels_a_group_whose_lists_never_leave_it(tmp_path):
    # Two far groups of 4 with labels only in the first: with 2 neighbours the second
    # group's lists never leave it; the fit joins it to its nearest labelled sample.
    write(tmp_path / "in.csv", "a,label\n0,0\n0.1,\n0.2,\n0.3,\n50,\n50.1,\n50.2,\n50.3,\n")
    run = varnex("fit", "in.csv", "--label-column", "label", "--method", "graph", "--n-neighbors", "2",
                 "--output", "out.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert np.all(np.loadtxt(tmp_path / "out.csv", delimiter=",", skiprows=1, usecols=2) == 0)


def test_console_script_and_usage_errors(tmp_path):
    script = os.path.join(os.path.dirname(sys.executable), "varnex")
    run = subprocess.run([script, "fit", "--help"], capture_output=True, text=True)
    assert run.returncode == 0 and "--label-column" in run.stdout
    run = varnex("fit", "in.csv", "--method", "density", "--output", "o.csv", cwd=tmp_path)
    assert run.returncode == 2 and "--label-column" in run.stderr
    run = varnex("demo", "--plot", str(tmp_path / "moons.png"), cwd=tmp_path)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert run.returncode == 1 and "--plot needs matplotlib" in run.stderr
    else:
        assert run.returncode == 0 and (tmp_path / "moons.png").stat().st_size > 0


FIT = ["fit", "in.csv", "--label-column", "label", "--output", "out.csv"]


@pytest.mark.parametrize("argv, status, line", [
    (FIT + ["--method", "graph", "--eps", "0.3"], 1,
     "varnex: error: --eps is an option of --method density, not of --method graph"),
    (FIT + ["--method", "graph", "--no-postprocess"], 1,
     "varnex: error: --no-postprocess is an option of --method density, not of --method graph"),
    (FIT + ["--method", "density", "--max-iter", "5"], 1,
     "varnex: error: --max-iter is an option of --method graph, not of --method density"),
    (FIT + ["--method", "density", "--algorithm", "approximate"], 1,
     "varnex: error: --algorithm is an option of --method graph, not of --method density"),
    (FIT + ["--method", "graph", "--n-probes", "0"], 1,
     "varnex: error: --n-probes must be an int in the range [1, inf). Got 0 instead."),
    (FIT + ["--method", "graph", "--algorithm", "approximate", "--metric", "manhattan"], 1,
     "varnex: error: algorithm='approximate' takes metric 'euclidean', 'cosine', 'inner_product', not 'manhattan'"),
    (FIT + ["--method", "density", "--threshold", "5"], 1,
     "varnex: error: --threshold must be -1 or lower (new clusters are numbered -2, -3, ...), got 5"),
    (FIT + ["--method", "density", "--delimiter", "ab"], 1,
     "varnex: error: --delimiter must be one character (or 'tab'), got 'ab'"),
    (FIT[:-1] + ["nowhere/out.csv", "--method", "graph"], 1,
     "varnex: error: cannot write nowhere/out.csv: the folder {tmp}/nowhere does not exist"),
    (FIT[:-1] + [".", "--method", "graph"], 1, "varnex: error: cannot write .: it is a folder; name a file in it"),
    (FIT + ["--method", "graph", "--max-iter", "x"], 2,
     "varnex fit: error: argument --max-iter: invalid int value: 'x' (see varnex fit --help)"),
    (["fit", "in.csv", "--method", "graph", "--output", "o.csv"], 2,
     "varnex fit: error: the following arguments are required: --label-column (see varnex fit --help)"),
    (["demo", "--samples", "0"], 1, "varnex: error: --samples must be at least 10, got 0"),
    (["demo", "--samples", "-5"], 1, "varnex: error: --samples must be at least 10, got -5"),
    (["demo", "--seed", "-1"], 1, "varnex: error: --seed must be from 0 to 4294967295, got -1"),
    (["demo", "--seed", "99999999999"], 1, "varnex: error: --seed must be from 0 to 4294967295, got 99999999999"),
    (["demo", "--plot", "nowhere/moons.png"], 1, None),   # matplotlib missing, or the folder
])
def test_command_lines_fail_early_in_one_line(tmp_path, argv, status, line):
    # in.csv does not exist: each of these is refused before any input is read.
    run = varnex(*argv, cwd=tmp_path)
    assert run.returncode == status and run.stdout == ""
    assert run.stderr.count("\n") == 1, run.stderr
    if line is not None:
        assert run.stderr == line.format(tmp=os.path.realpath(tmp_path)) + "\n"
    else:
        assert run.stderr.startswith("varnex: error: ")


def test_version():
    run = varnex("--version", cwd=None)
    assert run.returncode == 0 and run.stdout.strip() == f"varnex {varnex_version()}"


def varnex_version():
    from varnex import __version__

    return __version__


def fit_in_process(folder, text, *options, method="graph", name="in.csv"):
    """Run `varnex fit` on `text` in this process; return (status, rows of the output)."""
    write(folder / name, text)
    status = main(["fit", str(folder / name), "--label-column", "label", "--method", method,
                   "--output", str(folder / "out.csv"), *options])
    output = (folder / "out.csv").read_text() if status == 0 else None
    return status, output


@pytest.mark.parametrize("method, options, predicted", [
    ("graph", ["--n-neighbors", "2", "--max-iter", "0"], "0 -1 -1 -1 1 -1"),   # no sweep: known labels only
    ("graph", ["--n-neighbors", "2", "--propagation", "sequential"], "0 0 0 1 1 1"),
    ("graph", ["--n-neighbors", "2", "--algorithm", "approximate", "--n-probes", "1", "--random-state", "3"],
     "0 0 0 1 1 1"),
    ("density", ["--eps", "0.01", "--min-samples", "1", "--no-postprocess"], "0 -1 -1 -1 1 -1"),
    ("density", ["--eps", "0.01", "--min-samples", "1"], "0 0 0 1 1 1"),
    # One region within 7.2: split by distance, or all but class 1's sample to the first label.
    ("density", ["--eps", "7.2", "--min-samples", "2", "--no-postprocess"], "0 0 0 1 1 1"),
    ("density", ["--eps", "7.2", "--min-samples", "2", "--no-postprocess", "--growth", "sequential"], "0 0 0 0 1 0"),
    # By angle, (0.1, 0) and (0.2, 0.1) lie nearer to class 1 than to the origin of class 0.
    ("density", ["--eps", "0.01", "--min-samples", "1", "--metric", "cosine"], "0 1 1 1 1 1"),
])
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
def test_method_options_reach_the_estimator(tmp_path, method, options, predicted):
    status, output = fit_in_process(tmp_path, TWO_GROUPS, *options, method=method)
    assert status == 0
    assert [row[3] for row in csv.reader(output.splitlines())][1:] == predicted.split()


@pytest.mark.parametrize("terminal, options, reported", [
    (True, [], True),                 # a terminal watches: progress by default
    (True, ["--quiet"], False),
    (False, [], False),               # a small input into a file or pipe: nothing
    (False, ["--verbose"], True),
])
def test_progress_follows_the_terminal_and_the_options(tmp_path, monkeypatch, capsys, terminal, options, reported):
    import varnex.__main__ as command

    monkeypatch.setattr(command, "_stderr_is_terminal", lambda: terminal)
    status, _ = fit_in_process(tmp_path, TWO_GROUPS, "--n-neighbors", "2", "--algorithm", "approximate", *options)
    err = capsys.readouterr().err
    assert status == 0
    if reported:
        for stage in ("varnex: read 6 rows", "KNNLabelPropagation: cell assignment: 6 rows ...",
                      "KNNLabelPropagation: 2-nearest-neighbour search done: 6 rows in "):
            assert stage in err
    else:
        assert err == ""


@pytest.mark.parametrize("method, hint", [("density", "a smaller --eps"), ("graph", "a smaller --n-neighbors")])
def test_running_out_of_memory_is_one_line(tmp_path, monkeypatch, capsys, method, hint):
    from varnex import DensityClustering, KNNLabelPropagation

    def fit(self, X, y):
        raise MemoryError

    for estimator in (DensityClustering, KNNLabelPropagation):
        monkeypatch.setattr(estimator, "fit", fit)
    assert fit_in_process(tmp_path, TWO_GROUPS, method=method) == (1, None)
    assert capsys.readouterr().err == f"varnex: error: {method} fit ran out of memory: {hint} keeps fewer " \
                                      "neighbours per row\n"


@pytest.mark.parametrize("first, second", [
    ("9007199254740993", "9007199254740995"),   # not exact as float64
    (str(2**63), str(2**64 + 1)),               # beyond int64 and uint64
    (str(-2**63 - 1), "00"),
    ("cat", "dog"),
    ("b", "10"),
    ("a label, with a comma", 'and "quotes"'),
])
@pytest.mark.parametrize("method, options", [("density", ["--eps", "0.3", "--min-samples", "2"]),
                                             ("graph", ["--n-neighbors", "2"])])
def test_labels_are_written_back_as_their_exact_text(tmp_path, method, options, first, second):
    source = TWO_GROUPS.replace(",0\n", f",{_csv_cell(first)}\n").replace(",1\n", f",{_csv_cell(second)}\n")
    status, output = fit_in_process(tmp_path, source, *options, method=method)
    assert status == 0
    rows = list(csv.reader(output.splitlines()))
    assert [row[:3] for row in rows] == list(csv.reader(source.splitlines()))
    assert [row[3] for row in rows[1:]] == [first] * 3 + [second] * 3


def _csv_cell(text):
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"') else text


@pytest.mark.parametrize("delimiter, options", [(";", []), ("\t", []), ("|", []), ("\t", ["--delimiter", "tab"])])
def test_delimiter_is_found_or_given_and_kept(tmp_path, delimiter, options):
    status, comma = fit_in_process(tmp_path, TWO_GROUPS, "--n-neighbors", "2")
    status, other = fit_in_process(tmp_path, TWO_GROUPS.replace(",", delimiter), "--n-neighbors", "2", *options)
    assert status == 0 and other == comma.replace(",", delimiter)


def random_table(rng, rows, quoted=False):
    """(CSV text, features, label texts) of a table with irregular but valid formatting."""
    X = rng.normal(size=(rows, 3)) * 10.0 ** rng.integers(-5, 6, size=(rows, 3))
    labels = rng.choice(["", "-1", "7", "x y", "a,b", str(2**70)], size=rows)
    lines = ["f0, f1 ,label,f2"]
    for row, label in zip(X, labels):
        cells = [repr(float(value)) for value in row]
        if quoted:
            cells[1] = f'"{cells[1]}"'
        lines.append(f"{cells[0]},{cells[1]},{_csv_cell(label)},{cells[2]}")
        if quoted and rng.random() < 0.1:
            lines.append("   ")   # whitespace-only lines are skipped
    return "\r\n".join(lines) + "\r\n", X, labels


@pytest.mark.parametrize("fast", [True, False])
@pytest.mark.parametrize("quoted", [True, False])
def test_both_reading_paths_return_the_written_values(tmp_path, monkeypatch, fast, quoted):
    from varnex import _table

    monkeypatch.setattr(_table, "FAST_LOADTXT", fast and _table.FAST_LOADTXT)
    monkeypatch.setattr(_table, "ROWS_PER_CHUNK", 64)   # several chunks
    text, X, labels = random_table(np.random.default_rng(5), 300, quoted)
    write(tmp_path / "t.csv", text)
    with _table.CsvInput(str(tmp_path / "t.csv")) as table:
        values, codes, classes = table.read(table.column_index("label"))
        assert table.delimiter == "," and table.names == ["f0", "f1", "label", "f2"]
    np.testing.assert_array_equal(values, X)   # repr round-trips exactly
    texts = np.array(classes + ["-1"], dtype=object)[codes]
    np.testing.assert_array_equal(texts, np.where(labels == "", "-1", labels))
    assert classes == sorted(set(labels) - {"", "-1"})


def test_integer_labels_keep_numeric_class_order():
    from varnex._table import LabelCodes

    labels = LabelCodes()
    codes = np.array([labels(text) for text in ["10", "", "9", " -3 ", "-1", "10"]])
    classes, renumbered = labels.sorted_classes(codes)
    assert classes == ["-3", "9", "10"] and renumbered.tolist() == [2, -1, 1, 0, -1, 2]


def test_output_dash_and_dev_stdout_write_to_standard_output(tmp_path):
    write(tmp_path / "in.csv", TWO_GROUPS)
    base = ["fit", "in.csv", "--label-column", "label", "--method", "graph", "--n-neighbors", "2"]
    assert varnex(*base, "--output", "file.csv", cwd=tmp_path).returncode == 0
    expected = (tmp_path / "file.csv").read_text()
    for target in ("-", "/dev/stdout"):
        run = varnex(*base, "--output", target, cwd=tmp_path)
        assert run.returncode == 0 and run.stdout == expected and run.stderr == ""
    assert not (tmp_path / "-").exists() and os.path.islink("/dev/stdout")
    # Standard output appending to a file: /dev/stdout names that file, which is appended to, not replaced.
    log = write(tmp_path / "log.txt", "before\n")
    with log.open("a") as append:
        subprocess.run([sys.executable, "-m", "varnex", *base, "--output", "/dev/stdout"], cwd=tmp_path,
                       stdout=append, check=True)
    assert log.read_text() == "before\n" + expected


def test_symlink_is_written_through_and_mode_kept(tmp_path):
    target = write(tmp_path / "target.csv", "old\n")
    target.chmod(0o640)
    (tmp_path / "link.csv").symlink_to("target.csv")
    status, _ = fit_in_process(tmp_path, TWO_GROUPS, "--n-neighbors", "2")
    expected = (tmp_path / "out.csv").read_text()
    assert main(["fit", str(tmp_path / "in.csv"), "--label-column", "label", "--method", "graph",
                 "--n-neighbors", "2", "--output", str(tmp_path / "link.csv")]) == 0
    assert (tmp_path / "link.csv").is_symlink() and target.read_text() == expected
    assert target.stat().st_mode & 0o777 == 0o640
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "link.csv", "out.csv", "target.csv"]


def test_fifo_output_is_written_in_place(tmp_path):
    write(tmp_path / "in.csv", TWO_GROUPS)
    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-m", "varnex", "fit", "in.csv", "--label-column", "label",
                              "--method", "graph", "--n-neighbors", "2", "--output", "pipe.csv"], cwd=tmp_path,
                             stderr=subprocess.PIPE, text=True)
    with open(fifo) as reader:   # blocks until the child opens it for writing
        received = reader.read()
    assert child.wait(timeout=60) == 0, child.stderr.read()
    assert received.splitlines()[0] == "x, y ,label,predicted" and len(received.splitlines()) == 7
    assert fifo.is_fifo()


def test_standard_input_to_standard_output(tmp_path):
    run = subprocess.run([sys.executable, "-m", "varnex", "fit", "-", "--label-column", "label", "--method", "graph",
                          "--n-neighbors", "2", "--output", "-"], input=TWO_GROUPS, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert [row[3] for row in csv.reader(run.stdout.splitlines())] == ["predicted", "0", "0", "0", "1", "1", "1"]


def test_fifo_input_is_read(tmp_path):
    fifo = tmp_path / "in.csv"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-m", "varnex", "fit", "in.csv", "--label-column", "label",
                              "--method", "graph", "--n-neighbors", "2", "--output", "out.csv"], cwd=tmp_path,
                             stderr=subprocess.PIPE, text=True)
    with open(fifo, "w") as writer:
        writer.write(TWO_GROUPS)
    assert child.wait(timeout=60) == 0, child.stderr.read()
    assert [row[3] for row in csv.reader((tmp_path / "out.csv").open())][1:] == ["0", "0", "0", "1", "1", "1"]


def test_interrupted_write_leaves_the_old_file(tmp_path):
    from varnex._output import Output

    old = write(tmp_path / "out.csv", "old\n")
    with pytest.raises(KeyboardInterrupt):
        with Output(str(old)).open() as file:
            file.write("half a table")
            raise KeyboardInterrupt
    assert os.listdir(tmp_path) == ["out.csv"] and old.read_text() == "old\n"


@pytest.fixture(scope="module")
def large_input(tmp_path_factory):
    """200,000 uniform points in the unit square, 100 of them labelled: a fit of a few seconds."""
    rng = np.random.default_rng(0)
    points = rng.random((200_000, 2))
    labels = np.full(len(points), "", dtype=object)
    labels[:50], labels[50:100] = "1", "2"
    path = tmp_path_factory.mktemp("large") / "in.csv"
    with path.open("w") as file:
        file.write("a,b,label\n")
        file.writelines(f"{x:.6f},{y:.6f},{label}\n" for (x, y), label in zip(points, labels))
    return path


def start_fit(folder, source):
    return subprocess.Popen([sys.executable, "-m", "varnex", "fit", str(source), "--label-column", "label",
                             "--method", "density", "--eps", "0.01", "--min-samples", "3", "--output", "out.csv",
                             "--verbose"], cwd=folder, stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def wait_for_line(child, text):
    for line in child.stderr:
        if text in line:
            return
    raise AssertionError(f"the fit ended before {text!r}")


@pytest.mark.parametrize("stage", ["varnex: read", "density clustering of"])
def test_ctrl_c_ends_with_one_line_and_status_130(tmp_path, large_input, stage):
    # At "density clustering of" the native clustering is running: it answers at
    # once where its loops poll for interrupts, else when it returns.
    child = start_fit(tmp_path, large_input)
    wait_for_line(child, stage)
    child.send_signal(signal.SIGINT)
    _, rest = child.communicate(timeout=120)
    assert child.returncode == 130 and rest.splitlines()[-1:] == ["varnex: interrupted"], rest
    assert "Traceback" not in rest and os.listdir(tmp_path) == []


def test_sigterm_while_writing_removes_the_temporary_file(tmp_path, large_input):
    write(tmp_path / "out.csv", "old\n")
    for attempt in range(10):  # the write lasts a fraction of a second: catch it
        child = start_fit(tmp_path, large_input)
        wait_for_line(child, "post-processing done")
        while child.poll() is None and not [name for name in os.listdir(tmp_path) if name.startswith(".varnex-")]:
            time.sleep(0.001)
        child.send_signal(signal.SIGTERM)
        child.communicate(timeout=60)
        if child.returncode == -signal.SIGTERM:
            break
        write(tmp_path / "out.csv", "old\n")
    assert child.returncode == -signal.SIGTERM
    assert os.listdir(tmp_path) == ["out.csv"] and (tmp_path / "out.csv").read_text() == "old\n"
