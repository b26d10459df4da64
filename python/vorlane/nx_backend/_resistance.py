"""Resistance distances, effective graph resistance and Kemeny's constant."""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from ._graph import VorlaneGraph
from ._laplacian import conductances, is_connected, laplacian
from ._solves import ConnectedSolver, blocks, settings


def _disconnected_by_zero_weights(name: str) -> NotImplementedError:
    return NotImplementedError(
        f"{name}: the graph is connected only through edges of zero conductance, "
        "where its Laplacian has no meaningful pseudo-inverse"
    )


def _solver(graph: VorlaneGraph, conductance: np.ndarray, name: str) -> ConnectedSolver:
    if not is_connected(graph, conductance):
        raise _disconnected_by_zero_weights(name)
    tol, seed = settings()
    return ConnectedSolver(laplacian(graph, conductance), tol=tol, seed=seed)


def resistance_distance(
    G: VorlaneGraph,
    nodeA: Any = None,
    nodeB: Any = None,
    weight: Optional[str] = None,
    invert_weight: bool = True,
):
    import networkx as nx

    if len(G) == 0:
        raise nx.NetworkXError("Graph G must contain at least one node.")
    if not is_connected(G):
        raise nx.NetworkXError("Graph G must be strongly connected.")
    if nodeA is not None and nodeA not in G:
        raise nx.NetworkXError("Node A is not in graph G.")
    if nodeB is not None and nodeB not in G:
        raise nx.NetworkXError("Node B is not in graph G.")
    c = conductances(G, weight, invert_weight)
    if nodeA is not None and nodeB is not None:
        if G.index[nodeA] == G.index[nodeB]:
            return 0.0
        solver = _solver(G, c, "resistance_distance")
        return float(_from_node(solver, G.index[nodeA], np.array([G.index[nodeB]]))[0])
    solver = _solver(G, c, "resistance_distance")
    if nodeA is not None or nodeB is not None:
        source = G.index[nodeA if nodeA is not None else nodeB]
        r = _from_node(solver, source, np.arange(G.n))
        return {node: float(value) for node, value in zip(G.nodes, r)}
    R = _all_pairs(solver)
    return {
        u: {v: float(value) for v, value in zip(G.nodes, row)} for u, row in zip(G.nodes, R)
    }


def _from_node(solver: ConnectedSolver, source: int, targets: np.ndarray) -> np.ndarray:
    """Resistances between source and every target: one energy estimate per pair."""
    n = solver.n
    result = np.zeros(targets.size)
    others = np.flatnonzero(targets != source)
    for block in blocks(others.size):
        picked = others[block]
        columns = np.arange(picked.size)
        B = np.zeros((n, picked.size))
        B[source, :] = 1.0
        B[targets[picked], columns] = -1.0
        result[picked] = solver.energy(B, solver.solve(B))
    return result


def _all_pairs(solver: ConnectedSolver) -> np.ndarray:
    """Every resistance, from the whole pseudo-inverse (n solves; the answer is n^2 anyway)."""
    n = solver.n
    P = np.empty((n, n))
    diagonal = np.empty(n)
    for block in blocks(n):
        columns = np.arange(block.start, block.stop)
        B = solver.unit_sources(columns)
        X = solver.solve(B)
        P[:, block] = X
        diagonal[block] = solver.energy(B, X)
    P = 0.5 * (P + P.T)
    R = diagonal[:, None] + diagonal[None, :] - 2.0 * P
    np.fill_diagonal(R, 0.0)
    return R


def effective_graph_resistance(
    G: VorlaneGraph, weight: Optional[str] = None, invert_weight: bool = True
) -> float:
    import networkx as nx

    if len(G) == 0:
        raise nx.NetworkXError("Graph G must contain at least one node.")
    if not is_connected(G):
        return float("inf")
    c = conductances(G, weight, invert_weight)
    if G.n == 1:
        return 0.0
    solver = _solver(G, c, "effective_graph_resistance")
    return float(G.n * solver.pinv_diagonal()[0].sum())


def kemeny_constant(G: VorlaneGraph, *, weight: Optional[str] = None) -> float:
    import networkx as nx

    if len(G) == 0:
        raise nx.NetworkXError("Graph G must contain at least one node.")
    if not is_connected(G):
        raise nx.NetworkXError("Graph G must be connected.")
    w = G.edge_weights(weight)
    if (w < 0).any():
        raise nx.NetworkXError("The weights of graph G must be nonnegative.")
    # The random walk's degrees count a self-loop once, as the adjacency matrix holds it.
    loops = G.heads == G.tails
    degree = np.bincount(G.heads, weights=w, minlength=G.n)
    degree += np.bincount(G.tails[~loops], weights=w[~loops], minlength=G.n)
    if G.n == 1:
        return 0.0
    # K = sum_i d_i L^+_ii - d^T L^+ d / vol: the trace of the normalized Laplacian's
    # pseudo-inverse, (I - u u^T) D^1/2 L^+ D^1/2 (I - u u^T) with u = D^1/2 1 / sqrt(vol).
    solver = _solver(G, w, "kemeny_constant")
    volume = float(degree.sum())
    diagonal, x = solver.pinv_diagonal(also=degree)
    b = (degree - volume / G.n)[:, None]
    spread = float(solver.energy(b, x[:, None])[0])
    return float(degree @ diagonal - spread / volume)
