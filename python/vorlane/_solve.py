"""Preconditioned conjugate gradients with an approximate Cholesky factor.

The solver works in three stages that the command-line tool also drives one by one:
``Problem.from_matrix`` checks the matrix and works out its null space,
``Problem.factorize`` builds the preconditioner and ``Problem.run`` iterates.
"""

from __future__ import annotations

import math
import operator
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np

from _vorlane import Config, Factor, factorize

# Off-diagonal entries of A and A.T may differ by this much, relative to their size.
SYMMETRY_RTOL = 1e-10
# A row whose diagonal excess (diagonal plus off-diagonal sum) is at most this fraction of the
# row's absolute sum counts as a Laplacian row: the excess is rounding noise, not a ground.
EXCESS_RTOL = 1e-12
# A row whose excess is below minus this fraction of its absolute sum is not diagonally dominant.
DOMINANCE_RTOL = 1e-8
DEFAULT_MAXITER = 1000

ProgressFn = Callable[[int, float], None]


# Inner products by einsum's own loop rather than BLAS: a threaded BLAS dot on a busy
# machine can cost a hundred times more than the vector it reads.
def _dot(x: np.ndarray, y: np.ndarray) -> float:
    return float(np.einsum("i,i->", x, y))


def _norm(x: np.ndarray) -> float:
    square = _dot(x, x)
    if 1e-290 < square < 1e290:
        return math.sqrt(square)
    # Too small or too large to square: scale first.
    biggest = float(np.max(np.abs(x))) if x.size else 0.0
    if biggest == 0.0 or not math.isfinite(biggest):
        return biggest
    return biggest * math.sqrt(_dot(x / biggest, x / biggest))


@dataclass(frozen=True)
class SolveInfo:
    """What happened in one call of :func:`vorlane.solve`.

    Attributes:
        converged: whether the relative residual reached ``tol``.
        iterations: number of conjugate-gradient iterations (products with A).
        residual: final relative residual ``||b - A x|| / ||b||``, recomputed from the
            returned ``x`` (0.0 when ``b`` is zero).
        factor_seconds: wall time spent checking A and building the preconditioner.
        solve_seconds: wall time spent in the iteration.
        singular: whether A has a null space (a Laplacian, or a connected component
            without diagonal excess); the returned ``x`` then has zero mean on each
            such component.
        message: a short human-readable account of how the iteration ended.
    """

    converged: bool
    iterations: int
    residual: float
    factor_seconds: float
    solve_seconds: float
    singular: bool
    message: str

    @property
    def total_seconds(self) -> float:
        return self.factor_seconds + self.solve_seconds


@dataclass
class RunResult:
    x: np.ndarray
    iterations: int
    residual: float
    converged: bool
    message: str


def _scipy_sparse() -> Any:
    try:
        import scipy.sparse as sparse
    except ImportError:  # pragma: no cover - exercised only without scipy
        return None
    return sparse


def _describe(obj: object) -> str:
    cls = type(obj)
    return cls.__name__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__name__}"


def _as_real_vector(value: object, name: str, n: int) -> np.ndarray:
    """A fresh float64 vector of length n from an array-like of shape (n,) or (n, 1)."""
    try:
        array = np.asarray(value)
    except Exception as exc:  # ragged lists and the like
        raise TypeError(f"{name} must be a real vector: {exc}") from None
    if array.dtype.kind == "c":
        raise TypeError(f"{name} must be real, got dtype {array.dtype}")
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must be a real numeric vector, got dtype {array.dtype}")
    if array.shape not in ((n,), (n, 1)):
        raise ValueError(f"{name} must have shape ({n},), got {array.shape}")
    vector = np.array(array, dtype=np.float64).reshape(n)
    if not np.isfinite(vector).all():
        raise ValueError(f"{name} contains non-finite values")
    return vector


def _check_positive_float(value: object, name: str) -> float:
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {_describe(value)}") from None
    if not (number > 0 and math.isfinite(number)):
        raise ValueError(f"{name} must be positive and finite, got {value!r}")
    return number


def _check_maxiter(maxiter: object) -> int:
    if maxiter is None:
        return DEFAULT_MAXITER
    try:
        count = operator.index(maxiter)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"maxiter must be an integer or None, got {_describe(maxiter)}") from None
    if count < 0:
        raise ValueError(f"maxiter must be >= 0, got {count}")
    return count


def make_config(seed: object, split: object) -> Config:
    """A Config for seed and split, refusing a zero split before any work is done."""
    config = Config(seed=seed, split=split)  # type: ignore[arg-type]
    if config.split is not None and config.split < 1:
        raise ValueError("split must be >= 1")
    return config


