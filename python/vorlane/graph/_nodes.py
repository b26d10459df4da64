"""networkx node labels in and out: pairs given by label, results keyed by node."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ._input import _is_networkx_graph, node_index


def check_nodes(G: Any, nodes: object) -> None:
    if not isinstance(nodes, (bool, np.bool_)):
        raise TypeError(f"nodes must be True or False, got {type(nodes).__name__}")
    if nodes and not _is_networkx_graph(G):
        raise ValueError("nodes=True keys results by node label, so it needs a networkx graph")


def _is_integer_pairs(pairs: Any) -> bool:
    """Whether pairs read as vertex numbers: an (m, 2) or (2,) integer array, or empty."""
    try:
        array = np.asarray(pairs)
    except (TypeError, ValueError):
        return False
    if array.size == 0:
        return True
    shaped = array.shape == (2,) or (array.ndim == 2 and array.shape[1] == 2)
    return array.dtype.kind in "iu" and shaped


def label_pairs(G: Any, pairs: Any, nodes: bool) -> Optional[Tuple[List[Tuple[Any, Any]], np.ndarray]]:
    """For pairs of a networkx graph's node labels, the pairs and their (m, 2) vertex numbers;
    None when the pairs are vertex numbers (not a networkx graph, or integers without nodes)."""
    if not _is_networkx_graph(G) or (not nodes and _is_integer_pairs(pairs)):
        return None
    if len(pairs) == 2 and all(_is_node(G, item) for item in pairs):
        pairs = [tuple(pairs)]  # a single pair
    index = node_index(G)
    labelled: List[Tuple[Any, Any]] = []
    for k, pair in enumerate(pairs):
        try:
            u, v = pair
        except (TypeError, ValueError):
            raise ValueError(f"pair {k} is not a pair of nodes: {pair!r}") from None
        for node in (u, v):
            if not _is_node(G, node):
                raise ValueError(f"pair {k} has a node that is not in G: {node!r}")
        labelled.append((u, v))
    positions = np.array([[index[u], index[v]] for u, v in labelled], dtype=np.int64).reshape(-1, 2)
    return labelled, positions


def _is_node(G: Any, item: Any) -> bool:
    try:
        return item in G
    except TypeError:  # unhashable
        return False


def by_node(G: Any, edges: np.ndarray, values: np.ndarray) -> Dict[Tuple[Any, Any], float]:
    """{(u, v): value} for the vertex pairs in edges, by the networkx graph's node labels."""
    labels = list(G.nodes)
    return {(labels[i], labels[j]): value for (i, j), value in zip(edges.tolist(), values.tolist())}


def rows_by_node(G: Any, rows: np.ndarray) -> Dict[Any, Any]:
    """{node: rows[i]} for the networkx graph's nodes in vertex order."""
    return dict(zip(G.nodes, rows))
