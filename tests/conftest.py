import importlib

import numpy as np
import pytest

CORE = "varnex.algorithms.src.densa.binaries.densa_core"


@pytest.fixture
def core():
    return importlib.import_module(CORE)


@pytest.fixture
def blobs():
    """Three well separated 2-D blobs of 30 points each, in row-shuffled order."""
    rng = np.random.default_rng(7)
    centers = np.array([[0.0, 0.0], [10.0, 0.0], [0.0, 10.0]])
    points = np.concatenate([c + rng.normal(scale=0.5, size=(30, 2)) for c in centers])
    order = rng.permutation(len(points))
    truth = np.repeat(np.arange(3), 30)[order]
    return np.ascontiguousarray(points[order]), truth


def unlabelled(n):
    return np.full(n, -1, dtype=np.int32)
