"""varnex: semi-supervised clustering and label propagation with a native core."""

__version__ = "0.1.0"
