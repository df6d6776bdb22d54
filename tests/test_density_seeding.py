"""The order in which DensityClustering seeds its clusters, as the README states it:
labelled samples that are not core samples first, then labelled core samples, each
pass in row order; a region goes to the first label that reaches it."""

import numpy as np
import pytest

from varnex import DensityClustering

# Ten samples 1 apart: with eps=1.1 and min_samples=3 all but the two ends are core samples.
CHAIN = np.arange(10.0)[:, None]


@pytest.mark.parametrize("labels, expected", [
    # A stray class-0 label on the end sample (not core) seeds before class 1's core sample 2.
    ({2: 1, 9: 0}, [1, 1, 1, 0, 0, 0, 0, 0, 0, 0]),
    # On a core sample it seeds in the second pass, after sample 2 in row order.
    ({2: 1, 8: 0}, [1, 1, 1, 1, 1, 1, 1, 1, 0, 0]),
    # Row order decides between core samples: the earlier row takes the middle.
    ({7: 1, 3: 0}, [0, 0, 0, 0, 0, 0, 0, 1, 1, 1]),
    # A labelled end sample spreads although not core, and stops at another class.
    ({0: 0, 1: 1}, [0, 1, 1, 1, 1, 1, 1, 1, 1, 1]),
])
def test_labels_seed_before_density(labels, expected):
    y = np.full(10, -1)
    y[list(labels)] = list(labels.values())
    model = DensityClustering(eps=1.1, min_samples=3, postprocess=False).fit(CHAIN, y)
    np.testing.assert_array_equal(model.labels_, expected)
