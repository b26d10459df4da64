"""Effective resistances: exact ones for given vertex pairs, sketched ones for every edge."""

from __future__ import annotations

import math
from typing import Any, Optional, Tuple

import numpy as np

from .._checks import as_integer, check_maxiter, check_positive
from ._input import as_graph_laplacian
from ._solver import LaplacianSolver, block_columns, column_blocks

# The sketch uses k = ceil(SKETCH_C * ln(n) / eps^2) random projections (at least
# MIN_SKETCH): with +-1 projections, one edge's estimate leaves [1 - eps, 1 + eps] times
# its resistance with probability at most 2 exp(-k (eps^2/4 - eps^3/6)), which this k makes
# at most 2 n^-(1 - 2 eps / 3).
SKETCH_C = 4.0
MIN_SKETCH = 16


def _check_pairs(pairs: Any, n: int) -> np.ndarray:
    try:
        array = np.asarray(pairs)
    except Exception as exc:
        raise TypeError(f"pairs must be an (m, 2) integer array: {exc}") from None
    if array.size == 0:
        return np.zeros((0, 2), dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"pairs must be an (m, 2) integer array, got dtype {array.dtype}")
    if array.ndim == 1 and array.shape == (2,):
        array = array.reshape(1, 2)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"pairs must have shape (m, 2), got {array.shape}")
    outside = (array < 0) | (array >= n)
    if outside.any():
        k = int(np.flatnonzero(outside.any(axis=1))[0])
        raise ValueError(
            f"pair {k} has a vertex out of range [0, {n}): {tuple(int(v) for v in array[k])}"
        )
    return array.astype(np.int64)


def effective_resistance(
    G_or_L: Any,
    pairs: Any,
    *,
    tol: float = 1e-8,
    seed: int = 0,
    maxiter: Optional[int] = None,
) -> np.ndarray:
    """Effective resistances between the given pairs of vertices.

    The resistance between u and v is (e_u - e_v)^T L^+ (e_u - e_v): the voltage between
    them when a unit current enters at u and leaves at v, edge weights being conductances.
    Each distinct pair costs one Laplacian solve to relative residual ``tol``, run in
    blocks through one vorlane factorization; the value is the energy estimate
    2 b^T x - x^T L x, whose error is quadratic in the solve's error.

    Args:
        G_or_L: a graph as :func:`laplacian` takes it, or a sparse Laplacian (a sparse
            matrix with negative off-diagonal entries).
        pairs: an (m, 2) integer array of vertex numbers (as in ``laplacian(G)``: a
            networkx graph's nodes in ``G.nodes`` order), or a single pair.
        tol: relative residual of each solve.
        seed: seed of the factorization.
        maxiter: iteration limit of each solve (default 1000).

    Returns:
        A float64 array of m resistances: 0 for u == v, ``inf`` for vertices in different
        connected components.

    Raises:
        TypeError, ValueError: bad graph (see :func:`laplacian`) or bad pairs.
        RuntimeError: a solve did not reach ``tol`` within ``maxiter`` iterations.
    """
    tol = check_positive(tol, "tol")
    maxiter = check_maxiter(maxiter)
    graph = as_graph_laplacian(G_or_L)
    pairs = _check_pairs(pairs, graph.n)
    result = np.full(pairs.shape[0], np.inf)
    u, v = pairs[:, 0], pairs[:, 1]
    result[u == v] = 0.0
    wanted = (u != v) & (graph.labels[u] == graph.labels[v])
    if not wanted.any():
        return result
    # One solve per unordered pair, however often it is asked for.
    distinct, inverse = np.unique(np.sort(pairs[wanted], axis=1), axis=0, return_inverse=True)
    solver = LaplacianSolver(graph.L, seed=seed)
    values = np.empty(distinct.shape[0])
    n = graph.n
    for block in column_blocks(distinct.shape[0], block_columns(n)):
        a, b = distinct[block, 0], distinct[block, 1]
        columns = np.arange(a.size)
        B = np.zeros((n, a.size))
        B[a, columns] = 1.0
        B[b, columns] = -1.0
        X = solver.solve(B, tol=tol, maxiter=maxiter)
        energy = np.einsum("ij,ij->j", X, graph.L @ X)
        values[block] = 2.0 * (X[a, columns] - X[b, columns]) - energy
    result[wanted] = values[inverse.reshape(-1)]
    return result


