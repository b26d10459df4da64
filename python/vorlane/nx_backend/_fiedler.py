"""Algebraic connectivity, Fiedler vectors, spectral ordering and bisection."""

from __future__ import annotations

import warnings
from typing import Any, List, Optional, Tuple

import numpy as np

from ._graph import VorlaneGraph
from ._laplacian import components, laplacian
from ._solves import settings

# Up to this many nodes the eigenproblem is solved densely: exact, and quicker than iterating.
DENSE_LIMIT = 64
# LOBPCG iterates on this many vectors: a block finds a cluster of close eigenvalues (random
# regular graphs have them) in far fewer iterations than a single vector.
BLOCK = 4
MAXITER = 2000
METHODS = ("tracemin_pcg", "tracemin_lu", "tracemin", "lanczos", "lobpcg")


def check_method(method: Any) -> None:
    import networkx as nx

    if method not in METHODS:
        raise nx.NetworkXError(f"unknown method {method!r}.")


def _eigen_conductances(G: VorlaneGraph, weight: Optional[str]) -> np.ndarray:
    """networkx's weights for eigenvector work: absolute values, self-loops and zeros dropped."""
    w = np.abs(G.edge_weights(weight))
    w[G.heads == G.tails] = 0.0
    return w


def _residual(L, x: np.ndarray, sigma: float, scale: float) -> float:
    """networkx's convergence measure: ||L x - sigma x||_1 / ||L||_inf, x of unit norm."""
    return float(np.abs(L @ x - sigma * x).sum() / scale)


def _normalize(L, normalized: bool) -> Tuple[Any, np.ndarray]:
    """The operator whose Fiedler pair is wanted, and its null vector (unit norm)."""
    import scipy.sparse as sparse

    n = L.shape[0]
    if not normalized:
        return L, np.full(n, 1.0 / np.sqrt(n))
    root = np.sqrt(L.diagonal())
    D = sparse.diags(1.0 / root)
    return (D @ L @ D).tocsr(), root / np.linalg.norm(root)


def _dense(A, null: np.ndarray) -> Tuple[float, np.ndarray]:
    M = A.toarray()
    # Lift the null vector above the spectrum so that the smallest eigenpair is Fiedler's.
    M += (2.0 * np.abs(M).sum(axis=1).max() + 1.0) * np.outer(null, null)
    values, vectors = np.linalg.eigh(M)
    return float(values[0]), vectors[:, 0]


def _iterative(L, A, null: np.ndarray, normalized: bool, tol: float, seed: int) -> Tuple[float, np.ndarray]:
    """The Fiedler pair of A (L, or D^-1/2 L D^-1/2) by LOBPCG kept orthogonal to A's null
    vector, preconditioned by a vorlane factor F of L (D^1/2 F D^1/2 for the normalized A)."""
    import scipy.sparse.linalg as spla
    import vorlane

    n = L.shape[0]
    factor = vorlane.Preconditioner(L, seed=seed, check=False)
    root = np.sqrt(L.diagonal())[:, None] if normalized else 1.0

    def precondition(R: np.ndarray) -> np.ndarray:
        R = np.asarray(R, dtype=np.float64).reshape(n, -1)
        Z = root * factor.matmat(root * R)
        return Z - null[:, None] * (null @ Z)

    M = spla.LinearOperator((n, n), matvec=precondition, matmat=precondition, dtype=np.float64)
    X = np.random.default_rng(seed).standard_normal((n, BLOCK))
    # LOBPCG's tolerance bounds the residual's 2-norm; networkx's measure is its 1-norm over
    # the largest absolute row sum, at most sqrt(n) times larger relative to that sum.
    scale = float(abs(A).sum(axis=1).max())
    with warnings.catch_warnings():
        # Convergence is judged afterwards, by networkx's own measure.
        warnings.simplefilter("ignore")
        values, vectors = spla.lobpcg(
            A, X, M=M, Y=null[:, None], tol=tol * scale / np.sqrt(n), maxiter=MAXITER,
            largest=False,
        )
    k = int(np.argmin(values))
    return float(values[k]), vectors[:, k]


