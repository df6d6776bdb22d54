"""varnex: semi-supervised clustering and label propagation with a native core.

Estimators (scikit-learn compatible; -1 marks an unlabelled sample in ``y``):

DensityClustering
    Semi-supervised density clustering that keeps every known label, with
    nearest-centroid post-processing of the samples outside a known class.
KNNLabelPropagation
    Label propagation over a k-nearest-neighbour graph; ``predict`` classifies new
    samples by their nearest training samples.

``varnex.model_selection`` searches parameters by hiding labels, not rows
(``HiddenLabelSearchCV``, ``HiddenLabelSplit``).

The command line is ``varnex`` (or ``python -m varnex``): ``varnex demo`` and
``varnex fit``.
"""

__version__ = "0.1.0"
__all__ = ["DensityClustering", "KNNLabelPropagation"]

_HOMES = {"DensityClustering": "varnex.density", "KNNLabelPropagation": "varnex.propagation"}


def __getattr__(name):
    # The estimators import scikit-learn, which takes a second or two: load them on
    # first use so the command line answers bad input at once.
    if name in _HOMES:
        import importlib

        value = getattr(importlib.import_module(_HOMES[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'varnex' has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + __all__)
