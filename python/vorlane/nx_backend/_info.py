"""What networkx learns about the backend before loading it (the backend_info entry point).

networkx calls ``get_info`` while it is itself being imported, so this module imports
nothing beyond the standard library.
"""

from __future__ import annotations

from typing import Any, Dict

# The solves' relative residual and the factorization's seed, settable per session through
# ``networkx.config.backends.vorlane``.
DEFAULT_TOL = 1e-10
DEFAULT_SEED = 0

_SOLVES = (
    "Every solve runs conjugate gradients preconditioned by one vorlane factorization, "
    "in blocks of up to 64 right-hand sides, to relative residual "
    "``nx.config.backends.vorlane.tol`` (default 1e-10)"
)
_ENERGY = (
    _SOLVES + "; values come from energy estimates, whose relative error is about the "
    "square of the solves'."
)
_EIGENPAIR = (
    "Computed by LOBPCG preconditioned with a vorlane factorization (densely up to "
    "64 nodes) to networkx's ``tol`` on the relative residual ||L x - sigma x||_1 / "
    "||L||_inf; ``method`` is checked but the backend's own iteration runs. A run that "
    "does not reach ``tol`` raises NetworkXError instead of looping."
)
_NEGATIVE = " Graphs with negative weights are left to networkx."
_TRACE = (
    "The diagonal of the Laplacian's pseudo-inverse comes from an exact sparse LDL^T "
    "factorization (minimum-degree order, the last dense block factored densely) and "
    "selected inversion: exact to rounding, in about the time of the factorization. Where "
    "the fill would cost more than one solve per node (graphs without small separators, "
    "such as large power-law graphs), it comes from one solve per node instead. "
)

FUNCTIONS: Dict[str, Dict[str, Any]] = {
    "resistance_distance": {
        "additional_docs": _ENERGY + " One node against all and all pairs cost one solve "
        "per node." + _NEGATIVE + " The input graph is never modified.",
    },
    "effective_graph_resistance": {
        "additional_docs": "n times the trace of the Laplacian's pseudo-inverse. " + _TRACE
        + _ENERGY + _NEGATIVE,
    },
    "kemeny_constant": {
        "additional_docs": "From the diagonal of the Laplacian's pseudo-inverse weighted "
        "by the degrees and one more solve, from the same factorization. " + _TRACE + _ENERGY,
    },
    "algebraic_connectivity": {"additional_docs": _EIGENPAIR},
    "fiedler_vector": {"additional_docs": _EIGENPAIR},
    "spectral_ordering": {"additional_docs": _EIGENPAIR},
    "spectral_bisection": {"additional_docs": _EIGENPAIR},
    "current_flow_closeness_centrality": {
        "additional_docs": "From the diagonal of the Laplacian's pseudo-inverse. " + _TRACE
        + _ENERGY + _NEGATIVE,
    },
    "current_flow_betweenness_centrality": {
        "additional_docs": "One solve per edge, then a sort of each edge's flows as "
        "networkx does. " + _SOLVES + "; absolute error about tol times the largest "
        "potential difference." + _NEGATIVE + " Multigraphs and self-loops are left to "
        "networkx.",
    },
    "edge_current_flow_betweenness_centrality": {
        "additional_docs": "One solve per edge. " + _SOLVES + ". Each edge is keyed as "
        "``G.edges()`` yields it." + _NEGATIVE + " Multigraphs and self-loops are left to "
        "networkx.",
    },
    "approximate_current_flow_betweenness_centrality": {
        "additional_docs": "As many random node pairs as networkx draws for ``epsilon``, "
        "one solve per pair. " + _SOLVES + "." + _NEGATIVE + " Multigraphs and self-loops are "
        "left to networkx.",
    },
}


def get_info() -> Dict[str, Any]:
    return {
        "backend_name": "vorlane",
        "project": "vorlane",
        "package": "vorlane",
        "url": "",
        "short_summary": "Laplacian solves by vorlane's randomized approximate Cholesky factor.",
        "functions": FUNCTIONS,
        "default_config": {"tol": DEFAULT_TOL, "seed": DEFAULT_SEED},
    }
