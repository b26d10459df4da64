"""Laplacians of the backend's graphs, and the connectivity questions networkx asks first."""

from __future__ import annotations

from typing import Optional, Tuple

import numpy as np

from ._graph import VorlaneGraph


def conductances(graph: VorlaneGraph, weight: Optional[str], invert_weight: bool) -> np.ndarray:
    """Edge conductances: the weights, or their reciprocals when networkx inverts them.

    A zero weight that is to be inverted raises ZeroDivisionError, as in networkx.
    """
    w = graph.edge_weights(weight)
    if not (invert_weight and weight is not None):
        return w
    zero = np.flatnonzero(w == 0)
    if zero.size:
        k = int(zero[0])
        u, v = graph.nodes[graph.heads[k]], graph.nodes[graph.tails[k]]
        raise ZeroDivisionError(f"edge ({u!r}, {v!r}) has weight 0, which cannot be inverted")
    return 1.0 / w


def laplacian(graph: VorlaneGraph, conductance: np.ndarray):
    """The CSR Laplacian of the graph with these (non-negative) edge conductances.

    Self-loops add nothing and parallel edges add up, as in ``nx.laplacian_matrix``.
    """
    from ..graph import laplacian as edge_list_laplacian

    edges = np.stack([graph.heads, graph.tails], axis=1)
    return edge_list_laplacian(edges, conductance, n=graph.n)


def components(graph: VorlaneGraph, conductance: Optional[np.ndarray] = None) -> Tuple[int, np.ndarray]:
    """Connected components: of the edges themselves, or of those with nonzero conductance.

    Components are numbered in the order of their first node, as networkx finds them.
    """
    import scipy.sparse as sparse
    from scipy.sparse.csgraph import connected_components

    keep = np.ones(graph.m, dtype=bool) if conductance is None else conductance != 0
    n = graph.n
    A = sparse.coo_matrix(
        (np.ones(int(keep.sum())), (graph.heads[keep], graph.tails[keep])), shape=(n, n)
    )
    count, labels = connected_components(A, directed=True, connection="weak")
    # Renumber by first appearance so that component order follows node order.
    first = np.full(count, n)
    np.minimum.at(first, labels, np.arange(n))
    rank = np.empty(count, dtype=np.int64)
    rank[np.argsort(first)] = np.arange(count)
    return int(count), rank[labels]


def is_connected(graph: VorlaneGraph, conductance: Optional[np.ndarray] = None) -> bool:
    return graph.n > 0 and components(graph, conductance)[0] == 1
