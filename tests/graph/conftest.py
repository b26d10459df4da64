"""Fixtures of the graph tests."""

import numpy as np
import pytest

from graph_support import random_graph


@pytest.fixture
def two_components():
    """A weighted graph of two components (60 and 40 vertices) and an isolated vertex 100."""
    e1, w1 = random_graph(60, 240, seed=1)
    e2, w2 = random_graph(40, 150, seed=2)
    edges = np.concatenate([e1, e2 + 60])
    weights = np.concatenate([w1, w2])
    return 101, edges, weights
