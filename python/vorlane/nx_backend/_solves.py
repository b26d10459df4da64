"""Blocks of Laplacian solves through one factorization, and the quantities built on them."""

from __future__ import annotations

from typing import Iterator

import numpy as np

# Columns per block: the engine runs up to this many conjugate-gradient recurrences in lock
# step, sharing each pass over the factor and the matrix.
BLOCK = 64
# Up to this many nodes the pseudo-inverse's diagonal comes from one dense inverse, quicker
# than n sparse solves.
DENSE_LIMIT = 1500


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
        import vorlane

        self.L = L
        self.n = int(L.shape[0])
        self.tol = tol
        self._M = vorlane.Preconditioner(L, seed=seed, check=False)

    def solve(self, B: np.ndarray) -> np.ndarray:
        import networkx as nx
        import vorlane

        X, info = vorlane.solve(self.L, B, tol=self.tol, M=self._M)
        if not info.converged:
            raise nx.NetworkXError(
                f"a Laplacian solve did not reach relative residual {self.tol:g}: "
                f"{info.message}; raise nx.config.backends.vorlane.tol"
            )
        return X.reshape(B.shape)

    def pinv_diagonal(self) -> np.ndarray:
        """The diagonal of L^+: by one solve per node, or densely for small graphs.

        With b = e_i - 1/n, L^+_ii = b^T L^+ b; the energy estimate 2 b^T x - x^T L x of it
        has an error quadratic in the solve's.
        """
        n = self.n
        if n <= DENSE_LIMIT:
            # For a connected graph (L + J/n)^-1 = L^+ + J/n, J the all-ones matrix.
            return np.diag(np.linalg.inv(self.L.toarray() + 1.0 / n)) - 1.0 / n
        diagonal = np.empty(n)
        for block in blocks(n):
            columns = np.arange(block.start, block.stop)
            B = self.unit_sources(columns)
            X = self.solve(B)
            diagonal[block] = self.energy(B, X)
        return diagonal

    def unit_sources(self, columns: np.ndarray) -> np.ndarray:
        """e_i - 1/n for each i in columns: a unit current in at i, out evenly everywhere."""
        B = np.full((self.n, columns.size), -1.0 / self.n)
        B[columns, np.arange(columns.size)] += 1.0
        return B

    def energy(self, B: np.ndarray, X: np.ndarray) -> np.ndarray:
        """b^T L^+ b for every column, from x ~ L^+ b."""
        return 2.0 * np.einsum("ij,ij->j", B, X) - np.einsum("ij,ij->j", X, self.L @ X)
