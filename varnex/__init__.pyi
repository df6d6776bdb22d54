from varnex.density import DensityClustering as DensityClustering
from varnex.propagation import KNNLabelPropagation as KNNLabelPropagation

__version__: str
__all__ = ["DensityClustering", "KNNLabelPropagation"]
