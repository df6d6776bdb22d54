from typing import Any, Callable

import numpy as np
import numpy.typing as npt
from sklearn.base import BaseEstimator, ClassifierMixin

__all__ = ["KNNLabelPropagation"]

class KNNLabelPropagation(ClassifierMixin, BaseEstimator):
    n_neighbors: int
    metric: str | Callable[..., float]
    metric_params: dict[str, Any] | None
    p: int
    symmetrize: bool
    propagation: str
    max_iter: int
    tol: float
    algorithm: str
    n_probes: int
    random_state: int | np.random.RandomState | None
    n_jobs: int | None
    verbose: int
    classes_: npt.NDArray[Any]
    transduction_: npt.NDArray[Any]
    n_iter_: int
    algorithm_: str
    label_confidence_: npt.NDArray[np.float64]
    n_features_in_: int

    def __init__(
        self,
        n_neighbors: int = 7,
        metric: str | Callable[..., float] = "euclidean",
        metric_params: dict[str, Any] | None = None,
        p: int = 2,
        symmetrize: bool = False,
        propagation: str = "synchronous",
        max_iter: int = 50000,
        tol: float = 1e-3,
        algorithm: str = "auto",
        n_probes: int = 16,
        random_state: int | np.random.RandomState | None = None,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None: ...
    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike) -> KNNLabelPropagation: ...
    def predict_proba(self, X: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def predict(self, X: npt.ArrayLike) -> npt.NDArray[Any]: ...
    def score(self, X: npt.ArrayLike, y: npt.ArrayLike, sample_weight: npt.ArrayLike | None = None) -> float: ...
