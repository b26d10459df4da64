"""The networkx backend ``vorlane``: networkx's Laplacian-solve algorithms run on vorlane.

With vorlane installed, networkx finds the backend through the ``networkx.backends`` entry
point::

    nx.resistance_distance(G, u, v, backend="vorlane")
    nx.config.backend_priority.algos = ["vorlane"]   # or NETWORKX_BACKEND_PRIORITY=vorlane

Calls the backend does not take (see ``_dispatch``) go back to networkx when
``nx.config.fallback_to_nx`` is set or when the backend came from the priority list. The
solves' tolerance and the factorization's seed are ``nx.config.backends.vorlane.tol`` and
``.seed``.
"""

from __future__ import annotations

from typing import Any, Optional

from ._current_flow import (
    approximate_current_flow_betweenness_centrality,
    current_flow_betweenness_centrality,
    current_flow_closeness_centrality,
    edge_current_flow_betweenness_centrality,
)
from ._dispatch import make_can_run
from ._graph import VorlaneGraph, from_networkx, to_networkx
from ._info import FUNCTIONS
from ._resistance import effective_graph_resistance, kemeny_constant, resistance_distance
from ._fiedler import (
    algebraic_connectivity,
    fiedler_vector,
    spectral_bisection,
    spectral_ordering,
)


def _algorithm(f: Any) -> Any:
    """f as a method of BackendInterface, its docstring what networkx shows for it: which
    networkx function it stands for, how it computes and to what accuracy."""
    f.__doc__ = f"networkx's ``{f.__name__}``, run by the backend. " + FUNCTIONS[f.__name__]["additional_docs"]
    return staticmethod(f)


class BackendInterface:
    """The object networkx loads for the backend: conversions, can_run and the algorithms."""

    resistance_distance = _algorithm(resistance_distance)
    effective_graph_resistance = _algorithm(effective_graph_resistance)
    kemeny_constant = _algorithm(kemeny_constant)
    algebraic_connectivity = _algorithm(algebraic_connectivity)
    fiedler_vector = _algorithm(fiedler_vector)
    spectral_ordering = _algorithm(spectral_ordering)
    spectral_bisection = _algorithm(spectral_bisection)
    current_flow_closeness_centrality = _algorithm(current_flow_closeness_centrality)
    current_flow_betweenness_centrality = _algorithm(current_flow_betweenness_centrality)
    edge_current_flow_betweenness_centrality = _algorithm(edge_current_flow_betweenness_centrality)
    approximate_current_flow_betweenness_centrality = _algorithm(approximate_current_flow_betweenness_centrality)

    @staticmethod
    def convert_from_nx(
        G: Any,
        edge_attrs: Optional[dict] = None,
        node_attrs: Optional[dict] = None,
        preserve_edge_attrs: Any = False,
        preserve_node_attrs: Any = False,
        preserve_graph_attrs: Any = False,
        name: Optional[str] = None,
        graph_name: Optional[str] = None,
    ) -> VorlaneGraph:
        """networkx's graph G as the backend's arrays (a VorlaneGraph passes unchanged)."""
        if isinstance(G, VorlaneGraph):
            return G
        return from_networkx(G, edge_attrs, preserve_graph_attrs=bool(preserve_graph_attrs))

    @staticmethod
    def convert_to_nx(obj: Any, *, name: Optional[str] = None) -> Any:
        """A networkx graph for a VorlaneGraph; any other result passes unchanged."""
        return to_networkx(obj) if isinstance(obj, VorlaneGraph) else obj


IMPLEMENTED = {
    name: getattr(BackendInterface, name)
    for name in vars(BackendInterface)
    if not name.startswith("_") and name not in ("convert_from_nx", "convert_to_nx")
}
BackendInterface.can_run = staticmethod(make_can_run(IMPLEMENTED))  # type: ignore[attr-defined]
BackendInterface.should_run = staticmethod(BackendInterface.can_run)  # type: ignore[attr-defined]

__all__ = ["BackendInterface", "VorlaneGraph"]
