"""vorlane.solve: checked preconditioned conjugate gradients on one or several right-hand sides.

The checks and the iteration run in the engine module without the interpreter lock;
``run`` is the step the command line and the demo share with :func:`solve`.
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, List, Optional, Tuple, Union

import numpy as np

from . import _engine
from ._limits import DEFAULT_RTOL
from ._order import Rounds, check_order, check_threads, engine_order
from ._progress import DelayedLine
from ._checks import (
    as_block,
    check_matrix,
    check_maxiter,
    check_method,
    check_precision,
    check_renumber,
    check_seed,
    check_split,
    check_nonnegative,
    check_tol,
    describe,
    inconsistent_message,
    renumber_mode,
    PRECISIONS,
)

# The engine's paths and column outcomes, by number.
_PATHS = {"jacobi": 0, "factor": 1, "plain": 2}
_PATH_NAMES = {number: name for name, number in _PATHS.items()}
CONVERGED, MAXITER, STALLED, BREAKDOWN, NONFINITE, TIME_LIMIT, ZERO_RHS, INCONSISTENT = range(1, 9)


@dataclass(frozen=True, repr=False)
class SolveInfo:
    """What happened in one call of :func:`vorlane.solve`.

    Attributes:
        converged: whether the relative residual reached ``tol`` (in every column).
        iterations: conjugate-gradient iterations (products with A); for a ``b`` of shape
            ``(n, k)`` with k > 1, an int64 array with one count per column.
        residual: final relative residual ``||b - A x|| / ||b||`` of the returned ``x``
            itself, with ``A x`` summed entry by entry in row order (A's entries sorted by
            column, duplicates merged): what ``b - A @ x`` gives for such a CSR matrix (0.0
            when ``b`` is zero); an array per column when k > 1.
        factor_seconds: wall time spent checking A and building the preconditioner.
        solve_seconds: wall time spent in the iteration.
        singular: whether A has a null space (a Laplacian, or a connected component
            without diagonal excess); the returned ``x`` then has zero mean on each
            such component.
        message: a short human-readable account of how the iteration ended.
        method: the preconditioner that finished the solve, ``"factor"`` or ``"jacobi"``.
        jacobi_iterations: of ``iterations``, those preconditioned by the diagonal of A
            (with ``method="auto"``, the ones before it factorized; the rest used the
            factor); an array per column when k > 1, like ``iterations``.
        residuals: the relative residual the iteration tracked, at the start and after
            each iteration (``iterations + 1`` values; the recurrence's residual, replaced
            by the true one where the iteration checked it); a list of such arrays, one
            per column, when k > 1.
    """

    converged: bool
    iterations: Union[int, np.ndarray]
    residual: Union[float, np.ndarray]
    factor_seconds: float
    solve_seconds: float
    singular: bool
    message: str
    method: str = "factor"
    jacobi_iterations: Union[int, np.ndarray] = 0
    residuals: Union[np.ndarray, List[np.ndarray]] = field(default_factory=lambda: np.zeros(0))

    @property
    def total_seconds(self) -> float:
        """``factor_seconds + solve_seconds``."""
        return self.factor_seconds + self.solve_seconds

    def __repr__(self) -> str:
        return (
            f"SolveInfo(converged={self.converged}, iterations={self.iterations!r}, "
            f"jacobi_iterations={self.jacobi_iterations!r}, "
            f"residual={self.residual!r}, method={self.method!r}, singular={self.singular}, "
            f"factor_seconds={self.factor_seconds:.3g}, solve_seconds={self.solve_seconds:.3g}, "
            f"total_seconds={self.total_seconds:.3g}, message={self.message!r})"
        )


@dataclass
class RunResult:
    """The engine's answer for a block: per-column iterations, residuals and outcomes."""

    x: np.ndarray
    iterations: np.ndarray
    jacobi_iterations: np.ndarray
    residual: np.ndarray
    residuals: List[np.ndarray]
    status: List[int]
    method: str
    factor_seconds: float
    solve_seconds: float
    factor: Any
    time_limit: float

    @property
    def converged(self) -> bool:
        return all(status in (CONVERGED, ZERO_RHS) for status in self.status)

    def column_message(self, j: int) -> str:
        return _column_message(
            self.status[j], int(self.iterations[j]), float(self.residual[j]), self.time_limit
        )

    @property
    def message(self) -> str:
        k = len(self.status)
        if k == 1:
            return self.column_message(0)
        failed = [j for j in range(k) if self.status[j] not in (CONVERGED, ZERO_RHS)]
        if not failed:
            return f"all {k} columns converged within {_iterations(int(self.iterations.max(initial=0)))}"
        details = "; ".join(f"column {j}: {self.column_message(j)}" for j in failed[:3])
        more = f"; and {len(failed) - 3} more" if len(failed) > 3 else ""
        return f"{len(failed)} of {k} columns did not converge: {details}{more}"


