"""Helpers shared by the estimators: label encoding and stage reporting."""

import numbers
import sys
import time
from contextlib import contextmanager

import numpy as np
from sklearn.utils.multiclass import check_classification_targets

UNLABELLED = -1


def encode_targets(y):
    """Split a semi-supervised target vector into its classes and their indices.

    Returns ``(classes, encoded)``: ``classes`` holds the distinct labels other than -1
    in sorted order, ``encoded`` (int32) the index of each sample's class in
    ``classes``, or -1 for an unlabelled sample (marked -1, or "-1" in an array of
    strings). The native modules reserve every
    negative value below -1 for clusters they discover, so known classes have to be
    0, 1, ... whatever the caller's labels are.
    """
    # In an array of strings the unlabelled marker can only be the string "-1".
    labelled = np.asarray(y != (str(UNLABELLED) if y.dtype.kind in "US" else UNLABELLED), dtype=bool)
    if not np.any(labelled):
        raise ValueError("y has no labelled sample: at least one entry must be a class label, not -1")
    check_classification_targets(y[labelled])   # -1 sorts badly among string classes
    classes = np.unique(y[labelled])
    encoded = np.full(y.shape[0], UNLABELLED, dtype=np.int32)
    encoded[labelled] = np.searchsorted(classes, y[labelled])
    return classes, encoded


def decode_targets(classes, encoded):
    """Map class indices back to class labels; every negative index becomes -1."""
    known = encoded >= 0
    # Unsigned and boolean labels cannot hold -1; strings get "-1", widened if need be.
    if classes.dtype.kind in "US":
        dtype = np.result_type(classes.dtype, np.array(str(UNLABELLED)).dtype)
    elif classes.dtype.kind in "ifO":
        dtype = classes.dtype
    else:
        dtype = np.result_type(classes.dtype, np.int8)
    decoded = np.full(encoded.shape[0], UNLABELLED, dtype=dtype)
    decoded[known] = classes[encoded[known]]
    return decoded


def check_number(name, value, *, integral=False, minimum=None, strictly_above=None):
    """Raise a ValueError naming the parameter unless `value` is a number in range."""
    kind = numbers.Integral if integral else numbers.Real
    if isinstance(value, bool) or not isinstance(value, kind):
        raise ValueError(f"{name} must be {'an integer' if integral else 'a number'}, got {value!r}")
    if minimum is not None and not value >= minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value!r}")
    if strictly_above is not None and not value > strictly_above:
        raise ValueError(f"{name} must be greater than {strictly_above}, got {value!r}")


class Stages:
    """Reports each stage of a fit with its duration on stderr when `verbose` is set."""

    def __init__(self, name, verbose):
        self.name = name
        self.verbose = verbose

    @contextmanager
    def __call__(self, stage):
        if not self.verbose:
            yield
            return
        print(f"{self.name}: {stage} ...", file=sys.stderr, flush=True)
        start = time.perf_counter()
        yield
        print(f"{self.name}: {stage} done in {time.perf_counter() - start:.2f} s", file=sys.stderr, flush=True)
