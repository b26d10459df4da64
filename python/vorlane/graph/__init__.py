"""Graph computations built on vorlane's Laplacian solves.

``laplacian`` turns a networkx graph, a sparse adjacency matrix or an edge list into a
CSR Laplacian; ``effective_resistance`` and ``effective_resistances`` compute electrical
resistances (exactly for given pairs, by a sketch for every edge); ``fiedler_vector`` and
``spectral_embedding`` compute the smallest nontrivial Laplacian eigenvectors. Every
function that takes ``G_or_L`` accepts what ``laplacian`` accepts, or a sparse Laplacian.
"""

from ._input import laplacian
from ._resistance import effective_resistance, effective_resistances
from ._eigenvectors import fiedler_vector, spectral_embedding

__all__ = [
    "effective_resistance",
    "effective_resistances",
    "fiedler_vector",
    "laplacian",
    "spectral_embedding",
]
