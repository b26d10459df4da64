"""Checking what callers pass: matrices, right-hand sides and options."""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any, Optional, Tuple, Union

import numpy as np

from . import _engine
from ._limits import DEFAULT_MAXITER
from ._resources import require_solve_memory

METHODS = ("auto", "factor", "jacobi")
# What the conversions accept, said in every refusal of another dtype.
REAL_DTYPES = "float64, float32, float16 or an integer dtype"
# The engine's renumbering modes, by the values of the renumber option.
_RENUMBER_MODES = {False: 0, "auto": 1, True: 2}
# How a factor's applies store it, by the engine's number.
PRECISIONS = {"double": 0, "mixed": 1}


def describe(obj: object) -> str:
    cls = type(obj)
    return cls.__name__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__name__}"


def _is_sparse(obj: object) -> bool:
    import scipy.sparse

    return bool(scipy.sparse.issparse(obj))


def _unit_roundoff(dtype: np.dtype) -> float:
    """The rounding of the dtype the matrix arrived in; 0 for input converted exactly."""
    if dtype.kind == "f" and dtype.itemsize < 8:
        return float(np.finfo(dtype).eps) / 2
    return 0.0


def check_csr(
    indptr: Any, indices: Any, data: Any, n: int, roundoff: float = 0.0, values: bool = True
) -> Any:
    """An engine System from CSR arrays: structure and values checked, duplicates merged.

    Only the entries indptr declares are converted, and only once the memory for them is
    known to be there: arrays that hold far more (broadcast views, say) or declarations
    beyond what the machine holds never cost a copy in proportion to them.
    """

    return _engine.check_matrix(*_engine_arrays(indptr, indices, data, n), n, roundoff, values)


