"""can_run: which calls the backend takes, judged from the arguments before conversion.

The backend declines (and networkx runs the call itself) where networkx's answer is not a
Laplacian solve: negative conductances, whose Laplacian is indefinite; current-flow
betweenness on multigraphs or graphs with self-loops, where networkx reads one parallel
edge's weight and turns a self-loop into a current source; current-flow closeness on a
single node, where networkx divides by zero.
"""

from __future__ import annotations

import inspect
from typing import Any, Callable, Dict, Optional, Union


from ._graph import VorlaneGraph

_BETWEENNESS = {
    "current_flow_betweenness_centrality",
    "edge_current_flow_betweenness_centrality",
    "approximate_current_flow_betweenness_centrality",
}
# Functions whose weights are conductances (or resistances) that must not be negative.
_SIGNED = _BETWEENNESS | {
    "resistance_distance",
    "effective_graph_resistance",
    "current_flow_closeness_centrality",
}


def _has_negative_weight(G: Any, weight: Optional[str]) -> Union[bool, str]:
    if weight is None:
        return False
    if isinstance(G, VorlaneGraph):
        return bool((G.edge_weights(weight) < 0).any())
    try:
        return any(w < 0 for _, _, w in G.edges(data=weight, default=1))
    except TypeError:
        return f"the {weight!r} edge attributes are not all numbers"


def _has_self_loop(G: Any) -> bool:
    if isinstance(G, VorlaneGraph):
        return bool((G.heads == G.tails).any())
    return any(u == v for u, v in G.edges())


def decline(name: str, bound: Dict[str, Any]) -> Optional[str]:
    """Why the backend leaves this call to networkx, or None when it takes it."""
    G = bound["G"]
    if name in _BETWEENNESS:
        if G.is_multigraph():
            return "current-flow betweenness of a multigraph is left to networkx"
        if _has_self_loop(G):
            return "current-flow betweenness of a graph with self-loops is left to networkx"
    if name == "current_flow_closeness_centrality" and len(G) < 2:
        return "current-flow closeness needs at least two nodes"
    if name in _SIGNED:
        negative = _has_negative_weight(G, bound.get("weight"))
        if isinstance(negative, str):
            return negative
        if negative:
            return "negative weights make the Laplacian indefinite"
    return None


def make_can_run(implementations: Dict[str, Callable]) -> Callable[[str, tuple, dict], Union[bool, str]]:
    signatures = {name: inspect.signature(f) for name, f in implementations.items()}

    def can_run(name: str, args: tuple, kwargs: dict) -> Union[bool, str]:
        """True when the backend runs networkx's function `name` on these arguments, else
        False or the reason it declines (networkx then falls back to its own)."""
        if name not in signatures:
            return False
        try:
            bound = signatures[name].bind(*args, **kwargs)
        except TypeError as exc:
            return f"arguments the backend does not take: {exc}"
        bound.apply_defaults()
        reason = decline(name, bound.arguments)
        return True if reason is None else reason

    return can_run
