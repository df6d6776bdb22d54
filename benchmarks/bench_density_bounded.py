"""DensityClustering in bounded memory: its two routes to the neighbourhoods, side by side.

Cases, each contender in a fresh process:
- the cases of bench_density_scale, where both routes fit: the automatic choice of
  route against the in-memory route taken straight away, as before the choice existed
  (target: at most 5% slower);
- 200,000 uniform 2-D points with about 5,000 neighbours each, under a 3 GB
  address-space limit (prlimit --as): the bounded route, whose labels must equal the
  in-memory route's, run without a limit;
- 60,000 uniform 2-D points whose eps covers almost everything, under the same limit:
  every point is a core point, so without labels the clustering is one cluster; with
  --full the in-memory route (about 30 GB) is run too and the labels compared;
- the two growth rules side by side on both routes: 100,000 uniform 2-D points, ~800
  neighbours, 1% labelled, and the 60,000 points above with labels.

The default growth (synchronous) runs the cases above; `--growth sequential` the other.

Times are best of `repeat`; peak memory is the process's whole peak resident set.
"""

import json
import os
import subprocess
import sys
import tempfile

from bench_density_scale import eps_for

LIMIT = 3_000_000_000

BLOBS = """
import numpy as np
from sklearn.datasets import make_blobs
X, truth = make_blobs(n_samples={n}, n_features={d}, centers=25, cluster_std=2.0, center_box=(-60, 60),
                      random_state=0)
X = np.ascontiguousarray(X)
y = np.where(np.random.default_rng(0).random(len(X)) < 0.01, truth, -1)
eps, min_samples = {eps!r}, 5
"""

UNIFORM = """
import numpy as np
rng = np.random.default_rng(0)
X = rng.random(({n}, 2))
eps, min_samples = {eps!r}, {min_samples}
y = {labels}
"""

# Today's route: neighbourhoods in memory whatever their size, no choice made.
TODAY = """
import varnex.density
varnex.density.neighbourhood_route = lambda index, eps, budget: ("in-memory", None)
"""

GROWTH = "synchronous"
FIT = """
import sklearn
from varnex import DensityClustering
with sklearn.config_context(working_memory={working_memory}):
    model = DensityClustering(eps=eps, min_samples=min_samples, growth={growth!r}).fit(X, y)
"""

RUNNER = """
import json, time
{setup}
def peak():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM:'):
            return int(line.split()[1]) / 1024
times = []
for run in range({repeat}):
    start = time.perf_counter()
{fit}
    times.append(time.perf_counter() - start)
if {save!r}:
    np.save({save!r}, model.clusters_)
print(json.dumps([min(times), peak(), model.neighbourhood_route_, globals().get("best")]))
"""


def fresh(setup, fit, repeat=1, limit=None, save=""):
    """(best time, peak resident MiB, route, `best` if `fit` sets it) of `fit` after
    `setup`, in a fresh process."""
    code = RUNNER.format(setup=setup, repeat=repeat, fit="".join(f"    {line}\n" for line in fit.splitlines()),
                         save=save)
    command = [sys.executable, "-c", code]
    if limit is not None:
        command = ["prlimit", f"--as={limit}", *command]
    out = subprocess.run(command, capture_output=True, text=True, cwd=os.path.dirname(__file__))
    if out.returncode != 0:
        return None, None, out.stderr.strip().splitlines()[-1], None
    return tuple(json.loads(out.stdout.strip().splitlines()[-1]))


# The choice alone, timed in the process of a fit (best of 5): less noisy than the
# difference of two fits on a busy machine.
CHOICE = """
import time
from varnex._search import index_samples
from varnex._search.memory import budget_bytes, neighbourhood_route
best = float("inf")
for _ in range(5):
    start = time.perf_counter()
    neighbourhood_route(index_samples(X), eps, budget_bytes())
    best = min(best, time.perf_counter() - start)
"""


def overhead(title, setup, repeat=5):
    automatic = fresh(setup, FIT.format(working_memory=1024, growth=GROWTH), repeat)
    today = fresh(setup + TODAY, FIT.format(working_memory=1024, growth=GROWTH), repeat)
    choice = fresh(setup, FIT.format(working_memory=1024, growth=GROWTH) + CHOICE, 1)[3]
    print(f"  {title}: automatic ({automatic[2]}) {automatic[0]:7.3f} s, in-memory as before {today[0]:7.3f} s"
          f"  -> {automatic[0] / today[0]:5.3f} (target <= 1.05)")
    print(f"    the choice alone, in the fit's process: {choice:6.3f} s  -> {choice / today[0]:5.3f}"
          " of the fit")