def sketch_size(n: int, eps: float) -> int:
    """The number of random projections the sketch uses by default for n vertices."""
    return max(MIN_SKETCH, math.ceil(SKETCH_C * math.log(max(n, 2)) / (eps * eps)))


def effective_resistances(
    G_or_L: Any,
    eps: float = 0.3,
    seed: int = 0,
    *,
    k: Optional[int] = None,
    tol: float = 1e-6,
    maxiter: Optional[int] = None,
) -> Tuple[np.ndarray, np.ndarray]:
    """Approximate effective resistances of every edge, by a random projection sketch.

    With W the edge weights and B the signed edge-vertex incidence matrix, the resistance
    of edge (i, j) is the squared distance between columns i and j of W^1/2 B L^+. The
    sketch replaces W^1/2 B by Q W^1/2 B / sqrt(k), Q a k x m matrix of random +-1
    entries, so it costs k Laplacian solves (run in blocks through one factorization)
    instead of m.

    Guarantee: by default k = ceil(4 ln(n) / eps^2) (at least 16). Each edge's estimate
    then lies within a factor [1 - eps, 1 + eps] of its resistance with probability at
    least 1 - 2 n^-(1 - 2 eps / 3) (for eps = 0.3 and n = 10^6: 1 - 3e-5); in general a
    given k fails an edge with probability at most 2 exp(-k (eps^2/4 - eps^3/6)). To bound
    the failure probability of all m edges at once by delta, pass
    ``k = ceil(4 ln(2 m / delta) / (eps^2 - 2 eps^3 / 3))``. On top of this comes the
    error of the solves, which run to relative residual ``tol``.

    Args:
        G_or_L: a graph as :func:`laplacian` takes it, or a sparse Laplacian.
        eps: relative accuracy, 0 < eps < 1; sets k when k is not given.
        seed: seed of the projections and of the factorization.
        k: number of projections (solves), overriding the one eps gives.
        tol: relative residual of each solve.
        maxiter: iteration limit of each solve (default 1000).

    Returns:
        ``(edges, r)``: ``edges`` an (m, 2) int64 array of the edges (i, j), i < j, in the
        row-major order of the Laplacian's upper triangle (vertices numbered as in
        ``laplacian(G)``), and ``r`` their m approximate resistances.

    Raises:
        TypeError, ValueError: bad graph or options.
        RuntimeError: a solve did not reach ``tol`` within ``maxiter`` iterations.
    """
    eps = check_positive(eps, "eps")
    if not eps < 1.0:
        raise ValueError(f"eps must be below 1, got {eps!r}")
    if k is not None:
        k = as_integer(k, "k", "an integer or None")
        if k < 1:
            raise ValueError(f"k must be >= 1, got {k}")
    tol = check_positive(tol, "tol")
    maxiter = check_maxiter(maxiter)
    graph = as_graph_laplacian(G_or_L)
    rows, cols, weights = graph.upper_edges()
    edges = np.stack([rows, cols], axis=1)
    m, n = edges.shape[0], graph.n
    if m == 0:
        return edges, np.zeros(0)
    k = sketch_size(n, eps) if k is None else k

    import scipy.sparse as sparse

    # Column e of the incidence matrix: +sqrt(w_e) at i, -sqrt(w_e) at j.
    root = np.sqrt(weights)
    incidence = sparse.csr_matrix(
        (np.concatenate([root, -root]), (np.concatenate([rows, cols]), np.tile(np.arange(m), 2))),
        shape=(n, m),
    )
    solver = LaplacianSolver(graph.L, seed=seed)
    rng = np.random.default_rng(seed)
    total = np.zeros(m)
    for block in column_blocks(k, block_columns(max(n, m))):
        width = block.stop - block.start
        signs = rng.integers(0, 2, size=(m, width), dtype=np.int8)
        projections = np.where(signs == 1, 1.0, -1.0)
        Z = solver.solve(incidence @ projections, tol=tol, maxiter=maxiter)
        difference = Z[rows] - Z[cols]
        total += np.einsum("ij,ij->i", difference, difference)
    return edges, total / k