def fiedler_pair(L, normalized: bool, tol: float) -> Tuple[float, np.ndarray]:
    """The smallest nonzero eigenvalue of a connected graph's (normalized) Laplacian and its
    unit eigenvector, signed so that its first non-negligible entry is negative."""
    import networkx as nx

    A, null = _normalize(L, normalized)
    _, seed = settings()
    if A.shape[0] <= DENSE_LIMIT:
        sigma, x = _dense(A, null)
    else:
        sigma, x = _iterative(L, A, null, normalized, tol, seed)
    x = x - (x @ null) * null
    x /= np.linalg.norm(x)
    sigma = float(x @ (A @ x))
    scale = float(np.abs(A).sum(axis=1).max())
    residual = _residual(A, x, sigma, scale)
    # Rounding alone leaves a residual of order n * eps in the 1-norm.
    if not residual <= max(tol, 64 * A.shape[0] * np.finfo(float).eps):
        raise nx.NetworkXError(
            f"the Fiedler vector did not converge within {MAXITER} iterations: relative "
            f"residual {residual:.3g}, tol {tol:g}"
        )
    lead = np.flatnonzero(np.abs(x) > 1e-8 * np.abs(x).max())[0]
    return sigma, -x if x[lead] > 0 else x


def algebraic_connectivity(
    G: VorlaneGraph, weight: Optional[str] = "weight", normalized: bool = False,
    tol: float = 1e-8, method: str = "tracemin_pcg", seed: Any = None,
) -> float:
    import networkx as nx

    check_method(method)
    if len(G) < 2:
        raise nx.NetworkXError("graph has less than two nodes.")
    c = _eigen_conductances(G, weight)
    if components(G, c)[0] > 1:
        return 0.0
    L = laplacian(G, c)
    if G.n == 2:
        return 2.0 * float(L[0, 0]) if not normalized else 2.0
    return fiedler_pair(L, normalized, tol)[0]


def fiedler_vector(
    G: VorlaneGraph, weight: Optional[str] = "weight", normalized: bool = False,
    tol: float = 1e-8, method: str = "tracemin_pcg", seed: Any = None,
) -> np.ndarray:
    import networkx as nx

    check_method(method)
    if len(G) < 2:
        raise nx.NetworkXError("graph has less than two nodes.")
    c = _eigen_conductances(G, weight)
    if components(G, c)[0] > 1:
        raise nx.NetworkXError("graph is not connected.")
    if G.n == 2:
        return np.array([1.0, -1.0])
    return fiedler_pair(laplacian(G, c), normalized, tol)[1]


def spectral_ordering(
    G: VorlaneGraph, weight: Optional[str] = "weight", normalized: bool = False,
    tol: float = 1e-8, method: str = "tracemin_pcg", seed: Any = None,
) -> List[Any]:
    import networkx as nx

    if len(G) == 0:
        raise nx.NetworkXError("graph is empty.")
    check_method(method)
    c = _eigen_conductances(G, weight)
    count, labels = components(G, c)
    L = laplacian(G, c)
    order: List[Any] = []
    for label in range(count):
        members = np.flatnonzero(labels == label)
        if members.size > 2:
            _, x = fiedler_pair(L[members][:, members], normalized, tol)
            members = members[np.lexsort((np.arange(members.size), x))]
        order.extend(G.nodes[i] for i in members)
    return order


def spectral_bisection(
    G: VorlaneGraph, weight: Optional[str] = "weight", normalized: bool = False,
    tol: float = 1e-8, method: str = "tracemin_pcg", seed: Any = None,
) -> Tuple[set, set]:
    v = fiedler_vector(G, weight, normalized, tol, method, seed)
    positive = v >= 0
    nodes = G.nodes
    return (
        {nodes[i] for i in np.flatnonzero(~positive)},
        {nodes[i] for i in np.flatnonzero(positive)},
    )
