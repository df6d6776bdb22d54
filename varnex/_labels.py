"""The labelling contract of both estimators: -1 marks an unlabelled sample, and the
native modules see classes as 0, 1, ... whatever the caller's labels are."""

import numpy as np
from sklearn.utils.multiclass import check_classification_targets

__all__ = ["UNLABELLED", "decode_targets", "encode_targets", "unlabelled_mask"]

UNLABELLED = -1


def unlabelled_mask(y):
    """Where `y` marks a sample as unlabelled.

    The marker is -1 in numeric arrays, "-1" in string arrays, and either -1 or "-1" in
    object arrays. Unsigned and boolean arrays cannot hold -1: every sample is labelled.
    None is no marker: it is refused, since it cannot be told from a missing value.
    """
    if y.dtype.kind in "ub":
        return np.zeros(y.shape[0], dtype=bool)
    if y.dtype.kind == "U":
        return y == str(UNLABELLED)
    if y.dtype.kind == "S":
        return y == str(UNLABELLED).encode()
    if y.dtype.kind == "O":
        if any(value is None for value in y):
            raise ValueError("y contains None: mark unlabelled samples with -1 (or \"-1\" among strings)")
        return np.asarray(y == UNLABELLED, dtype=bool) | np.asarray(y == str(UNLABELLED), dtype=bool)
    return y == UNLABELLED


def encode_targets(y, *, require_labels=True):
    """Split a semi-supervised target vector into its classes and their indices.

    Returns ``(classes, encoded)``: ``classes`` holds the distinct labels in sorted
    order, in the dtype of `y`; ``encoded`` (int32) the index of each sample's class in
    ``classes``, or -1 for an unlabelled sample (see `unlabelled_mask`). The native
    modules reserve every negative value below -1 for clusters they discover, so known
    classes have to be 0, 1, ... whatever the caller's labels are.
    """
    unlabelled = unlabelled_mask(y)
    labelled = ~unlabelled
    if not np.any(labelled):
        if require_labels:
            raise ValueError("y has no labelled sample: at least one entry must be a class label, not -1")
        return y[:0], np.full(y.shape[0], UNLABELLED, dtype=np.int32)
    known = y[labelled]
    if y.dtype.kind == "O":
        kinds = {type(value) is str for value in known}
        if len(kinds) > 1:
            raise ValueError("y mixes strings and numbers among its class labels: use one kind of label")
    check_classification_targets(known)
    classes = np.unique(known)
    encoded = np.full(y.shape[0], UNLABELLED, dtype=np.int32)
    encoded[labelled] = np.searchsorted(classes, known)
    return classes, encoded


def decode_targets(classes, encoded):
    """Map class indices back to class labels; every negative index becomes -1.

    The labels keep the dtype of `classes` exactly when every index names a class.
    Otherwise the dtype must also hold the marker -1: strings are widened to hold "-1",
    unsigned integers become the next wider signed type (or object beyond int64), and
    booleans become int8.
    """
    known = encoded >= 0
    if known.all():
        return classes[encoded]
    decoded = np.full(encoded.shape[0], UNLABELLED, dtype=_dtype_with_marker(classes))
    decoded[known] = classes[encoded[known]]
    return decoded


def _dtype_with_marker(classes):
    kind = classes.dtype.kind
    if kind in "US":
        return np.result_type(classes.dtype, np.array(str(UNLABELLED), dtype=kind).dtype)
    if kind in "ifO":
        return classes.dtype
    if kind == "u":
        if classes.dtype.itemsize < 8:
            return np.dtype(f"i{2 * classes.dtype.itemsize}")
        return np.dtype(np.int64) if classes.size == 0 or classes.max() <= np.iinfo(np.int64).max else object
    return np.dtype(np.int8)
