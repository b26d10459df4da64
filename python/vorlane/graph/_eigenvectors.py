"""Fiedler vectors and spectral embeddings: the smallest nontrivial eigenvectors of L."""

from __future__ import annotations

import warnings
from typing import Any, Optional

import numpy as np

from .._checks import as_integer, check_maxiter, check_positive
from ._input import GraphLaplacian, as_graph_laplacian
from ._nodes import check_nodes, rows_by_node
from ._solver import LaplacianSolver

# Graphs up to this many vertices are solved densely: exact, and faster than iterating.
DENSE_LIMIT = 1000
DEFAULT_MAXITER = 500


def _dense(graph: GraphLaplacian, k: int) -> np.ndarray:
    L = graph.L.toarray()
    # Adding a multiple of each component's normalized constant vector lifts the null space
    # above the spectrum, so the k smallest eigenvectors are the nontrivial ones.
    counts = np.bincount(graph.labels, minlength=graph.n_components).astype(np.float64)
    lift = 2.0 * float(np.abs(L).sum(axis=1).max()) + 1.0
    same = graph.labels[:, None] == graph.labels[None, :]
    L += lift * same / counts[graph.labels][:, None]
    _, vectors = np.linalg.eigh(L)
    return vectors[:, :k]


def _iterative(graph: GraphLaplacian, k: int, tol: float, maxiter: int, seed: int) -> np.ndarray:
    import scipy.sparse.linalg as spla

    scale = float(graph.L.diagonal().max())
    A = graph.L / scale
    factor = LaplacianSolver(graph.L, seed=seed).preconditioner()
    n = graph.n

    def precondition(R: np.ndarray) -> np.ndarray:
        R = np.asarray(R, dtype=np.float64)
        return graph.project(factor.matmat(R.reshape(n, -1)))

    M = spla.LinearOperator((n, n), matvec=precondition, matmat=precondition, dtype=np.float64)
    X = graph.project(np.random.default_rng(seed).standard_normal((n, k)))
    with warnings.catch_warnings():
        # Non-convergence is checked below, from the residuals themselves.
        warnings.simplefilter("ignore", UserWarning)
        values, vectors = spla.lobpcg(A, X, M=M, tol=tol, maxiter=maxiter, largest=False)
    order = np.argsort(values)
    values, vectors = values[order], graph.project(vectors[:, order])
    vectors /= np.linalg.norm(vectors, axis=0)
    residual = np.linalg.norm(A @ vectors - vectors * values, axis=0)
    if not (residual <= 10 * tol).all():
        raise RuntimeError(
            f"the eigenvector iteration did not converge within {maxiter} iterations "
            f"(largest residual {float(residual.max()):.3g}, tol {tol:g}); "
            "raise maxiter or tol"
        )
    return vectors


def _fix_signs(vectors: np.ndarray) -> np.ndarray:
    """Scale each column to unit norm with its largest-magnitude entry positive."""
    vectors = vectors / np.linalg.norm(vectors, axis=0)
    pivot = np.argmax(np.abs(vectors), axis=0)
    signs = np.sign(vectors[pivot, np.arange(vectors.shape[1])])
    return vectors * np.where(signs == 0, 1.0, signs)


def _too_small(graph: GraphLaplacian, what: str) -> str:
    if graph.n < 2:
        return f"{what} needs a graph of at least two vertices, this one has {graph.n}"
    return f"{what} needs a graph with at least one edge, this one has {graph.n} vertices and none"


def spectral_embedding(
    G_or_L: Any,
    k: int,
    *,
    tol: float = 1e-8,
    maxiter: Optional[int] = None,
    seed: int = 0,
    weight: Any = "weight",
    nodes: bool = False,
) -> Any:
    """The eigenvectors of the k smallest nontrivial eigenvalues of the graph Laplacian.

    The constant vector of every connected component spans the null space of L and is
    deflated: each returned vector sums to zero on every component. For a disconnected
    graph the vectors are therefore those of the smallest nonzero eigenvalues of the whole
    graph (each usually lives on a single component); embed a component on its own by
    passing its subgraph. Graphs of at most 1000 vertices are solved densely
    (``numpy.linalg.eigh``); larger ones by ``scipy.sparse.linalg.lobpcg`` preconditioned
    with a vorlane factor, on L scaled to unit largest degree, to residual ``tol``.

    Args:
        G_or_L: a graph as :func:`laplacian` takes it, or a sparse Laplacian.
        k: number of vectors, 1 <= k <= n - (number of components).
        tol: residual tolerance of the iteration (relative to the largest degree).
        maxiter: iteration limit (default 500).
        seed: seed of the starting block and of the factorization.
        weight: the edge attribute holding conductances (None for unit weights), or for an
            edge list the array of weights, as :func:`laplacian` takes it; default
            ``"weight"``, as for networkx's ``laplacian_matrix`` and ``spectral_layout``.
        nodes: for a networkx graph, return a dict ``{node: row of k entries}`` instead.

    Returns:
        An (n, k) float64 array, columns in increasing order of eigenvalue, each of unit
        norm with its largest-magnitude entry positive. Within a repeated eigenvalue any
        orthonormal basis of its eigenspace may come back.

    Raises:
        TypeError, ValueError: bad graph or k.
        RuntimeError: the iteration did not converge within ``maxiter`` iterations.
    """
    k = as_integer(k, "k")
    tol = check_positive(tol, "tol")
    maxiter = DEFAULT_MAXITER if maxiter is None else check_maxiter(maxiter)
    check_nodes(G_or_L, nodes)
    graph = as_graph_laplacian(G_or_L, weight)
    available = graph.n - graph.n_components
    if available < 1:
        raise ValueError(_too_small(graph, "a spectral embedding"))
    if not 1 <= k <= available:
        raise ValueError(
            f"k must be between 1 and {available} (vertices minus connected components), "
            f"got {k}"
        )
    if graph.n <= DENSE_LIMIT:
        vectors = _dense(graph, k)
    elif 5 * k >= available:
        raise ValueError(
            f"k = {k} is too large for an iterative solve on {graph.n} vertices "
            f"({graph.n_components} components): at most {(available - 1) // 5}"
        )
    else:
        vectors = _iterative(graph, k, tol, maxiter, seed)
    vectors = _fix_signs(graph.project(vectors))
    return rows_by_node(G_or_L, vectors) if nodes else vectors


def fiedler_vector(
    G_or_L: Any,
    *,
    tol: float = 1e-8,
    maxiter: Optional[int] = None,
    seed: int = 0,
    weight: Any = "weight",
    nodes: bool = False,
) -> Any:
    """The Fiedler vector: the eigenvector of the smallest nontrivial Laplacian eigenvalue.

    ``spectral_embedding(G_or_L, 1)[:, 0]``; see :func:`spectral_embedding` for the
    handling of disconnected graphs and for the options (``weight`` defaults to
    ``"weight"``, a conductance, as for networkx's ``fiedler_vector``). The graph needs
    at least two vertices and one edge. With ``nodes=True`` (a networkx graph), a dict
    ``{node: value}``.
    """
    check_nodes(G_or_L, nodes)
    graph = as_graph_laplacian(G_or_L, weight)
    if graph.n - graph.n_components < 1:
        raise ValueError(_too_small(graph, "a Fiedler vector"))
    vector = spectral_embedding(graph, 1, tol=tol, maxiter=maxiter, seed=seed)[:, 0]
    return rows_by_node(G_or_L, vector.tolist()) if nodes else vector
