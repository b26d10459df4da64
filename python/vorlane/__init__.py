"""vorlane: randomized approximate Cholesky preconditioners for Laplacian and SDDM systems.

``factorize(A)`` builds an approximate LDL^T factor of a sparse symmetric Laplacian or
SDDM matrix; the factor can be passed as ``M=factor`` to ``scipy.sparse.linalg.cg``.
``solve(A, b)`` does both steps and returns the solution with a :class:`SolveInfo`.
"""

from __future__ import annotations

from _vorlane import Config, Factor, factorize, factorize_raw

from ._mmio import read_matrix_market
from ._operator import aslinearoperator
from ._solve import SolveInfo, solve


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vorlane")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "0+unknown"


__version__ = _version()

__all__ = [
    "Config",
    "Factor",
    "SolveInfo",
    "__version__",
    "aslinearoperator",
    "factorize",
    "factorize_raw",
    "read_matrix_market",
    "solve",
]
