"""Label propagation over CSR arrays (native)."""

import numpy as np
import numpy.typing as npt

def propagate(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32] | npt.NDArray[np.int64],
    weights: npt.NDArray[np.float32],
    labels: npt.NDArray[np.int32],
    max_iter: int,
    tol: float,
    synchronous: bool,
    exact_stop: bool = False,
    n_threads: int = 1,
) -> int:
    """Label the unlabelled nodes (-1) of the CSR graph in `labels`, in place, and return
    the number of sweeps run."""

def label_confidence(
    indptr: npt.NDArray[np.int64],
    indices: npt.NDArray[np.int32] | npt.NDArray[np.int64],
    weights: npt.NDArray[np.float32],
    labels: npt.NDArray[np.int32],
    known: npt.NDArray[np.int32],
    n_threads: int = 1,
) -> npt.NDArray[np.float64]:
    """For each node, the share of its row's votes that go to its label (a labelled
    neighbour over an edge of weight w votes ``(w0 / w)**2``, w0 the weight of the row's
    first edge); 1.0 where `known` is not -1, 0.0 without votes or label."""
