"""One call of a native function, described as data so it can be sent to a child process.

A `Call` names its function (a key of `FUNCTIONS`), its arguments and the module names
it rebinds for its duration. Array layouts that pickling would not keep (views,
read-only flags, misaligned or foreign buffers) are written as `Layout` placeholders,
which become the real objects when the call is unpickled: `materialise` does that round
trip for calls run in this process.
"""

import ctypes
import importlib
import pickle
import warnings
from dataclasses import dataclass, field

import numpy as np

DENSA = "varnex.algorithms.src.densa.binaries"
LINKA = "varnex.algorithms.src.linka.binaries"

# Function name -> the module that exports it.
FUNCTIONS = {
    "densa_main": f"{DENSA}.densa_core",
    "densa_postprocess": f"{DENSA}.densa_postprocess",
    "cluster_neighbourhoods": f"{DENSA}.densa_arrays",
    "cluster_weighted_neighbourhoods": f"{DENSA}.densa_arrays",
    "cluster_synchronously": f"{DENSA}.densa_arrays",
    "neighbourhoods_from_pairs": f"{DENSA}.densa_arrays",
    "close_pairs": f"{DENSA}.densa_arrays",
    "label_groups": f"{DENSA}.densa_arrays",
    "cluster_means": f"{DENSA}.densa_arrays",
    "nearest_centres": f"{DENSA}.densa_arrays",
    "cluster_streamed": f"{DENSA}.densa_stream",
    "cluster_streamed_synchronously": f"{DENSA}.densa_stream",
    "offer_tile": f"{LINKA}.linka_nearest",
    "find_connected_components": f"{LINKA}.linka_bfs",
    "connect_unlabeled": f"{LINKA}.linka_connect",
    "weighted_label_propagation": f"{LINKA}.linka_lp",
    "propagate": f"{LINKA}.linka_sweep",
    "label_confidence": f"{LINKA}.linka_sweep",
    "components": f"{LINKA}.linka_arrays",
    "connect": f"{LINKA}.linka_arrays",
    "join": f"{LINKA}.linka_arrays",
    "closed_groups": f"{LINKA}.linka_arrays",
    "symmetric": f"{LINKA}.linka_arrays",
    "reverse_subgraph": f"{LINKA}.linka_arrays",
}


class _Deleted:
    """Patch value that removes the module attribute for the call."""

    def __repr__(self):
        return "DELETED"

    def __reduce__(self):
        return "DELETED"


DELETED = _Deleted()


class ModuleRef:
    """A module as a patch value (modules do not pickle): unpickles as the module."""

    def __init__(self, name):
        self.name = name

    def __reduce__(self):
        return importlib.import_module, (self.name,)

    def __repr__(self):
        return f"ModuleRef({self.name!r})"


@dataclass
class Call:
    function: str
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    patches: dict = field(default_factory=dict)  # module attribute -> stand-in

    def module(self):
        return importlib.import_module(FUNCTIONS[self.function])

    def run(self):
        """Calls the function with the patches in place; restores the module afterwards."""
        module = self.module()
        if not self.patches:
            return getattr(module, self.function)(*self.args, **self.kwargs)
        namespace = vars(module)
        saved = dict(namespace)
        try:
            for name, value in self.patches.items():
                if value is DELETED:
                    namespace.pop(name, None)
                else:
                    namespace[name] = value
            return getattr(module, self.function)(*self.args, **self.kwargs)
        finally:
            # Back to the same names in the same order (tests check the namespace's order).
            for name in list(namespace):
                if name not in saved:
                    del namespace[name]
            if list(namespace) != list(saved):
                namespace.clear()
            namespace.update(saved)

    def objects(self):
        """Every argument and stand-in object the call holds, for reference-count checks."""
        return [*self.args, *self.kwargs.values(), *(v for v in self.patches.values() if v is not DELETED)]


def materialise(call):
    """The call with every `Layout` turned into its object, as a child process sees it."""
    return pickle.loads(pickle.dumps(call))


def _unaligned(base):
    raw = np.zeros(base.nbytes + 1, np.uint8)
    view = raw[1:].view(base.dtype).reshape(base.shape)
    view[...] = base
    return view


def _read_only(base):
    view = base.view()
    view.flags.writeable = False
    return view


def _ctypes_array(base):
    if base.ndim != 2 or base.dtype != np.float64:
        return base
    rows, cols = base.shape
    array = (ctypes.c_double * cols * rows)()
    np.frombuffer(array, np.float64).reshape(rows, cols)[...] = base
    return array


def _matrix(base):
    if base.ndim != 2:
        return base
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(base)


# How a placeholder's base array (always a plain contiguous array) is turned into the
# object handed to the function.
_BUILDERS = {
    "contiguous": lambda a: a,
    "read_only": _read_only,
    "transposed": lambda a: np.ascontiguousarray(a.T).T,              # same values, columns contiguous
    "every_other_row": lambda a: np.repeat(a, 2, axis=0)[::2],        # same values, rows strided
    "reversed": lambda a: np.ascontiguousarray(a[::-1])[::-1],        # same values, negative stride
    "unaligned": _unaligned,
    "byte_swapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "fortran": np.asfortranarray,
    "memoryview": memoryview,
    "bytes": lambda a: a.tobytes(),
    "nested_list": lambda a: a.tolist(),
    "ctypes": _ctypes_array,
    "matrix_subclass": _matrix,
}
LAYOUTS = tuple(_BUILDERS)


def _build(kind, base):
    return _BUILDERS[kind](base)


class Layout:
    """Placeholder for `base` in the layout `kind`; unpickles as the built object."""

    def __init__(self, kind, base):
        self.kind, self.base = kind, np.ascontiguousarray(base)

    def __reduce__(self):
        return _build, (self.kind, self.base)

    def __repr__(self):
        return f"Layout({self.kind!r}, {self.base.dtype}{list(self.base.shape)}: {_short(self.base)})"


def _short(array):
    text = np.array2string(array.ravel()[:12], precision=3, separator=",")
    return text if array.size <= 12 else text[:-1] + ",...]"


# Outcomes of one call, as the child reports them.
RETURNED, RAISED, CRASHED, HUNG = "returned", "raised", "crashed", "hung"


def describe_result(value):
    if isinstance(value, np.ndarray):
        return f"ndarray {value.dtype}{list(value.shape)}"
    return type(value).__name__


def outcome_of(call):
    """Runs the call here and says how it ended: (RETURNED, what) or (RAISED, type, message)."""
    try:
        value = call.run()
    except Exception as error:  # noqa: BLE001 - every exception is an outcome to classify
        return (RAISED, type(error).__name__, str(error))
    return (RETURNED, describe_result(value))
