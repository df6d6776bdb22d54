"""How many threads a search runs on, and the one way it runs work on them."""

import threading
from concurrent.futures import ThreadPoolExecutor
from functools import cache

from joblib import cpu_count
from threadpoolctl import ThreadpoolController, threadpool_info, threadpool_limits  # scikit-learn's own dependencies

__all__ = ["Abandoned", "abandoned", "map_in_threads", "native_threads", "product_threads", "search_threads",
           "single_blas_thread"]

_work = threading.local()


class Abandoned(Exception):
    """Raised in a worker between two blocks of work whose result nobody waits for."""


def abandoned():
    """Whether the map that runs the calling thread's work has been given up (its caller
    was interrupted): the work should stop at its next block."""
    stop = getattr(_work, "stop", None)
    return stop is not None and stop.is_set()


def search_threads(n_jobs):
    """scikit-learn's meaning of `n_jobs`: None is 1, -1 every processor, -2 all but one.
    0 counts as 1: it asks for no parallelism, not for no work."""
    if n_jobs is None:
        return 1
    if n_jobs < 0:
        return max(1, cpu_count() + 1 + n_jobs)
    return max(1, n_jobs)


def native_threads(n_jobs):
    """Threads for the native stages after the search (their own pool, one per call).

    `n_jobs` as scikit-learn means it, but no more threads than processors, which would
    only queue behind each other, and none beyond an enclosing threadpoolctl limit: a
    caller that runs fits side by side and limits each to one thread means that for
    every pool, ours included. The limit shows on the OpenMP runtime, which
    scikit-learn's own extensions load."""
    threads = min(search_threads(n_jobs), cpu_count())
    if threads <= 1:
        return 1
    limits = [pool["num_threads"] for pool in _openmp_runtimes().info()]
    return max(1, min([threads, *limits]))


@cache
def _openmp_runtimes():
    """The OpenMP runtimes loaded, found once (a search of every loaded library costs
    milliseconds); their thread counts are read afresh at each question."""
    return ThreadpoolController().select(user_api="openmp")


def product_threads(n_jobs):
    """Threads for searches made of matrix products. scikit-learn leaves its products to
    BLAS's own threads whatever its `n_jobs`; so with `n_jobs` None the tiles take as
    many threads as BLAS would, each tile one BLAS thread."""
    if n_jobs is not None:
        return search_threads(n_jobs)
    blas = [pool["num_threads"] for pool in threadpool_info() if pool.get("user_api") == "blas"]
    return max(1, min(blas, default=1))


def single_blas_thread():
    """A context in which BLAS runs each product on the calling thread: the products of
    one tile are too small for BLAS's own threads to pay (they wait on each other, and on
    every other process), so parallelism comes from the tiles."""
    return threadpool_limits(1, user_api="blas")


def map_in_threads(function, items, threads):
    """[function(item) for item in items], on up to `threads` threads, in order. The work
    is expected to release the GIL (NumPy, SciPy, the native modules). When the caller
    is interrupted, items not started are dropped and running ones stop at their next
    paced block, so the interrupt propagates within about a block's time."""
    items = list(items)
    if threads <= 1 or len(items) <= 1:
        return [function(item) for item in items]
    stop = threading.Event()

    def run(item):
        _work.stop = stop
        try:
            return function(item)
        finally:
            _work.stop = None

    pool = ThreadPoolExecutor(max_workers=min(threads, len(items)))
    try:
        # The wait for results gives way to signal handlers (an interrupt lands here).
        return list(pool.map(run, items))
    except BaseException:
        stop.set()   # work in blocks (`blocks.paced`) stops at its next block
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