class Problem:
    """A checked symmetric SDDM or Laplacian matrix, ready to be factorized and solved."""

    def __init__(
        self,
        n: int,
        nnz: int,
        matvec: Callable[[np.ndarray], np.ndarray],
        factor_input: Any,
        labels: Optional[np.ndarray] = None,
        null_components: Optional[np.ndarray] = None,
    ) -> None:
        self.n = n
        self.nnz = nnz
        self.matvec = matvec
        self._factor_input = factor_input
        # Vertex labels of the connected components and, per component, whether it has no
        # diagonal excess: such a component carries a constant null vector of A.
        self._labels = labels
        self._null_components = null_components
        self._null_vertex: Optional[np.ndarray] = None
        self._counts: Optional[np.ndarray] = None
        if labels is not None and null_components is not None and null_components.any():
            self._null_vertex = null_components[labels]
            self._counts = np.bincount(labels, minlength=null_components.size).astype(np.float64)
        self.factor: Optional[Factor] = None

    @property
    def singular(self) -> bool:
        return self._null_vertex is not None

    # Construction ------------------------------------------------------------------------

    @classmethod
    def from_matrix(cls, A: object) -> "Problem":
        """Check A and prepare the matrix the preconditioner is built from.

        Raises TypeError for a non-sparse or non-real A and ValueError for a matrix that is
        not square, not symmetric, not finite, has a positive off-diagonal entry or is not
        diagonally dominant.
        """
        sparse = _scipy_sparse()
        if sparse is None or not sparse.issparse(A):
            raise TypeError(
                f"A must be a scipy.sparse matrix or array, got {_describe(A)}"
                + ("" if sparse is not None else " (scipy is not installed)")
            )
        shape = A.shape  # type: ignore[attr-defined]
        if len(shape) != 2 or shape[0] != shape[1]:
            raise ValueError(f"A must be square, got shape {tuple(shape)}")
        dtype = A.dtype  # type: ignore[attr-defined]
        if dtype.kind == "c":
            raise TypeError(f"A must be real, got dtype {dtype}")
        if dtype.kind not in "fiu":
            raise TypeError(f"A must have a real numeric dtype, got {dtype}")
        n = int(shape[0])
        csr = sparse.csr_matrix(A, dtype=np.float64, copy=True)
        csr.sum_duplicates()
        csr.sort_indices()
        data, indices, indptr = csr.data, csr.indices, csr.indptr
        if not np.isfinite(data).all():
            raise ValueError("A contains non-finite values")
        _check_symmetric(sparse, csr)

        rows = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
        off = indices != rows
        positive = off & (data > 0)
        if positive.any():
            k = int(np.flatnonzero(positive)[0])
            raise ValueError(
                f"A has a positive off-diagonal entry A[{rows[k]}, {indices[k]}] = "
                f"{float(data[k])!r}; vorlane solves Laplacian and SDDM systems, whose "
                "off-diagonal entries are <= 0"
            )
        edge = off & (data < 0)
        diagonal = np.bincount(rows[~off], weights=data[~off], minlength=n)
        offsum = np.bincount(rows[edge], weights=data[edge], minlength=n)
        excess = diagonal + offsum
        scale = np.abs(diagonal) - offsum
        weak = excess < -DOMINANCE_RTOL * scale
        if weak.any():
            i = int(np.flatnonzero(weak)[0])
            raise ValueError(
                f"A is not diagonally dominant: row {i} has diagonal {float(diagonal[i])!r} but "
                f"its off-diagonal entries sum to {float(offsum[i])!r}"
            )
        grounded = excess > EXCESS_RTOL * scale

        # The preconditioner is built from A with each row's excess either kept (a real
        # ground) or set to zero (rounding noise), scaled so that the core sees a Laplacian
        # exactly when A has no ground at all. The scale changes nothing in the iteration.
        new_diagonal = np.where(grounded, excess, 0.0) - offsum
        biggest = float(scale.max()) if n else 0.0
        factor_scale = 1.0 / biggest if biggest > 0 else 1.0
        if grounded.any():
            factor_scale = max(factor_scale, 1e-6 / float(excess[grounded].max()))
        edge_rows = rows[edge]
        edge_cols = indices[edge].astype(np.int64)
        coo_rows = np.concatenate([edge_rows, np.arange(n, dtype=np.int64)])
        coo_cols = np.concatenate([edge_cols, np.arange(n, dtype=np.int64)])
        coo_vals = np.concatenate([data[edge], new_diagonal]) * factor_scale
        factor_input = sparse.csr_matrix((coo_vals, (coo_rows, coo_cols)), shape=(n, n))
        factor_input.sum_duplicates()
        factor_input.sort_indices()

        from scipy.sparse.csgraph import connected_components

        graph = sparse.csr_matrix(
            (np.ones(edge_rows.size), (edge_rows, edge_cols)), shape=(n, n)
        )
        count, labels = connected_components(graph, directed=False)
        null_components = np.bincount(labels, weights=grounded, minlength=count) == 0
        return cls(n, int(csr.nnz), csr.__matmul__, factor_input, labels, null_components)

    # Null space --------------------------------------------------------------------------

    def project(self, vector: np.ndarray) -> np.ndarray:
        """Remove from vector its part in the null space of A (in place) and return it."""
        if self._null_vertex is not None:
            assert self._labels is not None and self._counts is not None
            sums = np.bincount(self._labels, weights=vector, minlength=self._counts.size)
            means = sums / np.maximum(self._counts, 1.0)
            vector -= np.where(self._null_vertex, means[self._labels], 0.0)
        return vector

    def check_consistent(self, b: np.ndarray, tol: float) -> float:
        """The relative size of the part of b in the null space of A.

        Raises ValueError when it reaches tol: no x can then bring the residual below tol.
        """
        if self._null_vertex is None:
            return 0.0
        bnorm = _norm(b)
        if bnorm == 0.0:
            return 0.0
        unreachable = _norm(b - self.project(b.copy())) / bnorm
        if unreachable >= tol:
            raise ValueError(
                "b is not in the range of A: A is singular (a Laplacian, or a connected "
                "component without diagonal excess) and the part of b in its null space has "
                f"relative size {unreachable:.3g}, not below tol; b must sum to zero "
                "over each such component"
            )
        return unreachable

    # Stages ------------------------------------------------------------------------------

    def factorize(self, config: Optional[Config] = None) -> Factor:
        self.factor = factorize(self._factor_input, config)
        return self.factor

    def run(
        self,
        b: np.ndarray,
        *,
        tol: float,
        maxiter: int,
        x0: Optional[np.ndarray] = None,
        preconditioned: bool = True,
        callback: Optional[Callable[[np.ndarray], object]] = None,
        progress: Optional[ProgressFn] = None,
        time_limit: Optional[float] = None,
    ) -> RunResult:
        """Conjugate gradients on A x = b, preconditioned by the factor unless told not to.

        b and x0 must already be checked float64 vectors of length n.
        """
        n = self.n
        bnorm = _norm(b)
        if bnorm == 0.0:
            return RunResult(np.zeros(n), 0, 0.0, True, "b is zero, so x is zero")
        # Work on b / ||b|| so that no inner product overflows or underflows.
        b = b / bnorm
        rhs = self.project(b.copy())
        unreachable = self.check_consistent(b, tol)
        inner_target = math.sqrt(tol * tol - unreachable * unreachable)

        if preconditioned:
            if self.factor is None:
                raise RuntimeError("factorize() must run before a preconditioned solve")
            solve = self.factor.solve

            def precondition(r: np.ndarray) -> np.ndarray:
                return self.project(solve(r))

        else:

            def precondition(r: np.ndarray) -> np.ndarray:
                return r.copy()

        x = np.zeros(n) if x0 is None else self.project(x0 / bnorm)
        start = time.perf_counter()
        iterations = 0
        converged = False
        message = ""
        r = rhs - self.matvec(x) if x0 is not None else rhs.copy()
        rnorm = _norm(r)
        # Each pass of the outer loop starts the recurrence from the true residual; it runs
        # again only when the recurrence claims convergence that the true residual denies.
        while True:
            if rnorm <= inner_target:
                converged = True
                break
            if iterations >= maxiter:
                break
            z = precondition(r)
            rz = _dot(r, z)
            if not rz > 0:
                message = _breakdown_message(rz, "preconditioner")
                break
            p = z
            while iterations < maxiter:
                q = self.matvec(p)
                pq = _dot(p, q)
                if not pq > 0:
                    message = _breakdown_message(pq, "matrix")
                    break
                alpha = rz / pq
                x += alpha * p
                r -= alpha * q
                iterations += 1
                rnorm = _norm(r)
                if callback is not None:
                    current = x * bnorm
                    current.flags.writeable = False
                    callback(current)
                if progress is not None:
                    progress(iterations, rnorm)
                if rnorm <= inner_target:
                    break
                if time_limit is not None and time.perf_counter() - start > time_limit:
                    message = (
                        f"did not converge within {_iterations(iterations)} "
                        f"(time limit of {time_limit:g} s)"
                    )
                    break
                z = precondition(r)
                rz_next = _dot(r, z)
                if not rz_next > 0:
                    message = _breakdown_message(rz_next, "preconditioner")
                    break
                p = z + (rz_next / rz) * p
                rz = rz_next
            if message:
                break
            r = rhs - self.matvec(x)
            rnorm = _norm(r)
            if rnorm <= inner_target:
                converged = True
                break
            if iterations >= maxiter:
                break

        self.project(x)
        residual = _norm(b - self.matvec(x))
        x *= bnorm
        if not math.isfinite(residual):
            converged = False
            message = message or "the iteration produced non-finite values"
        converged = converged and residual <= tol
        if converged:
            message = f"converged in {_iterations(iterations)}"
        elif not message:
            message = f"did not converge within {_iterations(iterations)}"
        return RunResult(x, iterations, residual, converged, message)


