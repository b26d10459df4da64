"""Shared helpers of the graph tests: small weighted graphs and their dense references.

A module of its own rather than conftest, so that imports never pick another directory's
conftest."""

import numpy as np


def random_graph(n, m, seed, spread=2.0):
    """An edge list (m, 2) with weights 10^U[-spread, spread], no self-loops, duplicates kept."""
    rng = np.random.default_rng(seed)
    a = rng.integers(0, n, m)
    b = (a + rng.integers(1, n, m)) % n
    return np.stack([a, b], axis=1), 10.0 ** rng.uniform(-spread, spread, m)


def dense_laplacian(n, edges, weights):
    L = np.zeros((n, n))
    for (i, j), w in zip(edges, weights):
        if i != j:
            L[i, j] -= w
            L[j, i] -= w
            L[i, i] += w
            L[j, j] += w
    return L


def pinv_resistances(L, pairs):
    P = np.linalg.pinv(L, hermitian=True)
    d = np.diag(P)
    return d[pairs[:, 0]] + d[pairs[:, 1]] - 2 * P[pairs[:, 0], pairs[:, 1]]
