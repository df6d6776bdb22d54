"""varnex: semi-supervised clustering and label propagation with a native core.

Estimators
----------
DensityClustering
    Semi-supervised density clustering (DBSCAN-like growth that keeps known labels),
    with nearest-centroid post-processing.
"""

from varnex.density import DensityClustering

__version__ = "0.1.0"
__all__ = ["DensityClustering"]
