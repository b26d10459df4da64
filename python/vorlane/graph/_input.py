"""Graph input: Laplacians from networkx graphs, sparse adjacency matrices and edge lists."""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any, Optional, Tuple

import numpy as np

from .._checks import REAL_DTYPES, as_integer, describe

# Entries of G and G.T (or L and L.T) may differ by this much, relative to their size.
SYMMETRY_RTOL = 1e-10
# A row of a Laplacian must sum to zero up to this fraction of its absolute sum.
ROW_SUM_RTOL = 1e-8


def _is_networkx_graph(G: object) -> bool:
    # A networkx graph can only exist once networkx is imported; never import it ourselves.
    nx = sys.modules.get("networkx")
    return nx is not None and isinstance(G, nx.Graph)


def _is_sparse(G: object) -> bool:
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and sparse.issparse(G)


def _check_weights(w: np.ndarray, name: str, edges: Optional[Tuple[np.ndarray, np.ndarray]]) -> None:
    bad = ~np.isfinite(w) | (w < 0)
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        where = f" on edge ({edges[0][k]}, {edges[1][k]})" if edges is not None else ""
        kind = "non-finite" if not np.isfinite(w[k]) else "negative"
        raise ValueError(f"{name} has a {kind} weight {float(w[k])!r}{where}")


def _conductances(w: np.ndarray, invert: bool, name: str) -> np.ndarray:
    """The weights as conductances: as given, or their reciprocals when they are resistances."""
    if not invert:
        return w
    if (w == 0).any():
        raise ValueError(
            f"{name} has a weight of 0, a resistance of 0 (a short circuit) with invert_weight=True; "
            "merge its endpoints instead"
        )
    return 1.0 / w


def _from_edges(n: int, rows: np.ndarray, cols: np.ndarray, w: np.ndarray) -> Any:
    """The Laplacian of the edges (rows[k], cols[k]) with weights w (finite, >= 0).

    Self-loops are dropped (they add nothing to x^T L x), parallel edges add their weights
    (conductances in parallel), zero weights leave no entry.
    """
    import scipy.sparse as sparse

    keep = (rows != cols) & (w != 0)
    lo = np.minimum(rows[keep], cols[keep])
    hi = np.maximum(rows[keep], cols[keep])
    upper = sparse.csr_matrix((w[keep], (lo, hi)), shape=(n, n), dtype=np.float64)
    upper.sum_duplicates()
    if not np.isfinite(upper.data).all():
        raise ValueError("the weights of parallel edges add up to a non-finite value")
    adjacency = (upper + upper.T).tocsr()
    degree = np.asarray(adjacency.sum(axis=1)).ravel()
    if not np.isfinite(degree).all():
        raise ValueError("the weights at a vertex add up to a non-finite degree")
    L = (sparse.diags(degree, format="csr") - adjacency).tocsr()
    L.eliminate_zeros()
    L.sum_duplicates()
    L.sort_indices()
    return L


def node_index(G: Any) -> "dict[Any, int]":
    """A networkx graph's nodes by their vertex numbers: vertex i is the i-th node of G.nodes."""
    return {node: i for i, node in enumerate(G.nodes)}


def _networkx_edges(G: Any, weight: Optional[str]) -> Tuple[int, np.ndarray, np.ndarray, np.ndarray]:
    if G.is_directed():
        raise ValueError(
            "G is a directed graph; its Laplacian needs an undirected one "
            "(pass G.to_undirected())"
        )
    index = node_index(G)
    m = G.number_of_edges()
    rows = np.fromiter((index[u] for u, _ in G.edges()), dtype=np.int64, count=m)
    cols = np.fromiter((index[v] for _, v in G.edges()), dtype=np.int64, count=m)
    if weight is None:
        return len(index), rows, cols, np.ones(m)
    values = [w for _, _, w in G.edges(data=weight, default=1.0)]
    try:
        w = np.array(values, dtype=np.float64)
    except (TypeError, ValueError):
        k = next(i for i, v in enumerate(values) if not _is_number(v))
        raise TypeError(
            f"G: edge ({rows[k]}, {cols[k]}) has a {weight!r} attribute that is not a number: "
            f"{values[k]!r}"
        ) from None
    if w.shape != (m,):
        raise TypeError(f"G: the {weight!r} edge attributes must be numbers")
    _check_weights(w, "G", (rows, cols))
    return len(index), rows, cols, w


def _is_number(value: object) -> bool:
    try:
        float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return False
    return True


def _canonical_csr(M: Any, name: str) -> Any:
    import scipy.sparse as sparse

    shape = M.shape
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"{name} must be square, got shape {tuple(shape)}")
    if M.dtype.kind == "c":
        raise TypeError(f"{name} must be real, got dtype {M.dtype} (expected {REAL_DTYPES} or bool)")
    if M.dtype.kind not in "fiub":
        raise TypeError(f"{name} must have a real numeric dtype, got {M.dtype} (expected {REAL_DTYPES} or bool)")
    csr = sparse.csr_matrix(M, dtype=np.float64, copy=True)
    csr.sum_duplicates()
    csr.sort_indices()
    if not np.isfinite(csr.data).all():
        raise ValueError(f"{name} contains non-finite values")
    return csr


