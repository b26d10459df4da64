"""Laplacian solves for blocks of right-hand sides, with one factorization reused throughout."""

from __future__ import annotations

from typing import Any, Iterator

import numpy as np

from .._checks import check_matrix
from .._solve import run

# Right-hand sides go to the solver in blocks of at most this many bytes per block
# (n x columns float64), so a thousand columns of a large graph never sit in memory at once.
BLOCK_BYTES = 64 * 2**20
MAX_BLOCK_COLUMNS = 64


class SolveFailed(RuntimeError):
    """A Laplacian solve did not reach its tolerance."""


def block_columns(rows: int) -> int:
    """How many columns of `rows` float64 entries fit in one block."""
    return int(max(1, min(MAX_BLOCK_COLUMNS, BLOCK_BYTES // (8 * max(rows, 1)))))


def column_blocks(total: int, size: int) -> Iterator[slice]:
    for start in range(0, total, size):
        yield slice(start, min(start + size, total))


class LaplacianSolver:
    """Solves L X = B for blocks of columns, with one factorization of L."""

    def __init__(self, L: Any, *, seed: int) -> None:
        from .._preconditioner import Preconditioner

        self._system = check_matrix(L)
        self._preconditioner = Preconditioner._from_system(self._system, seed=seed)

    def solve(self, B: np.ndarray, *, tol: float, maxiter: int) -> np.ndarray:
        """X of the shape of B (n, k) with L X = B to relative residual tol per column;
        each column of B must sum to zero on every component. Raises SolveFailed when a
        column does not converge."""
        block = np.array(B, dtype=np.float64, order="C", copy=True)
        result = run(
            self._system, block, tol=tol, maxiter=maxiter, method="factor",
            factor=self._preconditioner._factor,
        )
        if not result.converged:
            raise SolveFailed(
                f"a Laplacian solve did not reach tol {tol:g}: {result.message} "
                f"(relative residual {float(result.residual.max(initial=0.0)):.3g})"
            )
        return result.x

    def preconditioner(self) -> Any:
        """The factor as a LinearOperator approximating the pseudo-inverse of L."""
        return self._preconditioner
