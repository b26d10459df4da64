"""One process's diagonal block: checked as SDDM, factorized, and applied.

Kept free of PETSc so that it can be used and tested without it.
"""

from __future__ import annotations

import time
from typing import Optional

import numpy as np

from _vorlane import Config, factorize

# Off-diagonal entries of the block and its transpose may differ by this much, relative to
# their size.
SYMMETRY_RTOL = 1e-10
# A row whose diagonal excess is at most this fraction of its absolute sum is a Laplacian
# row: the excess is rounding noise, not a ground.
EXCESS_RTOL = 1e-12
# A row whose excess is below minus this fraction of its absolute sum is not diagonally
# dominant.
DOMINANCE_RTOL = 1e-8

# Rank r factorizes with seed + r * SEED_STRIDE (mod 2**64): rank 0 uses the caller's seed,
# so one process reproduces a serial factorization, and the ranks' seeds stay far apart for
# any seed the caller picks. The stride is odd, so different ranks never share a seed.
SEED_STRIDE = 0x9E3779B97F4A7C15
U64 = 2**64


def rank_seed(seed: int, rank: int) -> int:
    """The factorization seed that the process of rank ``rank`` uses for a base ``seed``.

    Parameters
    ----------
    seed : int
        The base seed, 0 to 2**64 - 1.
    rank : int
        The process's rank in PETSc's world communicator.

    Returns
    -------
    int
        ``(seed + rank * 0x9E3779B97F4A7C15) mod 2**64``: rank 0 uses ``seed`` itself, and
        the stride is odd, so no two ranks share a seed.
    """
    return (seed + rank * SEED_STRIDE) % U64


class NotSDDMError(ValueError):
    """The block cannot be factorized: it is not a symmetric SDDM matrix."""


class LocalFactor:
    """A checked, factorized SDDM block that applies its approximate inverse.

    `indptr`, `indices` and `data` are the block's CSR arrays (column indices local to the
    block). Raises NotSDDMError when the block is not square-symmetric, finite, has a
    positive off-diagonal entry or a row that is not diagonally dominant.
    """

    def __init__(
        self,
        indptr: np.ndarray,
        indices: np.ndarray,
        data: np.ndarray,
        *,
        seed: int = 0,
        split: Optional[int] = None,
    ) -> None:
        start = time.perf_counter()
        self.n = int(len(indptr)) - 1
        self.nnz = int(len(data))
        self.seed = seed
        self.split = split
        matrix, self._scale, self.grounded = _factor_input(indptr, indices, data, self.n)
        self._factor = factorize(matrix, Config(seed=seed, split=split))
        self.augmented = self._factor.n > self.n
        self.steps = self._factor.n_steps
        self.setup_seconds = time.perf_counter() - start

    def solve_into(self, b: np.ndarray, out: np.ndarray) -> None:
        """out = the block's approximate inverse applied to b (float64 vectors of length n)."""
        self._factor.solve_into(b, out)
        out *= self._scale

    def describe(self) -> str:
        split = "none" if self.split is None else str(self.split)
        return (
            f"local n {self.n}, block nonzeros {self.nnz}, "
            f"{'grounded' if self.grounded else 'Laplacian'} block"
            f"{' (augmented)' if self.augmented else ''}, {self.steps} elimination steps, "
            f"seed {self.seed}, split {split}, setup {self.setup_seconds:.3g} s"
        )


def _factor_input(indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, n: int):
    """The checked block as the matrix to factorize, the scale of its inverse, and whether
    it has a ground.

    Rounding-noise excess is dropped so that the factorization sees a Laplacian exactly
    when the block has no ground; the matrix is scaled so that its largest row sum is 1,
    which keeps the factor's solves accurate for blocks with very large entries. Solutions
    are multiplied back by that scale.
    """
    csr = canonical_rows(indptr, indices, data, n, n, "block")
    transposed = csr.T.tocsr()
    transposed.sort_indices()
    check_symmetric_rows(csr, transposed, 0, "block")
    matrix, magnitude, grounded = sddm_rows(csr, 0, "block")
    biggest = float(magnitude.max()) if n else 0.0
    scale = 1.0 / biggest if biggest > 0 else 1.0
    matrix = matrix * scale
    matrix.sort_indices()
    return matrix, scale, bool(grounded.any())


