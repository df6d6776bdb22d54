from typing import Any, Callable, Literal

import numpy as np
import numpy.typing as npt
import scipy.sparse as sp
from sklearn.base import BaseEstimator, ClusterMixin

__all__ = ["DensityClustering"]

class DensityClustering(ClusterMixin, BaseEstimator):
    eps: float | str
    min_samples: int
    metric: str | Callable[..., float]
    metric_params: dict[str, Any] | None
    p: int
    threshold: int
    postprocess: bool
    growth: Literal["synchronous", "sequential"]
    verbose: int
    n_jobs: int | None
    classes_: npt.NDArray[Any]
    labels_: npt.NDArray[Any]
    transduction_: npt.NDArray[Any]
    clusters_: npt.NDArray[np.int32]
    core_sample_indices_: npt.NDArray[np.intp]
    components_: npt.NDArray[np.float64] | sp.csr_matrix
    centroids_: npt.NDArray[np.float64] | None
    centroid_labels_: npt.NDArray[Any]
    n_features_in_: int
    eps_: float
    eps_rule_: str | None
    neighbourhood_route_: str

    def __init__(
        self,
        eps: float | str = 0.5,
        min_samples: int = 5,
        metric: str | Callable[..., float] = "euclidean",
        metric_params: dict[str, Any] | None = None,
        p: int = 2,
        threshold: int = -1,
        postprocess: bool = True,
        growth: Literal["synchronous", "sequential"] = "synchronous",
        verbose: int = 0,
        n_jobs: int | None = None,
    ) -> None: ...
    def fit(
        self,
        X: npt.ArrayLike | sp.spmatrix | sp.sparray,
        y: npt.ArrayLike | None = None,
        sample_weight: npt.ArrayLike | None = None,
    ) -> DensityClustering: ...
    def predict(self, X: npt.ArrayLike | sp.spmatrix | sp.sparray) -> npt.NDArray[Any]: ...
    def score(
        self,
        X: npt.ArrayLike | sp.spmatrix | sp.sparray,
        y: npt.ArrayLike,
        sample_weight: npt.ArrayLike | None = None,
    ) -> float: ...
    def fit_predict(
        self,
        X: npt.ArrayLike | sp.spmatrix | sp.sparray,
        y: npt.ArrayLike | None = None,
        sample_weight: npt.ArrayLike | None = None,
    ) -> npt.NDArray[Any]: ...
