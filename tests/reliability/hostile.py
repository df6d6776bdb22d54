"""Stand-ins that misbehave: numbers whose conversions fail, sequences that lie about
their length, neighbour indexes, NumPy namespaces, distance metrics and graph objects
that raise or return the wrong things midway.

All are module-level classes holding plain data, so a case that uses them can be
pickled to a child process; array payloads may be `calls.Layout` placeholders.
"""

import numpy as np


class HostileError(RuntimeError):
    """What the stand-ins raise on purpose."""


# Numbers -----------------------------------------------------------------------------

class IntLike:
    """An object whose __int__ returns `value`, whatever that is."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"IntLike({self.value!r})"


class IntSubclass(int):
    pass


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"FloatLike({self.value!r})"


class RaisingNumber:
    """Every numeric conversion raises."""

    def _fail(self, *_):
        raise HostileError("hostile number refuses conversion")

    __int__ = __float__ = __index__ = __bool__ = _fail

    def __repr__(self):
        return "RaisingNumber()"


class MutatingInt:
    """Converts to `value`, but first runs `action` on `target` (a list the callee is
    reading): "clear", "truncate" (keep the first item), "grow" (add 50 copies of the
    first item) or "replace" (every item becomes None)."""

    def __init__(self, target, action, value=0):
        self.target, self.action, self.value = target, action, value

    def __int__(self):
        t = self.target
        if self.action == "clear":
            t.clear()
        elif self.action == "truncate":
            del t[1:]
        elif self.action == "grow":
            t.extend([t[0] if t else 0] * 50)
        elif self.action == "replace":
            t[:] = [None] * len(t)
        return self.value

    __index__ = __int__

    def __repr__(self):
        return f"MutatingInt({self.action!r}, {self.value!r})"


class Reentrant:
    """Converts to `value`, but first runs `call` (a calls.Call of a native function):
    the function is entered again from inside itself."""

    def __init__(self, call, value=0):
        self.call, self.value = call, value

    def __int__(self):
        try:
            self.call.run()
        except Exception:  # noqa: BLE001 - only the outer call's outcome is judged
            pass
        return self.value

    def __repr__(self):
        return f"Reentrant({self.call.function}, {self.value!r})"


# Sequences ---------------------------------------------------------------------------

class LyingSequence:
    """Claims `extra` more items than it has; indexing past the real ones raises
    IndexError, or HostileError when `hostile`."""

    def __init__(self, items, extra=0, hostile=False):
        self.items, self.extra, self.hostile = list(items), extra, hostile

    def __len__(self):
        return len(self.items) + self.extra

    def __getitem__(self, i):
        if not isinstance(i, int):
            raise TypeError("indices must be integers")
        if 0 <= i < len(self.items):
            return self.items[i]
        if self.hostile:
            raise HostileError(f"hostile sequence refuses item {i}")
        raise IndexError("sequence index out of range")

    def __iter__(self):
        return iter(self.items)

    def __repr__(self):
        return f"LyingSequence({self.items!r}, extra={self.extra}, hostile={self.hostile})"


class Unmeasurable:
    """A sequence whose __len__ raises (or returns `length`, which need not be an int)."""

    def __init__(self, length=None):
        self.length = length

    def __len__(self):
        if self.length is None:
            raise HostileError("hostile sequence has no length")
        return self.length

    def __getitem__(self, i):
        return 0

    def __repr__(self):
        return f"Unmeasurable({self.length!r})"


# Callables used as stand-ins for library functions -----------------------------------

class Returning:
    """Any call returns `value`."""

    def __init__(self, value):
        self.value = value

    def __call__(self, *args, **kwargs):
        return self.value

    def __repr__(self):
        return f"Returning({self.value!r})"


class Raising:
    def __init__(self, message="hostile call"):
        self.message = message

    def __call__(self, *args, **kwargs):
        raise HostileError(self.message)

    def __repr__(self):
        return f"Raising({self.message!r})"


def _reshape(result, how):
    result = np.asarray(result)
    if how == "truncated":
        return result[: max(len(result) - 1, 0)] if result.ndim else result
    if how == "extended":
        return np.concatenate([result, result[:1]]) if result.ndim == 1 else result
    if how == "read_only":
        result = result.copy()
        result.flags.writeable = False
        return result
    if how == "strided":
        return np.repeat(result, 2, axis=0)[::2] if result.ndim else result
    if how == "as_list":
        return result.tolist()
    if how == "int64":
        return result.astype(np.int64)
    if how == "float64":
        return result.astype(np.float64)
    if how == "two_dimensional":
        return result.reshape(1, -1) if result.ndim == 1 else result
    if how == "scalar":
        return result.ravel()[0] if result.size else 0
    if how == "none":
        return None
    raise ValueError(how)


RESHAPINGS = ("truncated", "extended", "read_only", "strided", "as_list", "int64", "float64",
              "two_dimensional", "scalar", "none")


class Reshaped:
    """numpy.<name> whose result is then bent by `how` (see RESHAPINGS)."""

    def __init__(self, name, how):
        self.name, self.how = name, how

    def __call__(self, *args, **kwargs):
        return _reshape(getattr(np, self.name)(*args, **kwargs), self.how)

    def __repr__(self):
        return f"Reshaped({self.name!r}, {self.how!r})"


class FakeNumpy:
    """The numpy module with some attributes replaced (`overrides`: name -> value)."""

    def __init__(self, overrides):
        self.overrides = dict(overrides)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        if name in self.overrides:
            return self.overrides[name]
        return getattr(np, name)

    def __repr__(self):
        return f"FakeNumpy({self.overrides!r})"


# Neighbour indexes (densa_core's KDTree and BallTree) ---------------------------------

class FakeTree:
    def __init__(self, table, fail):
        self.table, self.fail = table, fail

    def _result(self):
        if self.fail == "query":
            raise HostileError("hostile index fails its query")
        return self.table

    def query_ball_tree(self, other, r):
        return self._result()

    def query_radius(self, X, r):
        return self._result()


class TreeFactory:
    """Stands in for an index class: built trees answer every query with `table`.
    `fail` is None, "build" or "query"."""

    def __init__(self, table, fail=None):
        self.table, self.fail = table, fail

    def __call__(self, data, **kwargs):
        if self.fail == "build":
            raise HostileError("hostile index refuses the data")
        return FakeTree(self.table, self.fail)

    def __repr__(self):
        return f"TreeFactory({self.table!r}, fail={self.fail!r})"


class Hoarder(TreeFactory):
    """Keeps what it is built from, and a new object per build: a leak, for checking
    that the leak checks see one."""

    hoard = []

    def __call__(self, data, **kwargs):
        Hoarder.hoard.append((data, object()))
        return super().__call__(data, **kwargs)


# Distance metrics (densa_postprocess's DistanceMetric) -------------------------------

class FakeMetric:
    """pairwise() returns `value` when given, otherwise the true distances bent by `how`."""

    def __init__(self, value=None, how=None, fail=False):
        self.value, self.how, self.fail = value, how, fail

    def pairwise(self, X, Y):
        if self.fail:
            raise HostileError("hostile metric fails")
        if self.value is not None:
            return self.value
        from sklearn.metrics import DistanceMetric
        result = DistanceMetric.get_metric("euclidean").pairwise(X, Y)
        return _reshape(result, self.how) if self.how else result

    def __repr__(self):
        return f"FakeMetric(value={self.value!r}, how={self.how!r}, fail={self.fail})"


class ReentrantMetric(FakeMetric):
    """True distances, each computed after running `call` from inside the caller."""

    def __init__(self, call):
        super().__init__()
        self.call = call

    def pairwise(self, X, Y):
        Reentrant(self.call).__int__()
        return super().pairwise(X, Y)

    def __repr__(self):
        return f"ReentrantMetric({self.call.function})"


class FakeMetricClass:
    """Stands in for DistanceMetric: get_metric returns `metric`, or raises."""

    def __init__(self, metric=None):
        self.metric = metric

    def get_metric(self, *args, **kwargs):
        if self.metric is None:
            raise HostileError("hostile get_metric")
        return self.metric

    def __repr__(self):
        return f"FakeMetricClass({self.metric!r})"


class LabelsWithHostileCopy(np.ndarray):
    """A label array whose copy() misbehaves: `how` is a RESHAPINGS entry, "raise", or
    "self" (hands out the caller's own array)."""

    how = "raise"

    def copy(self, *args, **kwargs):
        plain = np.asarray(self)
        if self.how == "raise":
            raise HostileError("hostile copy")
        if self.how == "self":
            return self
        return _reshape(plain.copy(), self.how)

    def __reduce__(self):
        return _hostile_labels, (np.asarray(self).copy(), self.how)

    def __repr__(self):
        return f"LabelsWithHostileCopy({np.asarray(self).tolist()!r}, how={self.how!r})"


def _hostile_labels(values, how):
    labels = values.view(LabelsWithHostileCopy)
    labels.how = how
    return labels


def hostile_labels(values, how):
    return _hostile_labels(np.ascontiguousarray(values), how)


# Graph containers (the linka family) -------------------------------------------------

class HostileGraph:
    """A connections/weights object with scripted rows.

    `to_numpy(node)` returns `rows[node]` (anything: arrays of any kind, lists, None);
    after `fail_after` calls of any method it raises HostileError. `contains` returns
    `contains_value` when given (possibly an object whose truth test raises), otherwise
    the truth. `append` records its arguments.
    """

    def __init__(self, rows, fail_after=None, contains_value=None):
        self.rows, self.fail_after, self.contains_value = list(rows), fail_after, contains_value
        self.calls = 0
        self.appended = []

    def _tick(self, what):
        self.calls += 1
        if self.fail_after is not None and self.calls > self.fail_after:
            raise HostileError(f"hostile graph fails in {what} (call {self.calls})")

    def to_numpy(self, node):
        self._tick("to_numpy")
        return self.rows[node]

    def contains(self, node, other):
        self._tick("contains")
        if self.contains_value is not None:
            return self.contains_value
        row = self.rows[node]
        return other in np.asarray(row).tolist() if row is not None else False

    def append(self, node, value):
        self._tick("append")
        self.appended.append((node, value))

    def __repr__(self):
        return f"HostileGraph({len(self.rows)} rows, fail_after={self.fail_after}, contains={self.contains_value!r})"


class BadTruth:
    def __bool__(self):
        raise HostileError("hostile truth value")

    def __repr__(self):
        return "BadTruth()"


class HostileInput:
    """An _AlgorithmInput stand-in; reading the attribute named `fail_on` raises."""

    def __init__(self, n, labeled_indices, labeled_count, fail_on=None):
        self._values = {"n": n, "labeled_indices": labeled_indices, "labeled_count": labeled_count}
        self.fail_on = fail_on

    def __getattr__(self, name):
        if name.startswith("__") or name in ("_values", "fail_on"):
            raise AttributeError(name)
        if name == self.fail_on:
            raise HostileError(f"hostile input refuses {name}")
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(name) from None

    def __repr__(self):
        return f"HostileInput({self._values!r}, fail_on={self.fail_on!r})"
