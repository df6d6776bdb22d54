"""The call boundary every native module shares, exercised through densa_main."""

import importlib
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from conftest import CORE, unlabelled

DATA = np.zeros((3, 2))
LABELS = unlabelled(3)
GOOD = dict(data=DATA, eps=1.0, min_samples=2, labels=LABELS, metric="minkowski", p=2)
NAMES = list(GOOD)


def call_with(core, **changes):
    kwargs = {**GOOD, **changes}
    return core.densa_main(*[kwargs[n] for n in NAMES])


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSubclass(int):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "densa_main() takes exactly 6 positional arguments (0 given)"),
        ((DATA, 1.0, 2, LABELS, "minkowski", 2, 0), {}, "densa_main() takes exactly 6 positional arguments (7 given)"),
        ((DATA, 1.0, 2), {"metric": "minkowski", "p": 2}, "densa_main() takes exactly 6 positional arguments (3 given)"),
        ((DATA,), {"eps": 1.0, "min_samples": 2, "labels": LABELS, "metric": "x", "p": 2, "q": 1},
         "densa_main() got an unexpected keyword argument 'q'"),
        ((DATA, 1.0), {"eps": 1.0, "min_samples": 2, "labels": LABELS, "metric": "x", "p": 2},
         "densa_main() got multiple values for keyword argument 'eps'"),
    ],
)
def test_binding_errors(core, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        core.densa_main(*args, **kwargs)
    assert str(info.value) == message


def test_keywords_bind_like_positionals(core, blobs):
    points, _ = blobs
    labels = unlabelled(len(points))
    by_position = core.densa_main(points, 1.5, 4, labels, "minkowski", 2)
    by_keyword = core.densa_main(p=2, metric="minkowski", labels=labels, min_samples=4, eps=1.5, data=points)
    mixed = core.densa_main(points, 1.5, labels=labels, p=2, min_samples=4, metric="minkowski")
    np.testing.assert_array_equal(by_position, by_keyword)
    np.testing.assert_array_equal(by_position, mixed)


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"eps": "1.0"}, TypeError, "must be real number, not str"),
        ({"min_samples": "2"}, TypeError, "an integer is required"),
        ({"min_samples": 2**31}, OverflowError, "value too large to convert to int"),
        ({"p": -(2**31) - 1}, OverflowError, "value too large to convert to int"),
        ({"p": 2**70}, OverflowError, "value too large to convert to int"),
        ({"min_samples": IntLike("2")}, TypeError, "__int__ returned non-int (type str)"),
        ({"metric": ("minkowski",)}, TypeError,
         "Argument 'metric' has incorrect type (expected str, got tuple)"),
        ({"metric": b"minkowski"}, TypeError, "Argument 'metric' has incorrect type (expected str, got bytes)"),
        ({"data": DATA.astype(np.float32)}, ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
        ({"labels": LABELS.astype(np.int64)}, ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
        ({"labels": LABELS.astype(np.uint32)}, ValueError,
         "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
        ({"labels": LABELS.astype(">i4")}, ValueError, "Buffer dtype mismatch, expected 'int'"),
        ({"data": np.zeros(3)}, ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        ({"labels": np.zeros((3, 1), np.int32)}, ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
        ({"data": [[0.0, 0.0]]}, TypeError, "a bytes-like object is required"),
        ({"data": None}, TypeError, "Argument 'data' must not be None"),
        ({"labels": None}, TypeError, "Argument 'labels' must not be None"),
        ({"labels": unlabelled(2)}, ValueError, "labels has 2 entries, fewer than the 3 rows of data"),
    ],
)
def test_conversion_errors(core, changes, error, message):
    with pytest.raises(error) as info:
        call_with(core, **changes)
    assert message in str(info.value)


@pytest.mark.parametrize(
    "changes, expected",
    [
        # Round one (arrays and scalars, in declaration order) comes before the str test.
        ({"p": "2", "metric": 3}, "an integer is required"),
        ({"data": np.zeros(3), "eps": "x"}, "Buffer has wrong number of dimensions"),
        ({"eps": "x", "labels": LABELS.astype(np.int64)}, "must be real number"),
        ({"labels": LABELS.astype(np.int64), "p": "x"}, "Buffer dtype mismatch"),
    ],
)
def test_conversions_run_in_declaration_order(core, changes, expected):
    with pytest.raises((TypeError, ValueError), match=expected.replace("(", r"\(")):
        call_with(core, **changes)


@pytest.mark.parametrize(
    "data",
    [
        np.zeros((2, 3)).T,                     # transposed
        np.zeros((3, 4))[:, ::2],               # column-sliced
        np.lib.stride_tricks.as_strided(np.zeros(6), (3, 2), (16, 8), writeable=False),  # read-only
    ],
)
def test_non_contiguous_or_read_only_data_is_rejected(core, data):
    with pytest.raises(ValueError):
        call_with(core, data=data)
    call_with(core, data=np.ascontiguousarray(data).copy())


def test_integer_conversion_variants(core, blobs):
    points, _ = blobs
    labels = unlabelled(len(points))
    expected = core.densa_main(points, 1.5, 4, labels, "minkowski", 2)
    for min_samples in (4.9, IntLike(4), np.int64(4), True + 3):
        np.testing.assert_array_equal(core.densa_main(points, 1.5, min_samples, labels, "minkowski", 2), expected)
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSubclass\)"):
        core.densa_main(points, 1.5, IntLike(IntSubclass(4)), labels, "minkowski", 2)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            core.densa_main(points, 1.5, IntLike(IntSubclass(4)), labels, "minkowski", 2)


def test_function_object(core):
    f = core.densa_main
    assert (f.__name__, f.__qualname__, f.__module__) == ("densa_main", "densa_main", CORE)
    assert f.__defaults__ is None
    doc = f.__doc__.split("\n")
    assert doc[0] == "densa_main(double[:, ::1] data, double eps, int min_samples, int[::1] labels, str metric, int p)"
    assert doc[1:5] == ["", "    Semi-supervised DBSCAN implementation.", "", "    Parameters:"]
    assert "    eps : doubel" in doc
    assert doc[-3:] == ["    cluster_labels : np.ndarray",
                        "        1D NumPy array of cluster assignments for each point.", "    "]
    import pickle
    assert pickle.loads(pickle.dumps(f)) is f


def test_module_namespace_and_reimport(core):
    names = [n for n in vars(core) if not n.startswith("__") or n == "__test__"]
    assert names == ["np", "KDTree", "BallTree", "densa_main", "__test__"]
    assert core.__test__ == {}
    assert not hasattr(core, "expand_cluster")
    function = core.densa_main
    assert importlib.reload(core) is core and core.densa_main is function
    del sys.modules[CORE]
    try:
        again = importlib.import_module(CORE)
        assert again is core and again.densa_main is function
    finally:
        sys.modules[CORE] = core


def traceback_routines(error):
    tb, names = error.__traceback__, []
    while tb is not None:
        names.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename))
        tb = tb.tb_next
    return names