def _check_symmetric(csr: Any, name: str) -> None:
    import scipy.sparse as sparse

    transposed = csr.T.tocsr()
    gap = abs(csr - transposed) - SYMMETRY_RTOL * (abs(csr) + abs(transposed))
    gap = sparse.coo_matrix(gap)
    bad = gap.data > 0
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        i, j = int(gap.row[k]), int(gap.col[k])
        raise ValueError(
            f"{name} is not symmetric: {name}[{i}, {j}] = {float(csr[i, j])!r} but "
            f"{name}[{j}, {i}] = {float(csr[j, i])!r}"
        )


def _upper_edges(csr: Any) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Rows, columns and values of the strictly upper triangle of a canonical CSR matrix."""
    n = csr.shape[0]
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(csr.indptr))
    cols = csr.indices.astype(np.int64)
    upper = cols > rows
    return rows[upper], cols[upper], csr.data[upper]


def _sparse_adjacency(G: Any, weight: Optional[str], invert: bool) -> Any:
    pattern = G.dtype.kind == "b" or weight is None
    csr = _canonical_csr(G, "G")
    if pattern:
        csr.data = (csr.data != 0).astype(np.float64)
    _check_weights(csr.data, "G", None)
    _check_symmetric(csr, "G")
    csr.eliminate_zeros()
    csr.data = _conductances(csr.data, invert, "G")
    # Symmetric up to rounding: use the mean of the two triangles.
    rows, cols, w = _upper_edges((csr + csr.T).tocsr())
    return _from_edges(csr.shape[0], rows, cols, 0.5 * w)


def _edge_list(G: Any, weight: Any, n: Optional[int], invert: bool) -> Any:
    try:
        edges = np.asarray(G)
    except Exception as exc:
        raise TypeError(f"G must be a graph, a sparse adjacency matrix or an edge list: {exc}") from None
    if edges.size == 0:
        edges = edges.reshape(0, 2).astype(np.int64)
    if edges.dtype.kind not in "iu":
        raise TypeError(
            f"G must be a networkx graph, a scipy.sparse adjacency matrix or an (m, 2) integer "
            f"array of edges, got {describe(G)} of dtype {edges.dtype}"
        )
    if edges.ndim != 2 or edges.shape[1] != 2:
        raise ValueError(
            f"an edge list must have shape (m, 2), got {edges.shape} (pass a dense adjacency "
            "matrix as scipy.sparse.csr_matrix(A))"
        )
    m = edges.shape[0]
    too_big = edges.dtype.kind == "u" and m and int(edges.max()) > np.iinfo(np.int64).max
    if m and (too_big or edges.min() < 0):
        bad = (edges > np.iinfo(np.int64).max) if too_big else (edges < 0)
        k = int(np.flatnonzero(bad.any(axis=1))[0])
        raise ValueError(f"edge {k} has an endpoint out of range: {tuple(int(v) for v in edges[k])}")
    edges = edges.astype(np.int64)
    top = int(edges.max()) + 1 if m else 0
    if n is None:
        n = top
    else:
        n = as_integer(n, "n")
        if n < 0:
            raise ValueError(f"n must be >= 0, got {n}")
        if top > n:
            k = int(np.flatnonzero((edges >= n).any(axis=1))[0])
            raise ValueError(
                f"edge {k} has an endpoint out of range for n = {n}: "
                f"{tuple(int(v) for v in edges[k])}"
            )
    if weight is None or isinstance(weight, str):
        w = np.ones(m)
    else:
        w = np.asarray(weight)
        if w.dtype.kind not in "fiub":
            raise TypeError(
                f"weight must be a name or an array of {m} numbers, got dtype {w.dtype} (expected {REAL_DTYPES})"
            )
        if w.shape != (m,):
            raise ValueError(f"weight must have shape ({m},) to match the edges, got {w.shape}")
        w = w.astype(np.float64)
    _check_weights(w, "weight", (edges[:, 0], edges[:, 1]))
    return _from_edges(n, edges[:, 0], edges[:, 1], _conductances(w, invert, "weight"))


def laplacian(G: Any, weight: Any = "weight", *, n: Optional[int] = None, invert_weight: bool = False) -> Any:
    """The Laplacian L = D - W of an undirected weighted graph, as a ``scipy.sparse.csr_matrix``.

    G can be:

    - a networkx graph (undirected; a multigraph's parallel edges add up): vertex i of L
      is the i-th node of ``G.nodes``; ``weight`` names the edge attribute holding the
      weight (a missing attribute counts as 1), or is None for unit weights;
    - a scipy.sparse adjacency matrix, symmetric with non-negative entries; a boolean
      matrix (a pattern), or ``weight=None``, gives unit weights to its nonzeros;
    - an edge list: an (m, 2) integer array of vertex pairs, with ``weight`` an array of m
      weights (unit weights when it is a name or None) and ``n`` the number of vertices
      (default: the largest endpoint plus one).

    Weights are conductances by default, as in ``networkx.laplacian_matrix`` (whose
    ``weight`` this mirrors, default ``"weight"``): a larger weight is a stronger connection.
    With ``invert_weight=True`` they are resistances (lengths, distances) and their
    reciprocals are used, as networkx's ``resistance_distance`` does; an edge of weight 0
    is then refused (a sparse adjacency matrix's explicit zeros are no edges). Self-loops are
    ignored, parallel (duplicate) edges add their weights, and edges of weight zero leave
    no entry. L has sorted indices, no explicit zeros, and an empty row for an isolated
    vertex.

    Raises:
        TypeError: G is none of the above, or weights are not numbers.
        ValueError: a negative or non-finite weight, an asymmetric or non-square adjacency
            matrix, a directed networkx graph, an edge list that is not (m, 2) or has an
            endpoint outside [0, n).
    """
    invert = bool(invert_weight)
    if _is_networkx_graph(G):
        count, rows, cols, w = _networkx_edges(G, weight)
        _check_n(n, count)
        return _from_edges(count, rows, cols, _conductances(w, invert, "G"))
    if _is_sparse(G):
        L = _sparse_adjacency(G, weight, invert)
        _check_n(n, L.shape[0])
        return L
    return _edge_list(G, weight, n, invert)


def _check_n(n: Optional[int], actual: int) -> None:
    if n is not None and n != actual:
        raise ValueError(f"n = {n} does not match the graph's {actual} vertices")


@dataclass
class GraphLaplacian:
    """A checked graph Laplacian with its connected components."""

    L: Any
    n_components: int
    labels: np.ndarray

    @property
    def n(self) -> int:
        return int(self.L.shape[0])

    def upper_edges(self) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The edges (i < j, row-major order of the upper triangle) and their weights."""
        rows, cols, values = _upper_edges(self.L)
        return rows, cols, -values

    def project(self, X: np.ndarray) -> np.ndarray:
        """Remove each component's mean from every column of X (in place) and return it."""
        if self.n == 0:
            return X
        counts = np.bincount(self.labels, minlength=self.n_components).astype(np.float64)
        flat = X.reshape(self.n, -1)
        for j in range(flat.shape[1]):
            means = np.bincount(self.labels, weights=flat[:, j], minlength=self.n_components)
            flat[:, j] -= (means / counts)[self.labels]
        return X


def _checked_laplacian(L: Any) -> Any:
    """Rebuild a sparse Laplacian given by the caller from its checked off-diagonal entries."""
    csr = _canonical_csr(L, "L")
    _check_symmetric(csr, "L")
    n = csr.shape[0]
    rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(csr.indptr))
    cols = csr.indices.astype(np.int64)
    off = rows != cols
    positive = off & (csr.data > 0)
    if positive.any():
        k = int(np.flatnonzero(positive)[0])
        raise ValueError(
            f"L has both negative and positive off-diagonal entries (L[{rows[k]}, {cols[k]}] = "
            f"{float(csr.data[k])!r}): it is neither a Laplacian nor an adjacency matrix"
        )
    row_sum = np.bincount(rows, weights=csr.data, minlength=n)
    scale = np.bincount(rows, weights=np.abs(csr.data), minlength=n)
    bad = np.abs(row_sum) > ROW_SUM_RTOL * scale
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise ValueError(
            f"L is not a graph Laplacian: row {i} sums to {float(row_sum[i])!r}, not zero "
            "(graph functions need a Laplacian; vorlane.solve takes SDDM matrices)"
        )
    upper = off & (cols > rows)
    return _from_edges(n, rows[upper], cols[upper], -csr.data[upper])


def as_graph_laplacian(G_or_L: Any, weight: Any = "weight", invert_weight: bool = False) -> GraphLaplacian:
    """Check a graph or a Laplacian and return it as a GraphLaplacian.

    A sparse matrix with a negative off-diagonal entry is read as a Laplacian, any other
    sparse matrix as an adjacency matrix; everything else goes through :func:`laplacian`
    with weight and invert_weight. A Laplacian's weights are its own: other weight options
    are refused for it.
    """
    from scipy.sparse.csgraph import connected_components

    laplacian_given = isinstance(G_or_L, GraphLaplacian) or (
        _is_sparse(G_or_L) and G_or_L.dtype.kind in "fiu" and _has_negative_off_diagonal(G_or_L)
    )
    if laplacian_given and (not isinstance(weight, str) or weight != "weight" or invert_weight):
        raise ValueError(
            "weight and invert_weight apply to graphs and adjacency matrices; a Laplacian's "
            "entries are its weights"
        )
    if isinstance(G_or_L, GraphLaplacian):
        return G_or_L
    if laplacian_given:
        L = _checked_laplacian(G_or_L)
    else:
        L = laplacian(G_or_L, weight, invert_weight=invert_weight)
    count, labels = connected_components(L, directed=False)
    return GraphLaplacian(L, int(count), labels.astype(np.int64))


def _has_negative_off_diagonal(M: Any) -> bool:
    coo = M.tocoo()
    return bool(((coo.data < 0) & (coo.row != coo.col)).any())
