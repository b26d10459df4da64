"""A Factor as a scipy LinearOperator."""

from __future__ import annotations

from typing import Any

import numpy as np

from _vorlane import Factor

from ._checks import REAL_DTYPES


def aslinearoperator(factor: Factor) -> Any:
    """Wrap a :class:`Factor` as a real ``scipy.sparse.linalg.LinearOperator``.

    The operator applies the preconditioner (``factor.solve``) and is its own adjoint.
    It accepts inputs of any real or complex dtype, as vectors of shape ``(n,)`` or
    ``(n, 1)`` and as matrices of shape ``(n, k)``; a complex input is applied to its
    real and imaginary parts separately.

    Parameters
    ----------
    factor : Factor
        A factor from :func:`factorize` or :func:`factorize_raw`.

    Returns
    -------
    scipy.sparse.linalg.LinearOperator
        Of shape ``factor.shape`` and dtype float64.

    Raises
    ------
    TypeError
        ``factor`` is not a :class:`Factor`; when applied, an input that is not numeric.
    ValueError
        When applied, an input whose length is not the factor's dimension.
    """
    if not isinstance(factor, Factor):
        raise TypeError(f"factor must be a vorlane Factor, got {type(factor).__name__}")
    from scipy.sparse.linalg import LinearOperator

    n = factor.shape[0]

    def apply(x: Any) -> np.ndarray:
        x = np.asarray(x)
        if x.dtype.kind == "c":
            return apply(x.real) + 1j * apply(x.imag)
        if x.dtype.kind not in "fiub":
            raise TypeError(
                f"cannot apply the factor to an array of dtype {x.dtype}: expected a real "
                f"({REAL_DTYPES} or bool) or complex array"
            )
        vector = np.ascontiguousarray(x, dtype=np.float64).reshape(-1)
        if vector.size != n:
            raise ValueError(f"x must have {n} elements, got shape {x.shape}")
        return factor.solve(vector)

    def apply_columns(x: Any) -> np.ndarray:
        x = np.asarray(x)
        if x.ndim != 2 or x.shape[0] != n:
            raise ValueError(f"X must have shape ({n}, k), got {x.shape}")
        dtype = np.complex128 if x.dtype.kind == "c" else np.float64
        out = np.empty(x.shape, dtype=dtype)
        for j in range(x.shape[1]):
            out[:, j] = apply(x[:, j])
        return out

    return LinearOperator(
        shape=(n, n),
        matvec=apply,
        rmatvec=apply,
        matmat=apply_columns,
        rmatmat=apply_columns,
        dtype=np.float64,
    )
