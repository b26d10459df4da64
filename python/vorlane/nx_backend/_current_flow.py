"""Current-flow closeness (information) and betweenness centralities."""

from __future__ import annotations

from typing import Any, Dict, Iterator, Optional, Tuple

import numpy as np

from ._graph import VorlaneGraph
from ._laplacian import is_connected
from ._resistance import _solver
from ._solves import blocks

SOLVERS = ("full", "lu", "cg")


def _check(G: VorlaneGraph, solver: Any) -> None:
    import networkx as nx

    if solver not in SOLVERS:
        raise nx.NetworkXError(f"unknown solver {solver!r}: expected one of {SOLVERS}")
    if not is_connected(G):
        raise nx.NetworkXError("Graph not connected.")


def current_flow_closeness_centrality(
    G: VorlaneGraph, weight: Optional[str] = None, dtype: Any = float, solver: str = "lu"
) -> Dict[Any, float]:
    _check(G, solver)
    # The sum of v's resistances to all nodes: n L^+_vv + trace(L^+).
    pinv = _solver(G, G.edge_weights(weight), "current_flow_closeness_centrality")
    diagonal, _ = pinv.pinv_diagonal()
    total = G.n * diagonal + diagonal.sum()
    return {node: 1.0 / float(value) for node, value in zip(G.nodes, total)}


def _flow_rows(
    G: VorlaneGraph, weight: Optional[str], name: str
) -> Iterator[Tuple[slice, np.ndarray, np.ndarray, np.ndarray]]:
    """For blocks of edges (u, v): the block, u, v and the columns c L^+ (e_u - e_v).

    Column j holds, at every node i, the current through edge j when a unit current enters
    at i and leaves at a fixed ground: up to a constant per column, which neither the
    ordering of a column nor its weighted sums below see.
    """
    c = G.edge_weights(weight)
    solver = _solver(G, c, name)
    # Each edge as (lower, higher) node number, as networkx orients the flow matrix.
    u = np.minimum(G.heads, G.tails)
    v = np.maximum(G.heads, G.tails)
    for block in blocks(G.m):
        columns = np.arange(block.stop - block.start)
        B = np.zeros((G.n, columns.size))
        B[u[block], columns] = 1.0
        B[v[block], columns] = -1.0
        yield block, u[block], v[block], c[block] * solver.solve(B)


def _descending_ranks(F: np.ndarray) -> np.ndarray:
    """pos[i, j]: the place of F[i, j] in column j sorted in decreasing order."""
    order = np.argsort(-F, axis=0, kind="stable")
    ranks = np.empty_like(order)
    np.put_along_axis(ranks, order, np.arange(F.shape[0])[:, None], axis=0)
    return ranks


def current_flow_betweenness_centrality(
    G: VorlaneGraph, normalized: bool = True, weight: Optional[str] = None,
    dtype: Any = float, solver: str = "full",
) -> Dict[Any, float]:
    _check(G, solver)
    n = G.n
    betweenness = np.zeros(n)
    index = np.arange(n, dtype=np.float64)[:, None]
    for _, u, v, F in _flow_rows(G, weight, "current_flow_betweenness_centrality"):
        pos = _descending_ranks(F)
        # Brandes and Fleischer's accumulation: summed over the edges at a node, the terms
        # in the node numbers cancel but for the node's own, removed below.
        np.add.at(betweenness, u, ((index - pos) * F).sum(axis=0))
        np.add.at(betweenness, v, ((n - 1 - index - pos) * F).sum(axis=0))
    scale = (n - 1.0) * (n - 2.0) if normalized else 2.0
    values = (betweenness - np.arange(n)) * 2.0 / scale
    return {node: float(value) for node, value in zip(G.nodes, values)}


def edge_current_flow_betweenness_centrality(
    G: VorlaneGraph, normalized: bool = True, weight: Optional[str] = None,
    dtype: Any = float, solver: str = "full",
) -> Dict[Tuple[Any, Any], float]:
    _check(G, solver)
    n = G.n
    scale = (n - 1.0) * (n - 2.0) if normalized else 2.0
    values = np.empty(G.m)
    for block, _, _, F in _flow_rows(G, weight, "edge_current_flow_betweenness_centrality"):
        # sum over node pairs of |F[a] - F[b]|, from each entry's place in the sorted column.
        values[block] = ((n - 1 - 2 * _descending_ranks(F)) * F).sum(axis=0) / scale
    nodes = G.nodes
    return {
        (nodes[a], nodes[b]): float(value) for a, b, value in zip(G.heads, G.tails, values)
    }


def approximate_current_flow_betweenness_centrality(
    G: VorlaneGraph, normalized: bool = True, weight: Optional[str] = None,
    dtype: Any = float, solver: str = "full", epsilon: float = 0.5, kmax: int = 10000,
    seed: Any = None, *, sample_weight: float = 1,
) -> Dict[Any, float]:
    import networkx as nx

    _check(G, solver)
    n = G.n
    if n < 3:
        return dict.fromkeys(G.nodes, 0.0)
    if epsilon <= 0:
        raise nx.NetworkXError(f"Epsilon must be positive. Got {epsilon=}.")
    if sample_weight <= 0:
        raise nx.NetworkXError(f"Sample weight must be positive. Got {sample_weight=}.")
    nb = (n - 1.0) * (n - 2.0)
    cstar = n * (n - 1) / nb
    k = int(sample_weight * np.ceil((cstar / epsilon) ** 2 * np.log(n)))
    if k > kmax:
        raise nx.NetworkXError(
            f"Number random pairs k>kmax ({k}>{kmax}) ", "Increase kmax or epsilon"
        )
    rng = _as_random(seed)
    pairs = np.array([rng.sample(range(n), 2) for _ in range(k)], dtype=np.int64)
    c = G.edge_weights(weight)
    pinv = _solver(G, c, "approximate_current_flow_betweenness_centrality")
    a, b = G.heads, G.tails
    betweenness = np.zeros(n)
    for block in blocks(k):
        s, t = pairs[block, 0], pairs[block, 1]
        columns = np.arange(s.size)
        B = np.zeros((n, s.size))
        B[s, columns] = 1.0
        B[t, columns] = -1.0
        P = pinv.solve(B)
        # Each edge's current in each sampled flow, credited to its endpoints that are
        # neither the source nor the sink of that flow.
        flow = c[:, None] * np.abs(P[a] - P[b])
        for end in (a, b):
            counted = (end[:, None] != s[None, :]) & (end[:, None] != t[None, :])
            np.add.at(betweenness, end, (flow * counted).sum(axis=1))
    factor = 1.0 if normalized else nb / 2.0
    values = betweenness * (cstar / (2 * k)) * factor
    return {node: float(value) for node, value in zip(G.nodes, values)}


def _as_random(seed: Any):
    """networkx's random.Random for ``seed`` (it arrives converted when networkx dispatches)."""
    from networkx.utils import create_py_random_state

    return create_py_random_state(seed)
