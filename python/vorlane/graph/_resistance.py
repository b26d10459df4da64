"""Effective resistances: exact ones for given vertex pairs, sketched ones for every edge."""

from __future__ import annotations

import math
from typing import Any, Dict, Optional, Tuple, Union

import numpy as np

from .._checks import as_integer, check_maxiter, check_positive
from .._order import check_threads
from ._input import GraphLaplacian, as_graph_laplacian
from ._nodes import by_node, check_nodes, label_pairs
from ._progress import SolveProgress, check_progress
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
    weight: Any = "weight",
    invert_weight: bool = False,
    nodes: bool = False,
    progress: Optional[bool] = None,
) -> Union[np.ndarray, Dict[Tuple[Any, Any], float]]:
    """Effective resistances between the given pairs of vertices.

    The resistance between u and v is (e_u - e_v)^T L^+ (e_u - e_v): the voltage between
    them when a unit current enters at u and leaves at v, edge weights being conductances.
    Each distinct pair costs one Laplacian solve to relative residual ``tol``, run in
    blocks through one vorlane factorization; the value is the energy estimate
    2 b^T x - x^T L x, whose error is quadratic in the solve's error.

    Weights: by default the ``"weight"`` attribute of a networkx graph (the stored values
    of an adjacency matrix) is a conductance, as in :func:`laplacian`; edges without it
    count 1. networkx's ``resistance_distance`` defaults differently, to unit weights
    (``weight=None``), and reads a named attribute as a resistance (its
    ``invert_weight=True``): pass the same ``weight`` and ``invert_weight`` for its values.

    Args:
        G_or_L: a graph as :func:`laplacian` takes it, or a sparse Laplacian (a sparse
            matrix with negative off-diagonal entries).
        pairs: an (m, 2) integer array of vertex numbers (as in ``laplacian(G)``: a
            networkx graph's nodes in ``G.nodes`` order), or a single pair. For a networkx
            graph, pairs of node labels work too (pairs that are not integers are read as
            labels; ``nodes=True`` reads integers as labels as well).
        tol: relative residual of each solve.
        seed: seed of the factorization.
        maxiter: iteration limit of each solve (default 1000).
        weight: the edge attribute (None for unit weights), or for an edge list the array
            of weights, as :func:`laplacian` takes it; default ``"weight"``.
        invert_weight: the weights are resistances, so their reciprocals are conductances.
        nodes: a networkx graph's pairs are node labels, and the result is a dict
            ``{(u, v): resistance}`` keyed by them.
        progress: report the solves on stderr past a second of work: None (the default)
            only when stderr is a terminal, True always, False never.

    Returns:
        A float64 array of m resistances: 0 for u == v, ``inf`` for vertices in different
        connected components (with ``nodes=True``, a dict of them by pair).

    Raises:
        TypeError, ValueError: bad graph (see :func:`laplacian`) or bad pairs.
        RuntimeError: a solve did not reach ``tol`` within ``maxiter`` iterations.
    """
    tol = check_positive(tol, "tol")
    maxiter = check_maxiter(maxiter)
    progress = check_progress(progress)
    check_nodes(G_or_L, nodes)
    graph = as_graph_laplacian(G_or_L, weight, invert_weight)
    labelled = label_pairs(G_or_L, pairs, nodes)
    positions = _check_pairs(pairs if labelled is None else labelled[1], graph.n)
    result = _pair_resistances(graph, positions, tol, seed, maxiter, progress, "resistances of pairs")
    if nodes:
        return dict(zip(labelled[0], result.tolist()))
    return result


def _pair_resistances(
    graph: GraphLaplacian, pairs: np.ndarray, tol: float, seed: int, maxiter: int, progress: Optional[bool], what: str
) -> np.ndarray:
    """One solve per distinct pair of vertices in one component, in blocks of columns."""
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
    report = SolveProgress(what, distinct.shape[0], progress)
    for block in column_blocks(distinct.shape[0], block_columns(n)):
        a, b = distinct[block, 0], distinct[block, 1]
        columns = np.arange(a.size)
        B = np.zeros((n, a.size))
        B[a, columns] = 1.0
        B[b, columns] = -1.0
        X = solver.solve(B, tol=tol, maxiter=maxiter)
        energy = np.einsum("ij,ij->j", X, graph.L @ X)
        values[block] = 2.0 * (X[a, columns] - X[b, columns]) - energy
        report.advance(block.stop)
    report.finish()
    result[wanted] = values[inverse.reshape(-1)]
    return result


def sketch_size(n: int, eps: float) -> int:
    """The number of random projections the sketch uses by default for n vertices."""
    return max(MIN_SKETCH, math.ceil(SKETCH_C * math.log(max(n, 2)) / (eps * eps)))


def default_tol(eps: float, exact: bool) -> float:
    """The solves' relative residual for all-edge resistances: tight when every edge is
    solved on its own, else far enough below the sketch's own error eps not to add to it."""
    return 1e-8 if exact else eps * eps / 100.0