def limited(title, setup, compare):
    with tempfile.TemporaryDirectory() as folder:
        bounded_file, memory_file = f"{folder}/bounded.npy", f"{folder}/memory.npy"
        t_bounded, m_bounded, route, _ = fresh(setup, FIT.format(working_memory=1024, growth=GROWTH), limit=LIMIT, save=bounded_file)
        if t_bounded is None:
            print(f"  {title}: under a {LIMIT / 1e9:.0f} GB limit the fit failed: {route}")
            return
        print(f"  {title}: under a {LIMIT / 1e9:.0f} GB limit, {route} route: {t_bounded:7.3f} s, "
              f"peak {m_bounded:7.1f} MiB")
        import numpy as np
        bounded = np.load(bounded_file)
        if compare is None:
            return
        if isinstance(compare, str):
            print(f"    same labels as {compare}: {bool(eval(compare, {'labels': bounded, 'np': np}))}")
            return
        t_memory, m_memory, route, _ = fresh(setup, FIT.format(working_memory=10**7, growth=GROWTH), save=memory_file)
        if t_memory is None:
            print(f"    in-memory route without a limit failed: {route}")
            return
        same = bool(np.array_equal(bounded, np.load(memory_file)))
        print(f"    {route} route without a limit: {t_memory:7.3f} s, peak {m_memory:7.1f} MiB; "
              f"bounded/in-memory time {t_bounded / t_memory:5.3f}, same labels: {same}")


def rules():
    print("The two growth rules, bounded route (working_memory 64 MiB) against in-memory (no limit)")
    labels = "np.where(rng.random(len(X)) < 0.01, rng.integers(0, 3, len(X)), -1)"
    cases = [("100,000 uniform 2-D points, ~800 neighbours", UNIFORM.format(n=100_000, eps=0.05, min_samples=5,
                                                                              labels=labels), True),
             ("60,000 uniform 2-D points, eps=1", UNIFORM.format(n=60_000, eps=1.0, min_samples=5, labels=labels),
              False)]
    for title, setup, both in cases:
        for growth in ("synchronous", "sequential"):
            with tempfile.TemporaryDirectory() as folder:
                saved = [f"{folder}/bounded.npy", f"{folder}/memory.npy"]
                bounded = fresh(setup, FIT.format(working_memory=64, growth=growth), save=saved[0])
                line = f"  {title}, {growth}: {bounded[2]} {bounded[0]:7.3f} s, peak {bounded[1]:7.1f} MiB"
                if both:
                    memory = fresh(setup, FIT.format(working_memory=10**7, growth=growth), save=saved[1])
                    import numpy as np
                    same = bool(np.array_equal(*(np.load(name) for name in saved)))
                    line += f"; {memory[2]} {memory[0]:7.3f} s, peak {memory[1]:7.1f} MiB; same labels: {same}"
                print(line)


def run():
    import numpy as np
    print("DensityClustering, each contender in a fresh process")
    print("Where both routes fit: the automatic choice against the in-memory route as before (best of 5)")
    overhead("200,000 points in 2-D blobs, ~35 neighbours", BLOBS.format(n=200_000, d=2,
                                                                     eps=eps_for(200_000, 2, 2.0, 35)))
    overhead("20,000 points in 64-D blobs", BLOBS.format(n=20_000, d=64, eps=19.0))
    print("Beyond memory (1% of points labelled where labels are given)")
    eps = float(np.sqrt(5000 / (200_000 * np.pi)))
    labels = "np.where(rng.random(len(X)) < 0.01, rng.integers(0, 3, len(X)), -1)"
    limited("200,000 uniform 2-D points, ~5,000 neighbours, labelled",
            UNIFORM.format(n=200_000, eps=eps, min_samples=5000, labels=labels), True)
    limited("60,000 uniform 2-D points, eps=1 (almost every point a neighbour), no labels",
            UNIFORM.format(n=60_000, eps=1.0, min_samples=5, labels="None"),
            True if "--full" in sys.argv else "np.all(labels == -2)")


if __name__ == "__main__":
    if "--growth" in sys.argv:
        GROWTH = sys.argv[sys.argv.index("--growth") + 1]
    if "--rules" in sys.argv:
        rules()
    else:
        run()
