"""vorlane: randomized approximate Cholesky preconditioners for Laplacian and SDDM systems.

``solve(A, b)`` checks A, preconditions and iterates, and returns the solution with a
:class:`SolveInfo`; ``Preconditioner(A)`` builds a checked factor once, for ``M=`` of
``solve`` or of SciPy's solvers. ``factorize(A)`` is the low-level, unchecked entry.
"""

from __future__ import annotations

from _vorlane import Config, Factor, factorize, factorize_raw

from ._mmio import read_matrix_market
from ._operator import aslinearoperator
from ._solve import SolveInfo, solve
from . import graph  # noqa: E402  (vorlane.graph after a plain `import vorlane`)


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vorlane")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "0+unknown"


__version__ = _version()


def __getattr__(name: str) -> object:
    # Preconditioner is a SciPy LinearOperator: SciPy is imported only when it is used.
    if name == "Preconditioner":
        from ._preconditioner import Preconditioner

        return Preconditioner
    raise AttributeError(f"module 'vorlane' has no attribute {name!r}")

__all__ = [
    "Config",
    "Factor",
    "Preconditioner",
    "SolveInfo",
    "__version__",
    "aslinearoperator",
    "factorize",
    "factorize_raw",
    "read_matrix_market",
    "solve",
]
