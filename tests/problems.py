"""Test problems: graph Laplacians and SDDM matrices as scipy CSR matrices.

The generated families come from the generators the C++ tests use (``vorlane._problems``),
so a seed gives the same matrix in both. Every builder is deterministic for a given seed and
returns a ``scipy.sparse.csr_matrix`` with float64 values and sorted, duplicate-free indices.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from vorlane import _problems


def laplacian_from_edges(n, rows, cols, weights):
    """Laplacian of the undirected graph on n vertices with the given weighted edges.

    Parallel edges add up; self loops are not allowed.
    """
    rows = np.asarray(rows, dtype=np.int64)
    cols = np.asarray(cols, dtype=np.int64)
    weights = np.asarray(weights, dtype=np.float64)
    if rows.shape != cols.shape or rows.shape != weights.shape:
        raise ValueError("rows, cols and weights must have the same shape")
    if np.any(rows == cols):
        raise ValueError("self loops are not allowed")
    adjacency = sp.coo_matrix((weights, (rows, cols)), shape=(n, n))
    adjacency = (adjacency + adjacency.T).tocsr()
    degree = np.asarray(adjacency.sum(axis=1)).ravel()
    lap = sp.diags(degree, format="csr") - adjacency
    return _canonical(lap)


def grid_laplacian(nx, ny=None, seed=0, weights="random"):
    """Laplacian of an nx-by-ny grid graph (vertex (x, y) numbered x * ny + y); weights
    uniform in [0.5, 2), all 1 ("unit") or 10^u with u uniform in [-6, 6] ("contrast")."""
    ny = nx if ny is None else ny
    return _problems.matrix("grid2d", (nx, ny), seed, weights=weights)


def path_laplacian(n, seed=0, weights="random"):
    """Laplacian of the path 0 - 1 - ... - (n-1)."""
    return _problems.matrix("path", (n,), seed, weights=weights)


def tree_laplacian(n, seed=0, weights="random"):
    """Laplacian of a random tree: vertex i > 0 hangs from a random earlier vertex, then the
    labels are shuffled so the tree structure is not aligned with the index order."""
    return _problems.matrix("tree", (n,), seed, weights=weights)


def random_graph_laplacian(n, avg_degree=6.0, seed=0, weights="random", connected=True):
    """Laplacian of a random sparse graph with about n * avg_degree / 2 edges (parallel edges
    merge). With connected=True a random spanning path is added so the graph is connected."""
    return _problems.matrix("random_graph", (n,), seed, weights=weights, avg_degree=avg_degree, connected=connected)


def sddm(laplacian, seed=0, density=0.1, low=0.1, high=1.0):
    """An SDDM matrix: the Laplacian plus a positive diagonal excess on some vertices.

    At least one vertex gets an excess, so the matrix is nonsingular when the graph is
    connected.
    """
    rng = np.random.default_rng(seed)
    n = laplacian.shape[0]
    excess = np.zeros(n)
    if n:
        chosen = rng.random(n) < density
        chosen[rng.integers(0, n)] = True
        excess[chosen] = rng.uniform(low, high, size=int(chosen.sum()))
    return _canonical(laplacian + sp.diags(excess, format="csr"))


def _generated_sddm(recipe, dims, seed, **options):
    # The generator's own SDDM step: excess on about 10% of the vertices, at least one.
    return _problems.matrix(recipe, dims, seed, weights="random", sddm=(seed + 1, 0.1, 0.1, 1.0), **options)


def grid_sddm(nx, ny=None, seed=0):
    return _generated_sddm("grid2d", (nx, nx if ny is None else ny), seed)


def path_sddm(n, seed=0):
    return _generated_sddm("path", (n,), seed)


def tree_sddm(n, seed=0):
    return _generated_sddm("tree", (n,), seed)


def random_sddm(n, avg_degree=6.0, seed=0):
    return _generated_sddm("random_graph", (n,), seed, avg_degree=avg_degree)


def zero_mean(vector):
    """The vector minus its mean: a right-hand side in the range of a connected Laplacian."""
    vector = np.asarray(vector, dtype=np.float64)
    return vector - vector.mean()


def _canonical(matrix):
    matrix = sp.csr_matrix(matrix, dtype=np.float64)
    matrix.sum_duplicates()
    matrix.sort_indices()
    return matrix
