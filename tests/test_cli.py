import csv
import os
import subprocess
import sys

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
    ("a,label\n1,0\n2,one\n", [], "line 3, column 'label': label 'one' is not an integer"),
    ("a,label\n1,0\n2,1,3\n", [], "line 3: 3 cells, but the header names 2 columns"),
    ("a,label\n1,\n2,-1\n", [], "no labelled row: column 'label' is blank or -1 in every row"),
    ("label\n1\n2\n", [], "no feature column besides the label column"),
    ("a,label\n1,0\n2,\n", ["--output", "missing.csv"], "the output missing.csv is the input file"),
    ("a,label,predicted\n1,0,0\n2,,\n", [], "already has a column 'predicted'"),
    ("a,label\n1,0\n2,\n", ["--eps", "-1"], "density fit failed: ValueError: eps must be at least 0"),
    ("a,label\n1,0\n2,\n", ["--metric", "nonsense"], "density fit failed: ValueError: Unrecognized metric"),
])
def test_fit_rejects_bad_input_in_one_line(tmp_path, content, args, message):
    if content is not None:
        write(tmp_path / "missing.csv", content)
    options = {"--output": "out.csv", **dict(zip(args[::2], args[1::2]))}
    run = varnex("fit", "missing.csv", "--label-column", "label", "--method", "density",
                 *[item for pair in options.items() for item in pair], cwd=tmp_path)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr.startswith("varnex: error: ") and run.stderr.count("\n") == 1, run.stderr
    assert message in run.stderr
    assert not (tmp_path / "out.csv").exists()
    if content is not None:
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