def test_traceback_names_the_routines(core, monkeypatch):
    with pytest.raises(ValueError) as info:
        call_with(core, data=np.zeros(3))
    assert traceback_routines(info.value)[-1] == (CORE + ".densa_main", "varnex/algorithms/src/densa/source/densa_core")

    class BadTree:
        def __init__(self, data):
            pass

        def query_ball_tree(self, other, r):
            return [[0, 99], [1], [2]]

    monkeypatch.setattr(core, "KDTree", BadTree)
    with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)") as info:
        call_with(core, labels=np.array([0, -1, -1], np.int32))
    assert [name for name, _ in traceback_routines(info.value)[-2:]] == [CORE + ".densa_main",
                                                                          CORE + ".expand_cluster"]


def test_module_names_are_looked_up_at_call_time(core, monkeypatch):
    monkeypatch.delattr(core, "KDTree")
    with pytest.raises(NameError, match="name 'KDTree' is not defined"):
        call_with(core)
    # Built-ins are the fallback.
    monkeypatch.setattr(core, "np", None)
    import builtins
    monkeypatch.setattr(builtins, "np", np, raising=False)
    monkeypatch.delattr(core, "np")
    assert call_with(core, metric="euclidean").dtype == np.int32


def test_second_interpreter_is_refused():
    code = textwrap.dedent(f"""
        import {CORE}
        import _testcapi
        _testcapi.run_in_subinterp("import {CORE}")
    """)
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("no _testcapi in this interpreter")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert ("ImportError: Interpreter change detected - this module can only be loaded into one interpreter "
            "per process.") in run.stderr