def _iterations(count: int) -> str:
    return f"{count} iteration" + ("" if count == 1 else "s")


def _breakdown_message(value: float, what: str) -> str:
    if not math.isfinite(value):
        return "the iteration produced non-finite values"
    if what == "matrix":
        return "breakdown: A is not positive definite on the search space"
    return "breakdown: the preconditioner is not positive definite on the residual"


def _check_symmetric(sparse: Any, csr: Any) -> None:
    """Raise ValueError unless csr (canonical CSR) is symmetric up to SYMMETRY_RTOL."""
    transposed = csr.T.tocsr()
    transposed.sort_indices()
    if np.array_equal(csr.indptr, transposed.indptr) and np.array_equal(
        csr.indices, transposed.indices
    ):
        gap = np.abs(csr.data - transposed.data)
        bad = gap > SYMMETRY_RTOL * (np.abs(csr.data) + np.abs(transposed.data))
        if not bad.any():
            return
    # Patterns differ (or values do): compare entrywise over the union of both patterns.
    difference = abs(csr - transposed) - SYMMETRY_RTOL * (abs(csr) + abs(transposed))
    difference = sparse.coo_matrix(difference)
    bad = difference.data > 0
    if not bad.any():
        return
    k = int(np.argmax(np.where(bad, difference.data, -np.inf)))
    i, j = int(difference.row[k]), int(difference.col[k])
    raise ValueError(
        f"A is not symmetric: A[{i}, {j}] = {float(csr[i, j])!r} but "
        f"A[{j}, {i}] = {float(csr[j, i])!r}"
    )


