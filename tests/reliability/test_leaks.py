"""Repeated calls, on success paths and on every error path, leak nothing: the reference
counts of the arguments come back to where they were, the interpreter's count of
allocated object blocks does not creep up, and the resident set stays flat.

VARNEX_LEAK_ITERATIONS sets the calls per case (default 2000).
"""

import gc
import os
import sys
import warnings

import numpy as np
import pytest

from reliability import hostile, report
from reliability.calls import RAISED, RETURNED, Call, materialise, outcome_of
from reliability.targets import ERRORS, SUCCESS

ITERATIONS = int(os.environ.get("VARNEX_LEAK_ITERATIONS", 2000))
WARM_UP = 100
# A leak of one object per call shows as at least ITERATIONS blocks; caches and free
# lists filling up account for a few dozen.
BLOCK_SLACK = ITERATIONS // 10
RSS_SLACK_KIB = 2048
# Under AddressSanitizer freed memory sits in quarantine, and Python objects bypass the
# block allocator (PYTHONMALLOC=malloc): only the reference counts are meaningful there.
SANITIZED = os.environ.get("VARNEX_SANITIZED") == "1"


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def shared(o):
    """Small ints, bools and None are shared interpreter-wide: their counts move with
    anything else the process does."""
    return o is None or type(o) is bool or (type(o) is int and -5 <= o <= 256)


def reference_counts(call):
    return [sys.getrefcount(o) for o in call.objects() if not shared(o)] + [sys.getrefcount(call.module())]


def measure(call, iterations=ITERATIONS):
    """Runs the call WARM_UP + `iterations` times; returns whether the reference counts
    came back, and the growth of allocated blocks and of the resident set (KiB)."""

    def growth(n):
        gc.collect()
        blocks, rss = sys.getallocatedblocks(), resident_kib()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # issued, but not recorded by pytest call after call
            for _ in range(n):
                try:
                    call.run()
                except Exception:  # noqa: BLE001 - the error paths are measured too
                    pass
        gc.collect()
        return sys.getallocatedblocks() - blocks, resident_kib() - rss

    growth(WARM_UP)
    counts = reference_counts(call)
    block_growth, rss_growth = growth(iterations)
    counts_kept = reference_counts(call) == counts
    if block_growth >= iterations // 10 or rss_growth >= RSS_SLACK_KIB:
        # Something allocated once on the way (a cache, a lazily imported module) is
        # not a leak: a leak grows again over the next as many calls.
        again = growth(iterations)
        block_growth, rss_growth = min(block_growth, again[0]), min(rss_growth, again[1])
    return counts_kept, block_growth, rss_growth


CASES = [(name, call, None) for name, call in SUCCESS.items()] + \
        [(name, call, error) for name, (call, error) in ERRORS.items()]


@pytest.mark.parametrize("name, call, error", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(name, call, error):
    call = materialise(call)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        outcome = outcome_of(call)
    if error is None:
        assert outcome[0] == RETURNED, outcome
    else:
        assert outcome[:2] == (RAISED, error.__name__), outcome

    counts_kept, block_growth, rss_growth = measure(call)
    assert counts_kept, "reference counts of the arguments changed"
    if not SANITIZED:
        report.record_max(f"largest block growth over {ITERATIONS} calls", block_growth)
        report.record_max(f"largest RSS growth over {ITERATIONS} calls (KiB)", rss_growth)
        assert block_growth < BLOCK_SLACK, f"{block_growth} more blocks after {ITERATIONS} calls"
        assert rss_growth < RSS_SLACK_KIB, f"resident set grew by {rss_growth} KiB over {ITERATIONS} calls"


@pytest.mark.skipif(SANITIZED, reason="blocks are not counted under the sanitizers")
def test_the_measure_sees_a_leak():
    # An index stand-in that keeps a reference to the points and a new tuple per call.
    points = np.random.default_rng(0).random((10, 2))
    call = Call("densa_main", (points, 0.5, 2, np.full(10, -1, np.int32), "minkowski", 2),
                patches={"KDTree": hostile.Hoarder([[i] for i in range(10)])})
    counts_kept, block_growth, _ = measure(call, 1000)
    hostile.Hoarder.hoard.clear()
    assert not counts_kept and block_growth >= 1000
