"""The shared test and benchmark matrices, built by the engine's C++ generators.

The C++ tests and benchmark use the same generators, so a recipe and a seed give the same
matrix in both languages. Private: for the tests, the benchmark and the demo.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence, Tuple

import numpy as np

from . import _engine

Arrays = Tuple[int, np.ndarray, np.ndarray, np.ndarray]


def arrays(recipe: str, dims: Sequence[int], seed: int = 0, **options: Any) -> Arrays:
    """(n, indptr, indices, data) of a generated matrix: uint32, uint32 and float64 arrays,
    rows sorted, every diagonal entry present. Options: weights, grounded, decades,
    avg_degree, connected, sddm=(seed, density, low, high), renumber=seed."""
    n, indptr, indices, data = _engine.problem(recipe, tuple(int(d) for d in dims), int(seed), **options)
    return (
        n,
        np.frombuffer(indptr, dtype=np.uint32),
        np.frombuffer(indices, dtype=np.uint32),
        np.frombuffer(data, dtype=np.float64),
    )


def matrix(recipe: str, dims: Sequence[int], seed: int = 0, **options: Any) -> Any:
    """The generated matrix as a ``scipy.sparse.csr_matrix``."""
    import scipy.sparse as sp

    n, indptr, indices, data = arrays(recipe, dims, seed, **options)
    return sp.csr_matrix((data, indices.astype(np.int32), indptr.astype(np.int64)), shape=(n, n))


# The benchmark recipes.


def grid(
    dims: Sequence[int], weights: str = "unit", grounded: bool = False, seed: int = 0, decades: float = 4.0,
    renumber: Optional[int] = None,
) -> Any:
    """Grid with the given sides; weights "unit" or "log-uniform" (10^u, u uniform in
    [-decades, decades]); grounded adds 1 to the diagonal of every boundary vertex;
    renumber numbers the vertices in a random order drawn from that seed."""
    return matrix("grid", dims, seed, weights=weights, grounded=grounded, decades=decades, renumber=renumber)


def power_law(n: int, avg_degree: float = 10.0, seed: int = 0) -> Any:
    """Chung-Lu power-law graph (expected degrees proportional to (i+1)^(-1/1.5), average
    avg_degree) plus a random Hamiltonian path; unit weights, one random vertex grounded."""
    return matrix("power_law", (n,), seed, avg_degree=avg_degree)


def expander(n: int, seed: int = 0) -> Any:
    """Three random perfect matchings plus the path 0-1-...-(n-1), unit weights, one random
    vertex grounded; n rounded up to even."""
    return matrix("expander", (n,), seed)
