"""The backend's graph: node order, edge endpoints and the weight arrays a call needs."""

from __future__ import annotations

import math
from typing import Any, Dict, List, Mapping, Optional

import numpy as np


class VorlaneGraph:
    """A networkx graph flattened to arrays.

    Node i is the i-th node of ``G.nodes``; edge k joins ``heads[k]`` and ``tails[k]`` as
    ``G.edges()`` yields it (each parallel edge of a multigraph, and each self-loop, once).
    ``weights`` maps an edge attribute name to its float64 values, missing attributes
    filled with the default networkx gave for the call.
    """

    __networkx_backend__ = "vorlane"

    def __init__(
        self,
        nodes: List[Any],
        heads: np.ndarray,
        tails: np.ndarray,
        weights: Dict[str, np.ndarray],
        *,
        directed: bool,
        multigraph: bool,
        graph_attrs: Optional[Dict[str, Any]] = None,
    ) -> None:
        self.nodes = nodes
        self.index = {node: i for i, node in enumerate(nodes)}
        self.heads = heads
        self.tails = tails
        self.weights = weights
        self.directed = directed
        self.multigraph = multigraph
        self.graph = dict(graph_attrs or {})

    def __len__(self) -> int:
        return len(self.nodes)

    def __contains__(self, node: object) -> bool:
        try:
            return node in self.index
        except TypeError:
            return False

    def __iter__(self):
        return iter(self.nodes)

    @property
    def n(self) -> int:
        """The number of nodes."""
        return len(self.nodes)

    @property
    def m(self) -> int:
        """The number of edges (parallel edges and self-loops each counted)."""
        return int(self.heads.size)

    def is_directed(self) -> bool:
        """Whether the graph came from a directed networkx graph."""
        return self.directed

    def is_multigraph(self) -> bool:
        """Whether the graph came from a networkx multigraph."""
        return self.multigraph

    def edge_weights(self, weight: Optional[str]) -> np.ndarray:
        """The weight of every edge: ones for ``weight=None``."""
        if weight is None:
            return np.ones(self.m)
        if weight not in self.weights:
            raise KeyError(f"the graph was converted without the edge attribute {weight!r}")
        return self.weights[weight]


def _as_weight(value: Any, attr: str, u: Any, v: Any) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(
            f"edge ({u!r}, {v!r}) has a {attr!r} attribute that is not a number: {value!r}"
        ) from None
    if math.isnan(number):
        raise ValueError(f"edge ({u!r}, {v!r}) has a {attr!r} attribute that is NaN")
    return number


def from_networkx(
    G: Any,
    edge_attrs: Optional[Mapping[str, Any]] = None,
    *,
    preserve_graph_attrs: bool = False,
) -> VorlaneGraph:
    """Flatten G, reading each attribute of ``edge_attrs`` (name -> default) as a number."""
    nodes = list(G.nodes)
    index = {node: i for i, node in enumerate(nodes)}
    edges = list(G.edges())
    m = len(edges)
    heads = np.fromiter((index[u] for u, _ in edges), dtype=np.int64, count=m)
    tails = np.fromiter((index[v] for _, v in edges), dtype=np.int64, count=m)
    weights = {}
    for attr, default in (edge_attrs or {}).items():
        values = np.empty(m)
        for k, (u, v, value) in enumerate(G.edges(data=attr, default=default)):
            values[k] = _as_weight(value, attr, u, v)
        weights[attr] = values
    return VorlaneGraph(
        nodes, heads, tails, weights,
        directed=G.is_directed(), multigraph=G.is_multigraph(),
        graph_attrs=G.graph if preserve_graph_attrs else None,
    )


def to_networkx(graph: VorlaneGraph) -> Any:
    import networkx as nx

    if graph.multigraph:
        G = nx.MultiDiGraph() if graph.directed else nx.MultiGraph()
    else:
        G = nx.DiGraph() if graph.directed else nx.Graph()
    G.graph.update(graph.graph)
    G.add_nodes_from(graph.nodes)
    for k in range(graph.m):
        data = {attr: float(values[k]) for attr, values in graph.weights.items()}
        G.add_edge(graph.nodes[graph.heads[k]], graph.nodes[graph.tails[k]], **data)
    return G
