"""How `varnex fit` reads labels and chooses features, checked against the Python API
fitted on the same numbers."""

import csv
import subprocess
import sys

import numpy as np
import pytest

from varnex import DensityClustering, KNNLabelPropagation
from varnex.__main__ import main

# Two groups of three, a known label in each (rows 0 and 4): the other cells vary.
POINTS = [(0.0, 0.0), (0.1, 0.0), (0.2, 0.1), (5.0, 5.0), (5.1, 5.0), (5.2, 5.1)]


def table(labels, header="x,y,label", index=None):
    lines = [header] + [",".join([*([str(index[k])] if index is not None else []), f"{x}", f"{y}", label])
                        for k, ((x, y), label) in enumerate(zip(POINTS, labels))]
    return "\n".join(lines) + "\n"


def fit(tmp_path, capsys, text, *options):
    """(status, output rows, stderr) of `varnex fit` on `text` with the graph method."""
    (tmp_path / "in.csv").write_text(text)
    status = main(["fit", str(tmp_path / "in.csv"), "--method", "graph", "--n-neighbors", "2",
                   "--output", str(tmp_path / "out.csv"), *(options or ["--label-column", "label"])])
    rows = list(csv.reader((tmp_path / "out.csv").open())) if status == 0 else None
    return status, rows, capsys.readouterr().err


@pytest.mark.parametrize("marker", ["", "-1", "-1.0", " -1.00 ", "-1e0", "-01", "NA", "nan", "NaN", "N/A", "null",
                                    "<NA>", "#N/A"])
def test_unlabelled_markers_leave_rows_to_propagation(tmp_path, capsys, marker):
    labels = ["0.0", marker, marker, marker, "1.0", marker]
    status, rows, err = fit(tmp_path, capsys, table(labels))
    assert status == 0 and err == ""
    # The Python API with float labels, -1.0 on the unlabelled samples.
    y = np.array([0.0, -1, -1, -1, 1.0, -1])
    expected = KNNLabelPropagation(n_neighbors=2).fit(np.array(POINTS), y).transduction_
    assert [float(row[3]) for row in rows[1:]] == expected.tolist() == [0, 0, 0, 1, 1, 1]


@pytest.mark.parametrize("labels, warning", [
    (["0", "?", "", "", "1", "?"], "holds numbers and also '?', taken as class names"),
    (["cat", "", "NA", "", "dog", ""], "holds class names and also 'NA', taken as missing labels"),
    (["0", "", "NA", "nan", "1", ""], None),
    (["-1.5", "", "", "", "1", ""], None),   # a number near the marker is a class
])
def test_mixed_label_columns_warn(tmp_path, capsys, labels, warning):
    status, rows, err = fit(tmp_path, capsys, table(labels))
    assert status == 0
    if warning is None:
        assert err == ""
    else:
        assert err.count("\n") == 1 and err.startswith("varnex: warning: label column 'label' ") and warning in err


@pytest.mark.parametrize("header, first, options, index", [
    (",x,y,label", range(6), [], True),
    (",x,y,label", [3, 0, 5, 1, 4, 2], [], True),   # shuffled rows
    (",x,y,label", [10, 2, 7, 30, 4, 5], [], True),   # a subset
    (",x,y,label", [3, 0, 5, 1, 4, 2], ["--exclude", "y"], True),
    ("k,x,y,label", [0, 0, 0, 100, 100, 100], [], False),   # named: a feature
    (",x,y,label", [0, 0.5, 0, 80.5, 100, 100], [], False),   # not whole numbers
])
def test_unnamed_row_index_is_no_feature(tmp_path, capsys, header, first, options, index):
    labels = ["0", "", "", "", "1", ""]
    status, rows, err = fit(tmp_path, capsys, table(labels, header=header, index=list(first)),
                            "--label-column", "label", *options)
    assert status == 0 and ("column 1 has no name" in err) == index
    columns = [np.array(first, dtype=float), *np.array(POINTS).T][index:3 - ("y" in options)]
    y = np.array([0, -1, -1, -1, 1, -1])
    expected = KNNLabelPropagation(n_neighbors=2).fit(np.column_stack(columns), y).transduction_
    assert [int(row[4]) for row in rows[1:]] == expected.tolist()
    assert [row[0] for row in rows[1:]] == [str(k) for k in first]


