"""A fit answers Ctrl-C within about a second, even inside SciPy's tree searches, which
do not poll for interrupts themselves."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

# 100k points in 8 features: each tree search over them lasts many seconds in one call.
FIT = textwrap.dedent("""
    import numpy as np
    from varnex import DensityClustering, KNNLabelPropagation
    X = np.random.default_rng(0).normal(size=(100_000, 8))
    y = np.full(len(X), -1)
    y[:2] = [0, 1]
    print("fitting", flush=True)
    {estimator}.fit(X, y)
    print("done", flush=True)
""")


@pytest.mark.parametrize("estimator", ["KNNLabelPropagation(n_jobs=2)", "DensityClustering(eps=0.6)"])
def test_ctrl_c_stops_a_tree_search_within_seconds(estimator):
    child = subprocess.Popen([sys.executable, "-c", FIT.format(estimator=estimator)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "fitting\n"
        time.sleep(0.5)   # well inside the search
        child.send_signal(signal.SIGINT)
        sent = time.perf_counter()
        _, errors = child.communicate(timeout=120)
        waited = time.perf_counter() - sent
    finally:
        child.kill()
        child.wait()
    assert errors.rstrip().endswith("KeyboardInterrupt"), errors
    # Generous for a loaded machine: the search itself runs for tens of seconds.
    assert waited < 6, waited