def _engine_arrays(indptr: Any, indices: Any, data: Any, n: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The CSR arrays as the engine reads them: contiguous int32 or int64 indices and float64
    values, cut to the entries indptr declares."""

    def index_array(array: Any) -> np.ndarray:
        array = np.asarray(array)
        if array.dtype not in (np.int32, np.int64):
            array = array.astype(np.int64)
        return np.ascontiguousarray(array)

    indices, data = declared_entries(indptr, indices, data, n)
    return index_array(indptr), index_array(indices), np.ascontiguousarray(data, dtype=np.float64)


def declared_entries(indptr: Any, indices: Any, data: Any, n: int) -> Tuple[Any, Any]:
    """indices and data cut to the entries indptr declares, once those fit in memory.

    Structural faults (a wrong indptr length, fewer entries held than declared) are left to
    the engine, which reports them; the arrays then pass unchanged.
    """
    if len(indptr) != n + 1 or n < 0:
        return indices, data
    declared = int(indptr[-1])
    if not 0 <= declared <= min(len(indices), len(data)):
        return indices, data
    require_solve_memory(n, declared, "A")
    return indices[:declared], data[:declared]


def _check_sparse_real_square(A: object) -> None:
    if not _is_sparse(A):
        hint = "; convert a dense one with scipy.sparse.csr_array(A)" if hasattr(A, "__array__") else ""
        raise TypeError(f"A must be a scipy.sparse matrix or array (any format), got {describe(A)}{hint}")
    shape = A.shape  # type: ignore[attr-defined]
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"A must be square, got shape {tuple(shape)}")
    dtype = A.dtype  # type: ignore[attr-defined]
    if dtype.kind == "c":
        raise TypeError(f"A must be real, got dtype {dtype} (expected {REAL_DTYPES})")
    if dtype.kind not in "fiu":
        raise TypeError(f"A must have a real numeric dtype, got {dtype} (expected {REAL_DTYPES})")


def check_matrix(A: object, values: bool = True) -> Any:
    """Check A (a real, square scipy.sparse matrix) and return the engine's System for it.

    Raises TypeError for a non-sparse or non-real A and ValueError for a matrix that is not
    square, not finite, not symmetric, has a positive off-diagonal entry or is not
    diagonally dominant (the last three only when values is true).
    """
    _check_sparse_real_square(A)
    shape, dtype = A.shape, A.dtype  # type: ignore[attr-defined]
    csr = A.tocsr()  # type: ignore[attr-defined]
    return check_csr(csr.indptr, csr.indices, csr.data, int(shape[0]), _unit_roundoff(dtype), values)


def refill_matrix(system: Any, A: object, values: bool = True) -> None:
    """Give an engine System the values of A, which must have its sparsity pattern; checked
    as check_matrix() checks (ValueError for another pattern or for values refused)."""
    _check_sparse_real_square(A)
    csr = A.tocsr()  # type: ignore[attr-defined]
    n = int(A.shape[0])  # type: ignore[attr-defined]
    arrays = _engine_arrays(csr.indptr, csr.indices, csr.data, n)
    system.refill(*arrays, n, _unit_roundoff(A.dtype), values)  # type: ignore[attr-defined]


def as_block(value: object, name: str, n: int) -> Tuple[np.ndarray, Tuple[int, ...]]:
    """A fresh C-contiguous float64 (n, k) array from an array-like of shape (n,) or (n, k),
    with the shape it came in."""
    if value is not None and _is_sparse(value):
        raise TypeError(f"{name} must be a dense array, got a sparse {describe(value)}; use {name}.toarray()")
    try:
        array = np.asarray(value)
    except Exception as exc:  # ragged lists and the like
        raise TypeError(f"{name} must be a real array: {exc}") from None
    if array.dtype.kind == "c":
        raise TypeError(f"{name} must be real, got dtype {array.dtype} (expected {REAL_DTYPES})")
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must be a real numeric array, got dtype {array.dtype} (expected {REAL_DTYPES})")
    if array.ndim not in (1, 2) or array.shape[0] != n:
        raise ValueError(f"{name} must have shape ({n},) or ({n}, k), got {array.shape}")
    columns = 1 if array.ndim == 1 else array.shape[1]
    block = np.array(array, dtype=np.float64, order="C", copy=True).reshape(n, columns)
    if not np.isfinite(block).all():
        raise ValueError(f"{name} contains non-finite values")
    return block, array.shape


def check_positive(value: object, name: str) -> float:
    """A positive finite real number (strings and booleans are refused)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {describe(value)}")
    number = float(value)
    if not (number > 0 and math.isfinite(number)):
        raise ValueError(f"{name} must be positive and finite, got {value!r}")
    return number


def check_tol(value: object, name: str = "tol") -> float:
    return check_positive(value, name)


def check_nonnegative(value: object, name: str) -> float:
    """A finite real number >= 0 (strings and booleans are refused)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {describe(value)}")
    number = float(value)
    if not (number >= 0 and math.isfinite(number)):
        raise ValueError(f"{name} must be >= 0 and finite, got {value!r}")
    return number


def as_integer(value: object, name: str, expected: str = "an integer") -> int:
    """value as an int; TypeError naming the argument when it is not an integer."""
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be {expected}, got {describe(value)}") from None


def check_maxiter(maxiter: object) -> int:
    if maxiter is None:
        return DEFAULT_MAXITER
    count = as_integer(maxiter, "maxiter", "an integer or None")
    if count < 0:
        raise ValueError(f"maxiter must be >= 0, got {count}")
    return count


def check_seed(seed: object) -> int:
    value = as_integer(seed, "seed")
    if not 0 <= value < 2**64:
        raise ValueError(f"seed must be between 0 and 2**64 - 1, got {value}")
    return value


def check_split(split: object) -> Optional[int]:
    if split is None:
        return None
    value = as_integer(split, "split", "an integer or None")
    if not 1 <= value < 2**32:
        raise ValueError(f"split must be >= 1 and below 2**32, got {value}")
    return value


def check_method(method: object) -> str:
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    return method


def check_renumber(renumber: object) -> Union[bool, str]:
    """The renumber option: "auto", True or False (NumPy booleans too)."""
    if isinstance(renumber, (bool, np.bool_)):
        return bool(renumber)
    if isinstance(renumber, str) and renumber == "auto":
        return renumber
    raise ValueError(f"renumber must be 'auto', True or False, got {renumber!r}")


def check_precision(precision: object) -> str:
    """The precision option: "double" or "mixed"."""
    if not isinstance(precision, str) or precision not in PRECISIONS:
        raise ValueError(f"precision must be one of {', '.join(map(repr, PRECISIONS))}, got {precision!r}")
    return precision


def renumber_mode(renumber: Union[bool, str]) -> int:
    """The engine's number for a checked renumber option."""
    return _RENUMBER_MODES[renumber]


def check_consistent(system: Any, B: np.ndarray, tol: float) -> None:
    """Raise ValueError when a column of the (n, k) block B has a part in the null space of
    A whose relative size reaches tol: no x can then bring that column's residual below tol."""
    if not system.singular or B.size == 0:
        return
    projected = np.array(B, dtype=np.float64, order="C", copy=True)
    system.project(projected, projected.shape[1])
    norms = np.linalg.norm(B, axis=0)
    gaps = np.linalg.norm(B - projected, axis=0)
    for j in range(B.shape[1]):
        if norms[j] > 0 and gaps[j] / norms[j] >= tol:
            raise ValueError(inconsistent_message("b" if B.shape[1] == 1 else f"b[:, {j}]", gaps[j] / norms[j]))


def inconsistent_message(where: str, size: float) -> str:
    return (
        f"{where} is not in the range of A: A is singular (a Laplacian, or a connected "
        "component without diagonal excess) and the part of b in its null space has "
        f"relative size {size:.3g}, not below tol; b must sum to zero over each such component"
    )
