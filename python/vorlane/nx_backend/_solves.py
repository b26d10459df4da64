"""Blocks of Laplacian solves through one factorization, and the quantities built on them."""

from __future__ import annotations

from typing import Iterator, Optional, Tuple

import numpy as np

# Columns per block: the engine runs up to this many conjugate-gradient recurrences in lock
# step, sharing each pass over the factor and the matrix.
BLOCK = 64
# The exact diagonal of L^+ may take up to EXACT_WORK * n * nnz(L) multiply-adds (about what n
# preconditioned solves cost), and never more than EXACT_WORK_CAP (minutes, and a dense block
# of at most a few GB); past that the diagonal comes from n solves.
EXACT_WORK = 50.0
EXACT_WORK_CAP = 1e12


def settings() -> tuple:
    """The tolerance and seed set in ``networkx.config.backends.vorlane``."""
    import networkx as nx

    from ._info import DEFAULT_SEED, DEFAULT_TOL

    config = getattr(nx.config.backends, "vorlane", None)
    tol = getattr(config, "tol", DEFAULT_TOL) if config is not None else DEFAULT_TOL
    seed = getattr(config, "seed", DEFAULT_SEED) if config is not None else DEFAULT_SEED
    return tol, seed


def blocks(total: int, size: int = BLOCK) -> Iterator[slice]:
    for start in range(0, total, size):
        yield slice(start, min(start + size, total))


class ConnectedSolver:
    """Solves L X = B for a connected graph's Laplacian, columns of B summing to zero."""

    def __init__(self, L, *, tol: float, seed: int) -> None:
        self.L = L
        self.n = int(L.shape[0])
        self.tol = tol
        self.seed = seed
        self._M = None

    def solve(self, B: np.ndarray) -> np.ndarray:
        import networkx as nx
        import vorlane

        if self._M is None:
            self._M = vorlane.Preconditioner(self.L, seed=self.seed, check=False)
        X, info = vorlane.solve(self.L, B, tol=self.tol, M=self._M)
        if not info.converged:
            raise nx.NetworkXError(
                f"a Laplacian solve did not reach relative residual {self.tol:g}: "
                f"{info.message}; raise nx.config.backends.vorlane.tol"
            )
        return X.reshape(B.shape)

    def pinv_diagonal(self, also: Optional[np.ndarray] = None) -> Tuple[np.ndarray, Optional[np.ndarray]]:
        """The diagonal of L^+ and, for a given vector b (its mean removed), L^+ b.

        Exactly, from a sparse factorization and selected inversion; or, when that would fill
        in too much, by one solve per node: with u = e_i - 1/n, L^+_ii = u^T L^+ u, and the
        energy estimate 2 u^T x - x^T L x of it has an error quadratic in the solve's.
        """
        exact = self.exact_pinv_diagonal(also)
        if exact is not None:
            return exact
        n = self.n
        diagonal = np.empty(n)
        for block in blocks(n):
            columns = np.arange(block.start, block.stop)
            B = self.unit_sources(columns)
            X = self.solve(B)
            diagonal[block] = self.energy(B, X)
        if also is None:
            return diagonal, None
        b = (also - also.mean())[:, None]
        return diagonal, self.solve(b)[:, 0]

    def exact_pinv_diagonal(self, also: Optional[np.ndarray] = None) -> Optional[Tuple[np.ndarray, Optional[np.ndarray]]]:
        """diag(L^+) to rounding (and L^+ also), or None when that would cost more than the
        solves (or more memory than there is, or the Laplacian is indefinite: the solves
        report that)."""
        from .. import _engine

        L = self.L.tocsr()
        if L.nnz >= 2**32:
            return None
        out = np.empty(self.n)
        solved = None if also is None else np.array(also, dtype=np.float64)
        budget = min(EXACT_WORK * self.n * max(L.nnz, 1), EXACT_WORK_CAP)
        try:
            done = _engine.pinv_diagonal(
                np.ascontiguousarray(L.indptr, dtype=np.uint32),
                np.ascontiguousarray(L.indices, dtype=np.uint32),
                np.ascontiguousarray(L.data, dtype=np.float64),
                out,
                float(budget),
                solved,
            )
        except (ValueError, MemoryError):
            return None
        return (out, solved) if done else None

    def unit_sources(self, columns: np.ndarray) -> np.ndarray:
        """e_i - 1/n for each i in columns: a unit current in at i, out evenly everywhere."""
        B = np.full((self.n, columns.size), -1.0 / self.n)
        B[columns, np.arange(columns.size)] += 1.0
        return B

    def energy(self, B: np.ndarray, X: np.ndarray) -> np.ndarray:
        """b^T L^+ b for every column, from x ~ L^+ b."""
        return 2.0 * np.einsum("ij,ij->j", B, X) - np.einsum("ij,ij->j", X, self.L @ X)