def solve(
    A: object,
    b: object,
    *,
    tol: float = 1e-8,
    maxiter: Optional[int] = None,
    seed: int = 0,
    split: Optional[int] = None,
    x0: object = None,
    callback: Optional[Callable[[np.ndarray], object]] = None,
) -> "tuple[np.ndarray, SolveInfo]":
    """Solve A x = b for a symmetric Laplacian or SDDM matrix A.

    Factorizes A with vorlane and runs conjugate gradients preconditioned by the factor
    until ``||b - A x|| <= tol * ||b||``.

    Args:
        A: a scipy.sparse matrix or array, square, real and symmetric, with off-diagonal
            entries <= 0 and rows that are diagonally dominant.
        b: right-hand side, shape ``(n,)`` or ``(n, 1)``. When A is singular (a
            Laplacian), b must sum to zero over each connected component without
            diagonal excess.
        tol: relative residual to reach.
        maxiter: most iterations to run; None means 1000.
        seed: seed of the randomized factorization.
        split: number of copies each edge is split into (None for no splitting).
        x0: starting guess, shape ``(n,)`` or ``(n, 1)``.
        callback: called as ``callback(xk)`` after each iteration with the current
            iterate, a read-only array of shape ``(n,)``.

    Returns:
        ``(x, info)``: the solution as a float64 array of shape ``(n,)`` and a
        :class:`SolveInfo`. For a singular A, x has zero mean on every component
        without diagonal excess. Not converging is reported in ``info``, not raised.

    Raises:
        TypeError: A is not a real scipy.sparse matrix, or b or x0 is not real.
        ValueError: A is not square, symmetric, finite or SDDM; b or x0 has the wrong
            shape or non-finite entries; b has a part in the null space of A that alone
            exceeds tol.
    """
    tol = _check_positive_float(tol, "tol")
    iterations_cap = _check_maxiter(maxiter)
    config = make_config(seed, split)
    if callback is not None and not callable(callback):
        raise TypeError(f"callback must be callable, got {_describe(callback)}")
    start = time.perf_counter()
    problem = Problem.from_matrix(A)
    rhs = _as_real_vector(b, "b", problem.n)
    guess = None if x0 is None else _as_real_vector(x0, "x0", problem.n)
    problem.check_consistent(rhs, tol)
    problem.factorize(config)
    factor_seconds = time.perf_counter() - start

    start = time.perf_counter()
    result = problem.run(rhs, tol=tol, maxiter=iterations_cap, x0=guess, callback=callback)
    solve_seconds = time.perf_counter() - start
    info = SolveInfo(
        converged=result.converged,
        iterations=result.iterations,
        residual=result.residual,
        factor_seconds=factor_seconds,
        solve_seconds=solve_seconds,
        singular=problem.singular,
        message=result.message,
    )
    return result.x, info
