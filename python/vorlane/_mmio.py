"""Reading matrices and vectors from files, writing solutions."""

from __future__ import annotations

import os
from typing import Any, Union

import numpy as np

from ._atomic import write_atomically
from ._declared import check_declared

PathLike = Union[str, "os.PathLike[str]"]


def _scipy_io() -> Any:
    try:
        import scipy.io
    except ImportError:
        raise ImportError(
            "reading Matrix Market files needs scipy; install it with: pip install scipy"
        ) from None
    return scipy.io


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def _check_readable(path: str) -> None:
    """Raise the OSError that opening path would raise (missing file, directory...)."""
    with open(path, "rb"):
        pass


def read_matrix_market(path: PathLike, *, allow_pattern: bool = False) -> Any:
    """Read a square real matrix from a Matrix Market file as a ``scipy.sparse.csr_matrix``.

    Coordinate and array formats are read, with real or integer fields and general or
    symmetric storage (symmetric storage is expanded into both triangles). Duplicate
    entries are summed and the values converted to float64. With ``allow_pattern``, a
    pattern file is read with every stored entry equal to 1.

    The header is checked before the body is read: a dimension beyond 2**32 - 2, more
    entries than the body can hold, or (for a coordinate file) more than 2**24 rows that no
    entry reaches, most of the matrix, are refused; so is a matrix whose solve cannot fit in
    the memory available.

    Raises:
        OSError: the file cannot be opened.
        ValueError: the file is not valid Matrix Market, its header promises more than its
            body holds, or it holds a matrix that is not square, is complex, skew-symmetric
            or a pattern without values.
        MemoryError: the declared matrix needs more memory than is available (the message
            says how much).
    """
    io = _scipy_io()
    import scipy.sparse as sparse

    path = os.fspath(path)
    _check_readable(path)
    try:
        rows, cols, entries, layout, field, symmetry = io.mminfo(path)
    except MemoryError:
        raise
    except Exception as exc:
        raise ValueError(f"{path}: not a Matrix Market file: {_one_line(exc)}") from None
    if field in ("complex",) or symmetry == "hermitian":
        raise ValueError(f"{path}: complex matrices are not supported")
    if field == "pattern" and not allow_pattern:
        raise ValueError(f"{path}: a pattern matrix has no values to solve with")
    if field not in ("real", "integer", "double", "pattern"):
        raise ValueError(f"{path}: unsupported Matrix Market field {field!r}")
    if symmetry == "skew-symmetric":
        raise ValueError(f"{path}: a skew-symmetric matrix is not symmetric")
    if rows != cols:
        raise ValueError(f"{path}: matrix is not square ({rows} x {cols})")
    check_declared(path, rows, cols, entries, layout, field, symmetry)
    try:
        matrix = io.mmread(path)
    except MemoryError:
        raise
    except Exception as exc:
        raise ValueError(f"{path}: malformed Matrix Market file: {_one_line(exc)}") from None
    if layout == "array" or not sparse.issparse(matrix):
        matrix = sparse.csr_matrix(np.asarray(matrix, dtype=np.float64))
    matrix = sparse.csr_matrix(matrix, dtype=np.float64)
    matrix.sum_duplicates()
    matrix.sort_indices()
    return matrix


def load_npy(path: str) -> np.ndarray:
    """A ``.npy`` file's array, read only after its header's shape is checked against the
    file's size (mapping the file fails when the data is shorter than declared)."""
    return np.array(np.load(path, mmap_mode="r", allow_pickle=False))


def _check_rhs_header(path: str, n: int) -> None:
    try:
        rows, cols, entries, layout, field, symmetry = _scipy_io().mminfo(path)
    except (MemoryError, ImportError):
        raise
    except Exception as exc:
        raise ValueError(f"{path}: cannot read a right-hand side: {_one_line(exc)}") from None
    if rows != n and not (rows == 1 and cols == n):
        raise ValueError(f"{path}: expected {n} rows of values, the header declares {rows}")
    check_declared(path, rows, cols, entries, layout, field, symmetry)


def read_rhs(path: PathLike, n: int) -> np.ndarray:
    """Read n real values, or an n-by-k block of them, as a float64 array of shape (n, k).

    ``.npy`` files are loaded with NumPy, files starting with a Matrix Market banner are
    read as an n-by-k (or 1-by-n) matrix, and anything else as whitespace-separated text
    with one row of k numbers per line.
    """
    path = os.fspath(path)
    _check_readable(path)
    with open(path, "rb") as handle:
        head = handle.read(16)
    matrix_market = not path.endswith(".npy") and head.startswith(b"%%MatrixMarket")
    if matrix_market:
        _check_rhs_header(path, n)
    try:
        if path.endswith(".npy"):
            values = load_npy(path)
        elif matrix_market:
            values = _scipy_io().mmread(path)
            if hasattr(values, "toarray"):
                values = values.toarray()
        else:
            values = np.loadtxt(path, dtype=np.float64, ndmin=2, comments=("#", "%"))
    except (MemoryError, ImportError):
        raise
    except Exception as exc:
        raise ValueError(f"{path}: cannot read a right-hand side: {_one_line(exc)}") from None
    values = np.asarray(values)
    if values.dtype.kind not in "fiu":
        raise ValueError(f"{path}: expected real numbers, got dtype {values.dtype}")
    if values.ndim == 2 and values.shape[0] == 1 and values.shape[1] == n and n != 1:
        values = values.reshape(n, 1)  # a row vector
    if values.ndim == 1:
        values = values.reshape(-1, 1)
    if values.ndim != 2 or values.shape[1] == 0:
        raise ValueError(f"{path}: expected a vector or an n-by-k array, got shape {values.shape}")
    if values.shape[0] != n:
        raise ValueError(f"{path}: expected {n} rows of values, got {values.shape[0]}")
    values = np.ascontiguousarray(values, dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError(f"{path}: contains non-finite values")
    return values


def read_vector(path: PathLike, n: int) -> np.ndarray:
    """Read a real vector of length n (a file of one column, or one row)."""
    values = read_rhs(path, n)
    if values.shape[1] != 1:
        raise ValueError(f"{os.fspath(path)}: expected a vector, got an array of shape {values.shape}")
    return values.reshape(n)


def write_vector(path: PathLike, values: np.ndarray) -> None:
    """Write a vector or an n-by-k block atomically: ``.npy`` as NumPy binary, ``.mtx`` as a
    Matrix Market array, anything else as text with one row per line at full precision.
    Through a symbolic link, the link's target is replaced; an existing file keeps its
    permission bits."""
    path = os.fspath(path)

    def write(handle: Any) -> None:
        if path.endswith(".npy"):
            np.save(handle, values, allow_pickle=False)
        elif path.endswith(".mtx"):
            _scipy_io().mmwrite(handle, values.reshape(values.shape[0], -1), precision=17)
        else:
            np.savetxt(handle, values, fmt="%.17g")

    write_atomically(path, write)