def _iterations(count: int) -> str:
    return f"{count} iteration" + ("" if count == 1 else "s")


def _column_message(status: int, iterations: int, residual: float, time_limit: float) -> str:
    if status == CONVERGED:
        return f"converged in {_iterations(iterations)}"
    if status == ZERO_RHS:
        return "b is zero, so x is zero"
    if status == STALLED:
        return (
            f"the residual stalled at {residual:.3g} after {_iterations(iterations)}: the "
            "accuracy attainable in double precision for this system"
        )
    if status == BREAKDOWN:
        return "breakdown: the preconditioner is not positive definite on the residual"
    if status == NONFINITE:
        return "the iteration produced non-finite values"
    if status == TIME_LIMIT:
        return f"did not converge within {_iterations(iterations)} (time limit of {time_limit:g} s)"
    return f"did not converge within {_iterations(iterations)}"


def run(
    system: Any,
    B: np.ndarray,
    *,
    tol: float,
    maxiter: int,
    method: str,
    atol: float = 0.0,
    seed: int = 0,
    split: Optional[int] = None,
    renumber: Union[bool, str] = "auto",
    precision: str = "mixed",
    order: Optional[Tuple[int, float, int, int, Any]] = None,
    threads: int = 1,
    factor: Any = None,
    X0: Optional[np.ndarray] = None,
    notify: Optional[Callable[[int, float], object]] = None,
    snapshot: Optional[np.ndarray] = None,
    time_limit: float = 0.0,
) -> RunResult:
    """Run the engine's iteration on the (n, k) float64 block B (checked, C-contiguous).

    method is "auto", "factor", "jacobi" or "plain" (no preconditioner). Without a factor,
    the factor path factorizes first (with seed, split and renumber). Each column stops at
    ||b - A x|| <= max(tol ||b||, atol). Raises ValueError when a column of B has a part in
    the null space of A that alone exceeds that target.
    """
    n, k = B.shape
    X = np.zeros((n, k)) if X0 is None else X0
    if k == 0:
        empty = np.zeros(0)
        used = "jacobi" if method == "auto" else method
        counts = empty.astype(np.int64)
        return RunResult(X, counts, counts, empty, [], [], used, 0.0, 0.0, factor, time_limit)
    adaptive = method == "auto"
    path = _PATHS["jacobi" if adaptive else method]
    start = time.perf_counter()
    path_used, built, factor_seconds, columns = _engine.cg(
        system, factor, B, X, k, X0 is not None, tol, atol, maxiter, path, adaptive, time_limit,
        seed, split, renumber_mode(renumber), PRECISIONS[precision], order, threads, notify, snapshot,
    )
    elapsed = time.perf_counter() - start
    status = [column[2] for column in columns]
    if INCONSISTENT in status:
        j = status.index(INCONSISTENT)
        raise ValueError(inconsistent_message("b" if k == 1 else f"b[:, {j}]", columns[j][1]))
    return RunResult(
        x=X,
        iterations=np.array([column[0] for column in columns], dtype=np.int64),
        jacobi_iterations=np.array([column[3] for column in columns], dtype=np.int64),
        residual=np.array([column[1] for column in columns], dtype=np.float64),
        residuals=[np.frombuffer(column[4], dtype=np.float64).copy() for column in columns],
        status=status,
        method=_PATH_NAMES[path_used],
        factor_seconds=factor_seconds,
        solve_seconds=elapsed - factor_seconds,
        factor=built if built is not None else factor,
        time_limit=time_limit,
    )


