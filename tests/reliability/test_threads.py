"""Calls from several threads at once give what the same calls give one after another.

The interpreter lock is handed over every microsecond, so threads interleave wherever
a function calls back into Python (NumPy, the neighbour index, the distance metric).
"""

import sys
import threading

import numpy as np

from reliability.calls import materialise
from reliability.targets import THREADS

N_THREADS = 4
ROUNDS = 3


def signature(call):
    """What a call gave, comparable across runs."""
    try:
        value = call.run()
    except Exception as error:  # noqa: BLE001 - errors must match too
        return ("raised", type(error).__name__, str(error))
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    return ("value", repr(value))


def test_concurrent_calls_match_serial_calls():
    calls = [materialise(c) for c in THREADS]
    for c in calls:
        c.module()  # an ImportError fails the test here, not in every call alike
    expected = [signature(c) for c in calls]
    got = [[] for _ in range(N_THREADS)]
    errors = []
    start = threading.Barrier(N_THREADS)

    def work(k):
        try:
            start.wait()
            for r in range(ROUNDS):
                # Each thread walks the calls in its own rotation, so different
                # functions and paths overlap.
                for i in range(len(calls)):
                    j = (i + k * 3 + r) % len(calls)
                    got[k].append((j, signature(calls[j])))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(N_THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)

    assert not errors, errors
    for k in range(N_THREADS):
        assert len(got[k]) == ROUNDS * len(calls)
        for j, result in got[k]:
            assert result == expected[j], f"thread {k}, call {calls[j]!r}: {result[:3]} != {expected[j][:3]}"
