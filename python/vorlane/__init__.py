"""vorlane: randomized approximate Cholesky preconditioners for Laplacian and SDDM systems.

``solve(A, b)`` checks A, preconditions and iterates, and returns the solution with a
:class:`SolveInfo`; ``Preconditioner(A)`` builds a checked factor once, for ``M=`` of
``solve`` or of SciPy's solvers; ``save``/``load`` keep one in a file. ``factorize(A)`` is
the low-level, unchecked entry.
"""

from _vorlane import Config, Factor, factorize, factorize_raw

from ._mmio import read_matrix_market
from ._order import Rounds, partition
from ._operator import aslinearoperator
from ._renumber import renumbering
from ._solve import SolveInfo, solve

# Imported on first use, so that `import vorlane` (and the command line) stays quick:
# Preconditioner is a SciPy LinearOperator, graph brings its own dependencies, and the
# version is read from the installed metadata.
_LAZY = {
    "Preconditioner": ("._preconditioner", "Preconditioner"),
    "save": ("._saved", "save"),
    "load": ("._saved", "load"),
    "graph": (".graph", None),
}


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vorlane")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "0+unknown"


def __getattr__(name: str) -> object:
    if name == "__version__":
        value: object = _version()
    elif name in _LAZY:
        from importlib import import_module

        module_name, attribute = _LAZY[name]
        module = import_module(module_name, __name__)
        value = module if attribute is None else getattr(module, attribute)
    else:
        raise AttributeError(f"module 'vorlane' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> "list[str]":
    return sorted(set(globals()) | set(__all__))


__all__ = [
    "Config",
    "Factor",
    "Preconditioner",
    "Rounds",
    "SolveInfo",
    "__version__",
    "aslinearoperator",
    "factorize",
    "factorize_raw",
    "graph",
    "load",
    "partition",
    "read_matrix_market",
    "renumbering",
    "save",
    "solve",
]