def _check_preconditioner(M: object, n: int) -> Any:
    from ._preconditioner import Preconditioner

    if not isinstance(M, Preconditioner):
        raise TypeError(f"M must be a vorlane.Preconditioner or None, got {describe(M)}")
    if M.n != n:
        raise ValueError(f"M was built for a matrix of dimension {M.n}, not {n}")
    return M._factor


def solve(
    A: object,
    b: object,
    *,
    rtol: Optional[float] = None,
    atol: float = 0.0,
    tol: Optional[float] = None,
    maxiter: Optional[int] = None,
    seed: int = 0,
    split: Optional[int] = None,
    x0: object = None,
    callback: Optional[Callable[[np.ndarray], object]] = None,
    M: object = None,
    method: str = "auto",
    renumber: Union[bool, str] = "auto",
    precision: str = "mixed",
    order: Union[str, Rounds] = "sequential",
    threads: Optional[int] = None,
    verbose: Optional[bool] = None,
) -> "tuple[np.ndarray, SolveInfo]":
    """Solve A x = b for a symmetric Laplacian or SDDM matrix A.

    Runs conjugate gradients preconditioned by a vorlane factor (or, while that is
    cheaper, by the diagonal of A) until ``||b - A x|| <= max(rtol * ||b||, atol)`` in
    each column, as SciPy's ``cg`` does.

    Args:
        A: a scipy.sparse matrix or array, square, real and symmetric, with off-diagonal
            entries <= 0 and rows that are diagonally dominant.
        b: right-hand side of shape ``(n,)``, or ``(n, k)`` for k systems solved together.
            When A is singular (a Laplacian), each column must sum to zero over each
            connected component without diagonal excess.
        rtol: relative residual to reach, per column; None means 1e-8.
        atol: absolute residual that suffices, per column (0 by default).
        tol: the former name of ``rtol``, still accepted (give one or the other).
        maxiter: most iterations to run; None means 1000, 0 returns the starting guess.
        seed: seed of the randomized factorization (0 to 2**64 - 1).
        split: number of copies each edge is split into (None for no splitting).
        x0: starting guess, of the shape of ``b``.
        callback: called as ``callback(xk)`` after each iteration with the current
            iterate, a read-only array of the shape of ``b``.
        M: a :class:`vorlane.Preconditioner` built earlier for A or a matrix like it of
            the same size; it is used instead of factorizing A.
        method: ``"auto"`` starts with the diagonal (Jacobi) preconditioner and factorizes
            once that is predicted to be cheaper overall; ``"factor"`` and ``"jacobi"``
            use one preconditioner throughout.
        renumber: whether the factorization renumbers A first, as for
            :class:`vorlane.Preconditioner`: ``"auto"`` when A's numbering lacks locality
            and reverse Cuthill-McKee restores it, ``True`` always, ``False`` never. The
            solution is in A's numbering either way.
        precision: how the factor's applies store it, as for
            :class:`vorlane.Preconditioner`: ``"mixed"`` (the default: single-precision
            multipliers) or ``"double"``. Ignored when ``M`` is given (M's own precision applies).
        order: the elimination order of the factorization: ``"sequential"`` (the
            default: one vertex at a time, the same factor on every machine and release),
            ``"rounds"`` or a :class:`vorlane.Rounds` (the parallel order, on ``threads``
            threads: the same factor for any number of threads, but not the sequential one).
        threads: threads the factorization (in the parallel order) and the iteration (its
            products with A, vector updates and, for a parallel-order factor, the factor's
            applies) may use; None (the default) means every core this process may run on.
            The result is the same, bit for bit, for any number of threads.
        verbose: progress on stderr once the solve has run for a second: a line rewritten
            in place (erased at the end) on a terminal, else a line per second. ``True``
            reports anywhere and ends with a line giving the outcome; ``False`` prints
            nothing; None (the default) reports on a terminal only.

    Returns:
        ``(x, info)``: the solution as a float64 array of the shape of ``b`` and a
        :class:`SolveInfo`. For a singular A, x has zero mean on every component without
        diagonal excess. Not converging is reported in ``info``, not raised.

    Raises:
        TypeError: A is not a real scipy.sparse matrix; b or x0 is not a real dense array;
            an option has the wrong type.
        ValueError: A is not square, symmetric, finite or SDDM; b or x0 has the wrong
            shape or non-finite entries; b has a part in the null space of A that alone
            exceeds tol; M was built for another dimension; an option is out of range.
    """
    if tol is not None and rtol is not None:
        raise TypeError("give rtol or its former name tol, not both")
    if rtol is None and tol is None:
        rtol = DEFAULT_RTOL
    else:
        rtol = check_tol(rtol, "rtol") if tol is None else check_tol(tol, "tol")
    atol = check_nonnegative(atol, "atol")
    if verbose is not None and not isinstance(verbose, (bool, np.bool_)):
        raise TypeError(f"verbose must be True, False or None, got {describe(verbose)}")
    cap = check_maxiter(maxiter)
    seed = check_seed(seed)
    split = check_split(split)
    method = check_method(method)
    renumber = check_renumber(renumber)
    precision = check_precision(precision)
    rounds = check_order(order)
    threads = check_threads(threads)
    if callback is not None and not callable(callback):
        raise TypeError(f"callback must be callable, got {describe(callback)}")
    if M is not None and method == "jacobi":
        raise ValueError("method='jacobi' does not use M; pass one or the other")
    start = time.perf_counter()
    system = check_matrix(A)
    n = int(system.n)
    B, shape = as_block(b, "b", n)
    X0 = None
    if x0 is not None:
        X0, guess_shape = as_block(x0, "x0", n)
        if X0.shape != B.shape:
            raise ValueError(f"x0 must have the shape of b, {shape}, got {guess_shape}")
    factor = None if M is None else _check_preconditioner(M, n)
    if factor is not None:
        method = "factor"
    check_seconds = time.perf_counter() - start

    snapshot = None
    hooks = []
    if callback is not None:
        snapshot = np.empty_like(B)

        def call_back(iteration: int, residual: float) -> None:
            current = snapshot.reshape(shape).copy()
            current.flags.writeable = False
            callback(current)

        hooks.append(call_back)
    progress = DelayedLine(sys.stderr, verbose, delay=1.0, interval=1.0)
    if progress.on:

        def report(iteration: int, residual: float) -> None:
            progress.show(
                lambda elapsed: f"vorlane.solve: iteration {iteration}, relative residual {residual:.2e}, "
                f"{elapsed:.1f} s"
            )

        hooks.append(report)

    def notify(iteration: int, residual: float) -> None:
        for hook in hooks:
            hook(iteration, residual)

    try:
        result = run(
            system, B, tol=rtol, atol=atol, maxiter=cap, method=method, seed=seed, split=split,
            renumber=renumber, precision=precision, order=engine_order(rounds, threads), threads=threads,
            factor=factor, X0=X0,
            notify=notify if hooks else None, snapshot=snapshot,
        )
    finally:
        progress.finish()
    if verbose:
        sys.stderr.write(f"vorlane.solve: {result.message} ({time.perf_counter() - start:.1f} s)\n")
        sys.stderr.flush()
    vector = len(shape) == 1 or B.shape[1] == 1 and len(shape) == 2 and shape[1] == 1
    info = SolveInfo(
        converged=result.converged,
        iterations=int(result.iterations[0]) if vector else result.iterations,
        jacobi_iterations=int(result.jacobi_iterations[0]) if vector else result.jacobi_iterations,
        residual=float(result.residual[0]) if vector else result.residual,
        factor_seconds=check_seconds + result.factor_seconds,
        solve_seconds=result.solve_seconds,
        singular=bool(system.singular),
        message=result.message,
        method=result.method,
        residuals=result.residuals[0] if vector else result.residuals,
    )
    return result.x.reshape(shape), info