def effective_resistances(
    G_or_L: Any,
    eps: float = 0.3,
    seed: int = 0,
    *,
    k: Optional[int] = None,
    tol: Optional[float] = None,
    maxiter: Optional[int] = None,
    weight: Any = "weight",
    invert_weight: bool = False,
    nodes: bool = False,
    progress: Optional[bool] = None,
    threads: Optional[int] = None,
) -> Union[Tuple[np.ndarray, np.ndarray], Dict[Tuple[Any, Any], float]]:
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
    error of the solves, which run to relative residual ``tol``: by default eps^2 / 100,
    where their error is small beside the sketch's (solving to 1e-6 instead takes twice
    as long for the same accuracy).

    When k reaches the number of edges m, the sketch would cost more solves than the exact
    answer: each edge is then solved on its own (m solves, the accuracy of
    :func:`effective_resistance` at ``tol``) and eps no longer matters.

    Weights are conductances by default, as in :func:`effective_resistance` (which says
    how to match networkx's defaults).

    Args:
        G_or_L: a graph as :func:`laplacian` takes it, or a sparse Laplacian.
        eps: relative accuracy, 0 < eps < 1; sets k when k is not given.
        seed: seed of the projections and of the factorization.
        k: number of projections (solves), overriding the one eps gives.
        tol: relative residual of each solve; by default eps^2 / 100 for the sketch and
            1e-8 (as :func:`effective_resistance`) when every edge is solved on its own.
        maxiter: iteration limit of each solve (default 1000).
        weight, invert_weight: the edge weights, as for :func:`effective_resistance`.
        nodes: for a networkx graph, return a dict ``{(u, v): resistance}`` keyed by node
            labels instead of ``(edges, r)``.
        progress: report the solves on stderr past a second of work: None (the default)
            only when stderr is a terminal, True always, False never.
        threads: blocks of projections solved at once, each on its own thread; None (the
            default) for every core this process may use. The result is the same, bit for
            bit, for any number.

    Returns:
        ``(edges, r)``: ``edges`` an (m, 2) int64 array of the edges (i, j), i < j, in the
        row-major order of the Laplacian's upper triangle (vertices numbered as in
        ``laplacian(G)``), and ``r`` their m approximate resistances; with ``nodes=True``
        the dict instead.

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
    if tol is not None:
        tol = check_positive(tol, "tol")
    maxiter = check_maxiter(maxiter)
    progress = check_progress(progress)
    threads = check_threads(threads)
    check_nodes(G_or_L, nodes)
    graph = as_graph_laplacian(G_or_L, weight, invert_weight)
    rows, cols, weights = graph.upper_edges()
    edges = np.stack([rows, cols], axis=1)
    k = sketch_size(graph.n, eps) if k is None else k
    exact = k >= edges.shape[0]
    if tol is None:
        tol = default_tol(eps, exact)
    if exact:
        r = _pair_resistances(graph, edges, tol, seed, maxiter, progress, "resistances of every edge")
    else:
        r = _sketch(graph, rows, cols, weights, k, tol, seed, maxiter, progress, threads)
    if nodes:
        return by_node(G_or_L, edges, r)
    return edges, r


def _sketch(
    graph: GraphLaplacian, rows: np.ndarray, cols: np.ndarray, weights: np.ndarray, k: int, tol: float, seed: int,
    maxiter: int, progress: Optional[bool], threads: int,
) -> np.ndarray:
    """The sketched resistances of the edges (rows[e], cols[e]) from k projections.

    Blocks of projections are drawn in order and solved `threads` at a time; their squared
    differences are summed in block order, so the threads change nothing but the time.
    """
    from concurrent.futures import ThreadPoolExecutor

    import scipy.sparse as sparse

    m, n = rows.size, graph.n
    # Column e of the incidence matrix: +sqrt(w_e) at i, -sqrt(w_e) at j.
    root = np.sqrt(weights)
    incidence = sparse.csr_matrix(
        (np.concatenate([root, -root]), (np.concatenate([rows, cols]), np.tile(np.arange(m), 2))),
        shape=(n, m),
    )
    solver = LaplacianSolver(graph.L, seed=seed)
    rng = np.random.default_rng(seed)

    def squared_differences(projections: np.ndarray) -> np.ndarray:
        Z = solver.solve(incidence @ projections, tol=tol, maxiter=maxiter)
        difference = Z[rows] - Z[cols]
        return np.einsum("ij,ij->i", difference, difference)

    total = np.zeros(m)
    report = SolveProgress("sketched resistances of every edge", k, progress)
    blocks = list(column_blocks(k, block_columns(max(n, m))))
    with ThreadPoolExecutor(max_workers=threads) as pool:
        for first in range(0, len(blocks), threads):
            wave = blocks[first:first + threads]
            drawn = []
            for block in wave:
                signs = rng.integers(0, 2, size=(m, block.stop - block.start), dtype=np.int8)
                drawn.append(np.where(signs == 1, 1.0, -1.0))
            for block, squares in zip(wave, pool.map(squared_differences, drawn)):
                total += squares
                report.advance(block.stop)
    report.finish()
    return total / k