def canonical_rows(indptr, indices, data, rows: int, columns: int, what: str):
    """Rows of a rows x columns matrix as canonical CSR (duplicates summed, columns sorted),
    after checking the arrays. Raises NotSDDMError naming `what` when they are malformed,
    complex or not finite."""
    import scipy.sparse as sparse

    indptr = np.asarray(indptr, dtype=np.int64)
    indices = np.asarray(indices, dtype=np.int64)
    data = np.asarray(data)
    if data.dtype.kind == "c":
        raise NotSDDMError(f"{what} has complex values ({data.dtype})")
    data = data.astype(np.float64, copy=False)
    if indptr.size != rows + 1 or indptr[0] != 0 or np.any(np.diff(indptr) < 0):
        raise NotSDDMError(f"{what} row pointers are malformed")
    if indptr[-1] != data.size or indices.size != data.size:
        raise NotSDDMError(f"{what} index and value arrays differ in length")
    if indices.size and (indices.min() < 0 or indices.max() >= columns):
        raise NotSDDMError(f"{what} column index out of range")
    if not np.isfinite(data).all():
        raise NotSDDMError(f"{what} contains non-finite values")
    csr = sparse.csr_matrix((data, indices, indptr), shape=(rows, columns), copy=True)
    csr.sum_duplicates()
    csr.sort_indices()
    return csr


def sddm_rows(csr, first: int, what: str):
    """Checked SDDM rows (canonical CSR whose row i is the matrix's row first + i) rebuilt as
    the rows to factorize: off-diagonal entries kept, each diagonal the negated off-diagonal
    sum plus the row's excess when the excess is a ground rather than rounding noise.

    Returns the rebuilt rows, each row's magnitude (|diagonal| + |off-diagonal sum|) and
    which rows are grounded. Raises NotSDDMError naming `what` and the entry for a positive
    off-diagonal entry or a row that is not diagonally dominant.
    """
    import scipy.sparse as sparse

    n, columns = csr.shape
    data, indices, indptr = csr.data, csr.indices, csr.indptr
    local = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
    rows = local + first
    off = indices != rows
    positive = off & (data > 0)
    if positive.any():
        k = int(np.flatnonzero(positive)[0])
        raise NotSDDMError(
            f"{what} has a positive off-diagonal entry ({rows[k]}, {indices[k]}) = "
            f"{float(data[k])!r}; off-diagonal entries must be <= 0"
        )
    edge = off & (data < 0)
    diagonal = np.bincount(local[~off], weights=data[~off], minlength=n)
    offsum = np.bincount(local[edge], weights=data[edge], minlength=n)
    excess = diagonal + offsum
    magnitude = np.abs(diagonal) - offsum
    weak = excess < -DOMINANCE_RTOL * magnitude
    if weak.any():
        i = int(np.flatnonzero(weak)[0])
        raise NotSDDMError(
            f"{what} row {i + first} is not diagonally dominant: diagonal {float(diagonal[i])!r}, "
            f"off-diagonal sum {float(offsum[i])!r}"
        )
    grounded = excess > EXCESS_RTOL * magnitude
    new_diagonal = np.where(grounded, excess, 0.0) - offsum
    identity = np.arange(n, dtype=np.int64)
    matrix = sparse.csr_matrix(
        (
            np.concatenate([data[edge], new_diagonal]),
            (np.concatenate([local[edge], identity]), np.concatenate([indices[edge], identity + first])),
        ),
        shape=(n, columns),
    )
    matrix.sum_duplicates()
    matrix.sort_indices()
    return matrix, magnitude, grounded


def check_symmetric_rows(rows, mirrored, first: int, what: str) -> None:
    """Raises NotSDDMError naming `what` and the first entry where rows (canonical CSR, row i
    being the matrix's row first + i) and the same rows of the transpose differ by more than
    the symmetry tolerance."""
    if np.array_equal(rows.indptr, mirrored.indptr) and np.array_equal(rows.indices, mirrored.indices):
        gap = np.abs(rows.data - mirrored.data)
        if not (gap > SYMMETRY_RTOL * (np.abs(rows.data) + np.abs(mirrored.data))).any():
            return
    difference = (abs(rows - mirrored) - SYMMETRY_RTOL * (abs(rows) + abs(mirrored))).tocoo()
    bad = difference.data > 0
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        i, j = int(difference.row[k]), int(difference.col[k])
        raise NotSDDMError(
            f"{what} is not symmetric: ({i + first}, {j}) = {float(rows[i, j])!r} but "
            f"({j}, {i + first}) = {float(mirrored[i, j])!r}"
        )