def test_failed_initialisation_names_the_module_and_can_be_retried():
    code = textwrap.dedent(f"""
        import sys, traceback
        sys.modules["sklearn.neighbors"] = None   # make one module-level import fail
        try:
            import {CORE}
        except ImportError as error:
            tb = error.__traceback__
            names = []
            while tb:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
            print(names[-1])
        assert "{CORE}" not in sys.modules
        del sys.modules["sklearn.neighbors"]
        import {CORE} as core
        print(sorted(n for n in vars(core) if not n.startswith("__")))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == [f"init {CORE}", "['BallTree', 'KDTree', 'densa_main', 'np']"]


def ctypes_matrix(array):
    import ctypes
    rows, cols = array.shape
    out = (ctypes.c_double * cols * rows)()
    np.frombuffer(out, np.float64).reshape(rows, cols)[...] = array
    return out


@pytest.mark.parametrize("shape", [(30, 2), (3, 0), (0, 2)])
def test_buffer_without_strides_reads_as_c_contiguous(core, shape):
    # ctypes arrays export no strides (null means C-contiguous); rows must still be found.
    from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess
    points = np.random.default_rng(5).random(shape)
    labels = np.where(np.arange(shape[0]) % 4 == 0, np.arange(shape[0]) % 3, -1).astype(np.int32)
    for metric in ("minkowski", "manhattan"):
        outcomes = []
        for data in (points, ctypes_matrix(points)):
            try:
                outcomes.append(core.densa_main(data, 0.3, 2, labels, metric, 2).tolist())
                outcomes.append(densa_postprocess(data, labels, metric).tolist())
            except (ValueError, IndexError) as error:  # the libraries refuse zero features or rows
                outcomes.append(str(error))
        assert outcomes[: len(outcomes) // 2] == outcomes[len(outcomes) // 2:]


def misaligned(array):
    """The same values at an odd address, as a view into a byte buffer can hold them."""
    raw = np.zeros(array.nbytes + 1, np.uint8)
    view = raw[1:].view(array.dtype).reshape(array.shape)
    view[...] = array
    return view


def test_misaligned_arrays_are_refused(core):
    # Elements are used in place as C++ values; at an odd address that is undefined.
    from varnex.algorithms.src.densa.binaries.densa_postprocess import densa_postprocess
    points = np.random.default_rng(6).random((12, 2))
    labels = np.where(np.arange(12) % 4 == 0, 1, -1).astype(np.int32)
    for call in (lambda: core.densa_main(misaligned(points), 0.3, 2, labels, "minkowski", 2),
                 lambda: core.densa_main(points, 0.3, 2, misaligned(labels), "minkowski", 2),
                 lambda: densa_postprocess(misaligned(points), labels),
                 lambda: densa_postprocess(points, misaligned(labels))):
        with pytest.raises(ValueError, match="Buffer not aligned to its [48]-byte elements."):
            call()
    assert core.densa_main(misaligned(points).copy(), 0.3, 2, misaligned(labels).copy(), "minkowski", 2).shape == (12,)