ID_TABLE = "id,x,noise,y,label\n" + "".join(
    f"r{k},{x},{(-1) ** k * 40},{y},{label}\n"
    for k, ((x, y), label) in enumerate(zip(POINTS, ["a", "", "", "", "b", ""])))


@pytest.mark.parametrize("options", [
    ["--label-column", "label", "--features", "x,y"],
    ["--label-column", "label", "--features", " y , x"],
    ["--label-column", "label", "--exclude", "id,noise"],
    ["--label-column", "5", "--no-header", "--features", "2,4"],
    ["--label-column", "5", "--no-header", "--exclude", "1,3"],
])
@pytest.mark.parametrize("fast", [True, False])
def test_feature_columns_are_chosen(tmp_path, capsys, monkeypatch, options, fast):
    monkeypatch.setattr("varnex._table.FAST_LOADTXT", fast)
    text = ID_TABLE if "--no-header" not in options else ID_TABLE.split("\n", 1)[1]
    status, rows, err = fit(tmp_path, capsys, text, *options)
    assert status == 0 and err == ""
    body = rows[1:] if "--no-header" not in options else rows
    assert [row[:5] for row in body] == [row for row in csv.reader(text.splitlines())][-6:]
    assert [row[5] for row in body] == ["a", "a", "a", "b", "b", "b"]   # the noise column would mix them
    assert len(rows) == (7 if "--no-header" not in options else 6)


@pytest.mark.parametrize("metric, params", [
    ("mahalanobis", "VI=[[1,0],[0,1]]"),
    ("mahalanobis", '{"VI": [[1, 0], [0, 1]]}'),
    ("seuclidean", "V=[1,1]"),
    ("minkowski", "w=[1,1], p=2"),   # the comma inside a list value is no pair separator
])
def test_metric_params_reach_the_metric(tmp_path, capsys, metric, params):
    labels = ["0", "", "", "", "1", ""]
    status, rows, err = fit(tmp_path, capsys, table(labels), "--label-column", "label", "--metric", metric,
                            "--metric-params", params)
    assert status == 0, err
    assert [row[3] for row in rows[1:]] == ["0", "0", "0", "1", "1", "1"]


def test_confidence_is_the_predicted_class_probability(tmp_path, capsys):
    X = np.array(POINTS + [(0.0, 0.0)])   # a copy of the first row, labelled otherwise
    y = np.array([0, -1, -1, -1, 1, -1, 1])
    text = "x,y,label\n" + "".join(f"{a},{b},{k}\n" for (a, b), k in zip(X, y))
    status, rows, err = fit(tmp_path, capsys, text, "--label-column", "label", "--confidence")
    model = KNNLabelPropagation(n_neighbors=2).fit(X, y)
    assert status == 0 and rows[0][-2:] == ["predicted", "confidence"]
    assert [int(row[3]) for row in rows[1:]] == model.transduction_.tolist()
    expected = model.predict_proba(X)[np.arange(7), model.transduction_]
    np.testing.assert_allclose([float(row[4]) for row in rows[1:]], expected, rtol=1e-5)


def test_standard_output_appending_to_the_input_is_refused(tmp_path):
    source = tmp_path / "in.csv"
    source.write_text(table(["0", "", "", "", "1", ""]))
    before = source.read_text()
    command = (f"{sys.executable} -m varnex fit - --label-column label --method graph --output - "
               f"< in.csv >> in.csv")
    run = subprocess.run(command, shell=True, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 1 and "standard output is the input file" in run.stderr
    assert source.read_text() == before


@pytest.mark.parametrize("make", [lambda scale: DensityClustering(eps=1.5 * scale, min_samples=2),
                                  lambda scale: KNNLabelPropagation(n_neighbors=3)])
def test_subnormal_data_gives_the_labels_of_its_normal_copy(make):
    rng = np.random.default_rng(0)
    grid = np.concatenate([rng.integers(0, 8, (20, 2)), rng.integers(40, 48, (20, 2))]).astype(np.float64)
    y = np.full(40, -1)
    y[[0, 20]] = [0, 1]
    scale = 2.0 ** -1070   # small integers times it are subnormal, and exact
    expected = make(1.0).fit(grid, y).transduction_
    np.testing.assert_array_equal(make(scale).fit(grid * scale, y).transduction_, expected)
