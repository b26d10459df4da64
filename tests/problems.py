"""Test problems: graph Laplacians and SDDM matrices as scipy CSR matrices.

Every builder is deterministic for a given seed and returns a ``scipy.sparse.csr_matrix``
with float64 values and sorted, duplicate-free indices.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp


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
    """Laplacian of an nx-by-ny grid graph; weights uniform in [0.5, 2), all 1 ("unit") or
    10^u with u uniform in [-6, 6] ("contrast")."""
    ny = nx if ny is None else ny
    rng = np.random.default_rng(seed)
    index = np.arange(nx * ny).reshape(nx, ny)
    rows = np.concatenate([index[:-1, :].ravel(), index[:, :-1].ravel()])
    cols = np.concatenate([index[1:, :].ravel(), index[:, 1:].ravel()])
    w = _weights(rng, rows.size, weights)
    return laplacian_from_edges(nx * ny, rows, cols, w)


def path_laplacian(n, seed=0, weights="random"):
    """Laplacian of the path 0 - 1 - ... - (n-1)."""
    rng = np.random.default_rng(seed)
    rows = np.arange(n - 1)
    return laplacian_from_edges(n, rows, rows + 1, _weights(rng, n - 1, weights))


def tree_laplacian(n, seed=0, weights="random"):
    """Laplacian of a random tree: vertex i > 0 hangs from a random earlier vertex.

    Vertex labels are shuffled so the tree structure is not aligned with the index order.
    """
    rng = np.random.default_rng(seed)
    parents = np.array([rng.integers(0, i) for i in range(1, n)], dtype=np.int64)
    children = np.arange(1, n)
    perm = rng.permutation(n)
    return laplacian_from_edges(n, perm[children], perm[parents], _weights(rng, n - 1, weights))


def random_graph_laplacian(n, avg_degree=6.0, seed=0, weights="random", connected=True):
    """Laplacian of a random sparse graph with about n * avg_degree / 2 edges.

    With connected=True a random spanning path is added so the graph is connected.
    """
    rng = np.random.default_rng(seed)
    m = int(n * avg_degree / 2)
    rows = rng.integers(0, n, size=m)
    cols = rng.integers(0, n, size=m)
    keep = rows != cols
    rows, cols = rows[keep], cols[keep]
    if connected and n > 1:
        perm = rng.permutation(n)
        rows = np.concatenate([rows, perm[:-1]])
        cols = np.concatenate([cols, perm[1:]])
    return laplacian_from_edges(n, rows, cols, _weights(rng, rows.size, weights))


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


def grid_sddm(nx, ny=None, seed=0):
    return sddm(grid_laplacian(nx, ny, seed=seed), seed=seed + 1)


def path_sddm(n, seed=0):
    return sddm(path_laplacian(n, seed=seed), seed=seed + 1)


def tree_sddm(n, seed=0):
    return sddm(tree_laplacian(n, seed=seed), seed=seed + 1)


def random_sddm(n, avg_degree=6.0, seed=0):
    return sddm(random_graph_laplacian(n, avg_degree, seed=seed), seed=seed + 1)


def zero_mean(vector):
    """The vector minus its mean: a right-hand side in the range of a connected Laplacian."""
    vector = np.asarray(vector, dtype=np.float64)
    return vector - vector.mean()


def _weights(rng, count, kind):
    if kind == "unit":
        return np.ones(count)
    if kind == "random":
        return rng.uniform(0.5, 2.0, size=count)
    if kind == "contrast":
        return 10.0 ** rng.uniform(-6.0, 6.0, size=count)
    raise ValueError(f"unknown weight kind {kind!r}")


def _canonical(matrix):
    matrix = sp.csr_matrix(matrix, dtype=np.float64)
    matrix.sum_duplicates()
    matrix.sort_indices()
    return matrix
