"""Case tables of cluster_streamed (module densa_stream), whose rows come from a Python
callable: fetches that answer well, and fetches that answer wrong, short, out of range,
with the wrong types, or raise.

SUCCESS and ERRORS drive the leak checks, THREADS the thread check, FUZZ the
child-process fuzzing.
"""

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from reliability.arrays_cases import INDICES, INDPTR, SPARSE_POINTS, contest_points, csr_rows
from reliability.calls import Call
from reliability.densa_cases import LABELS, POINTS
from reliability.strategies import INT32_MAX, INT32_MIN, INT_DTYPES, array_argument, bound, ints, label_values, weighted

STREAMED = "cluster_streamed"
SYNC = "cluster_streamed_synchronously"
PARAMETERS = ["lengths", "core", "labels", "fetch", "budget"]
SYNC_PARAMETERS = PARAMETERS + ["points", "p"]


class CsrFetch:
    """Rows of CSR arrays, as cluster_streamed asks for them; `spoil` names a wrong answer."""

    def __init__(self, indptr, indices, spoil=None):
        self.indptr, self.indices, self.spoil = indptr, indices, spoil

    def __call__(self, points, candidates):
        if self.spoil == "raise":
            raise KeyError("no rows today")
        starts, stops = self.indptr[points], self.indptr[points + 1]
        positions = np.repeat(np.arange(len(points), dtype=np.int32), stops - starts)
        neighbours = np.concatenate([self.indices[a:b] for a, b in zip(starts, stops)] + [np.empty(0, np.int32)])
        if self.spoil == "short":
            return positions[1:], neighbours[1:]
        if self.spoil == "own point":
            return positions, np.where(positions == 0, points[0], neighbours).astype(np.int32)
        if self.spoil == "out of range":
            return positions, neighbours + len(self.indptr)
        if self.spoil == "bad position":
            return positions + len(points), neighbours
        if self.spoil == "int64":
            return positions.astype(np.int64), neighbours
        if self.spoil == "list":
            return [positions, neighbours]
        return positions, neighbours.astype(np.int32)


def call(*args, **kwargs):
    return Call(STREAMED, args, kwargs)


def sync(*args, **kwargs):
    return Call(SYNC, args, kwargs)


LENGTHS = np.diff(INDPTR)
CORE = (LENGTHS + 1 >= 5).astype(np.uint8)


def spoiled(spoil):
    return call(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES, spoil), 40)


SUCCESS = {
    "cluster_streamed blobs": call(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES), 40),
    "cluster_streamed by keyword": call(lengths=LENGTHS, core=CORE, labels=LABELS,
                                        fetch=CsrFetch(INDPTR, INDICES), budget=10**9),
    "cluster_streamed no rows": call(np.empty(0, np.int64), np.empty(0, np.uint8), np.empty(0, np.int32),
                                     CsrFetch(np.zeros(1, np.int64), np.empty(0, np.int32)), 1),
    "cluster_streamed_synchronously points": sync(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES), 400, POINTS,
                                                  2.0),
    "cluster_streamed_synchronously sparse points": sync(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES), 400,
                                                         SPARSE_POINTS, 1.0),
    "cluster_streamed_synchronously ties": sync(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES), 10**9, None, 2.0),
}

ERRORS = {
    "cluster_streamed no arguments": (call(), TypeError),
    "cluster_streamed fetch raises": (spoiled("raise"), KeyError),
    "cluster_streamed row short": (spoiled("short"), ValueError),
    "cluster_streamed own point": (spoiled("own point"), ValueError),
    "cluster_streamed neighbour out of range": (spoiled("out of range"), ValueError),
    "cluster_streamed position out of range": (spoiled("bad position"), ValueError),
    "cluster_streamed int64 positions": (spoiled("int64"), ValueError),
    "cluster_streamed not a tuple": (spoiled("list"), TypeError),
    "cluster_streamed not callable": (call(LENGTHS, CORE, LABELS, 3, 40), TypeError),
    "cluster_streamed budget 0": (call(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES), 0), ValueError),
    "cluster_streamed core short": (call(LENGTHS, CORE[:-1], LABELS, CsrFetch(INDPTR, INDICES), 40), ValueError),
    "cluster_streamed length out of range": (call(LENGTHS + 300, CORE, LABELS, CsrFetch(INDPTR, INDICES), 40),
                                             ValueError),
    "cluster_streamed_synchronously fetch raises": (sync(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES, "raise"),
                                                         40, POINTS, 2.0), KeyError),
    "cluster_streamed_synchronously label below -1": (sync(LENGTHS, CORE, np.where(LABELS == 1, -2, LABELS),
                                                           CsrFetch(INDPTR, INDICES), 40, POINTS, 2.0), ValueError),
    "cluster_streamed_synchronously points short": (sync(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES), 40,
                                                         POINTS[:-1], 2.0), ValueError),
    "cluster_streamed_synchronously p below 1": (sync(LENGTHS, CORE, LABELS, CsrFetch(INDPTR, INDICES), 40,
                                                      POINTS, 0.5), ValueError),
}

THREADS = [SUCCESS["cluster_streamed blobs"], ERRORS["cluster_streamed row short"][0],
           SUCCESS["cluster_streamed_synchronously points"]]


@st.composite
def streamed_arguments(draw, synchronous=False):
    n = draw(st.integers(0, 12))
    indptr, indices = draw(csr_rows(n))
    good = len(indptr) == n + 1 and np.all(np.diff(indptr) >= 0) and indptr[0] == 0
    counted = np.diff(indptr) if good else np.zeros(n, np.int64)
    lengths = draw(weighted((6, st.just(counted)), (1, hnp.arrays(np.int64, n, elements=st.integers(-2, n + 2)))))
    core = draw(hnp.arrays(np.uint8, draw(weighted((6, st.just(n)), (1, st.integers(0, n + 2)))),
                           elements=st.integers(0, 1)))
    labels = draw(label_values(n, [-1, -1, -1, 0, 1, -2, INT32_MAX, INT32_MIN]))
    fetch = CsrFetch(np.asarray(indptr if good else np.zeros(n + 1, np.int64), np.int64),
                     np.asarray(indices, np.int32), draw(st.sampled_from([None, None, None, "short", "own point",
                                                                          "out of range", "bad position", "raise"])))
    values = [draw(array_argument(lengths, INT_DTYPES)), draw(array_argument(core, INT_DTYPES)),
              draw(array_argument(labels, INT_DTYPES)), fetch, draw(weighted((4, st.integers(1, 20)), (1, ints())))]
    if synchronous:
        return Call(SYNC, *draw(bound(values + list(draw(contest_points(n))), SYNC_PARAMETERS)))
    return Call(STREAMED, *draw(bound(values, PARAMETERS)))


FUZZ = {"cluster_streamed arguments": streamed_arguments(),
        "cluster_streamed_synchronously arguments": streamed_arguments(synchronous=True)}

__all__ = ["SUCCESS", "ERRORS", "THREADS", "FUZZ"]
