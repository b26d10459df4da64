"""The demonstration problem: a 2D grid Laplacian with high-contrast random weights."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Callable, Optional, TextIO

import numpy as np

from ._progress import Progress
from ._solve import Problem, RunResult, make_config

# Edge weights are 10**u with u uniform in [-DECADES / 2, DECADES / 2].
DECADES = 6.0


@dataclass
class CsrArrays:
    """The attributes of a CSR matrix that ``factorize`` reads."""

    indptr: np.ndarray
    indices: np.ndarray
    data: np.ndarray
    shape: "tuple[int, int]"


def grid_laplacian(side: int, seed: int = 0) -> CsrArrays:
    """Laplacian of the side-by-side grid graph, rows sorted, weights log-uniform.

    Vertex (i, j) is numbered i * side + j; its row lists the neighbours above and to the
    left, itself, then the neighbours to the right and below, so columns come out sorted.
    """
    rng = np.random.default_rng(seed)
    n = side * side
    horizontal = 10.0 ** rng.uniform(-DECADES / 2, DECADES / 2, size=(side, side - 1))
    vertical = 10.0 ** rng.uniform(-DECADES / 2, DECADES / 2, size=(side - 1, side))
    around = np.zeros((side, side, 5))
    around[1:, :, 0] = vertical  # up
    around[:, 1:, 1] = horizontal  # left
    around[:, :-1, 3] = horizontal  # right
    around[:-1, :, 4] = vertical  # down
    weights = around.reshape(n, 5)
    vertex = np.arange(n, dtype=np.int64)
    columns = np.stack([vertex - side, vertex - 1, vertex, vertex + 1, vertex + side], axis=1)
    present = weights > 0
    present[:, 2] = True
    values = -weights
    values[:, 2] = weights.sum(axis=1)
    indptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(present.sum(axis=1), out=indptr[1:])
    return CsrArrays(
        indptr=indptr,
        indices=columns[present].astype(np.int32),
        data=values[present],
        shape=(n, n),
    )


def csr_matvec(matrix: CsrArrays) -> Callable[[np.ndarray], np.ndarray]:
    """y = A x, with scipy when it is installed and with NumPy alone otherwise."""
    try:
        import scipy.sparse as sparse
    except ImportError:
        n = matrix.shape[0]
        rows = np.repeat(np.arange(n), np.diff(matrix.indptr))
        indices, data = matrix.indices, matrix.data

        def product(x: np.ndarray) -> np.ndarray:
            return np.bincount(rows, weights=data * x[indices], minlength=n)

        return product
    csr = sparse.csr_matrix((matrix.data, matrix.indices, matrix.indptr), shape=matrix.shape)
    multiply: Callable[[np.ndarray], np.ndarray] = csr.__matmul__
    return multiply


@dataclass
class Row:
    name: str
    setup: Optional[float]
    solve: float
    result: RunResult


def run_demo(
    side: int,
    *,
    seed: int,
    tol: float,
    plain_maxiter: int,
    time_limit: float,
    out: TextIO,
    progress: Progress,
) -> int:
    """Solve the grid problem with and without the preconditioner and print a table.

    Returns 0 when the preconditioned solve converged, 3 otherwise.
    """
    n = side * side
    edges = 2 * side * (side - 1)
    print(
        f"vorlane demo: 2D grid Laplacian {side} x {side}: {n:,} unknowns, {edges:,} edges,\n"
        f"edge weights 10^u with u uniform in [{-DECADES / 2:g}, {DECADES / 2:g}] "
        f"(contrast 1e{DECADES:g}), random zero-mean right-hand side, tol {tol:g}",
        file=out,
    )
    out.flush()

    progress.phase("building the grid")
    matrix = grid_laplacian(side, seed)
    # A connected Laplacian: one component, no ground, constant null vector.
    problem = Problem(
        n,
        int(matrix.data.size),
        csr_matvec(matrix),
        matrix,
        labels=np.zeros(n, dtype=np.int64),
        null_components=np.array([True]),
    )
    b = np.random.default_rng(seed + 1).standard_normal(n)
    b -= b.mean()

    rows = []
    progress.phase("factorizing")
    start = time.perf_counter()
    factor = problem.factorize(make_config(seed, None))
    setup = time.perf_counter() - start
    progress.phase("CG with vorlane")
    start = time.perf_counter()
    result = problem.run(b, tol=tol, maxiter=1000, progress=progress.iteration)
    rows.append(Row("CG + vorlane", setup, time.perf_counter() - start, result))

    progress.phase("CG without preconditioner")
    start = time.perf_counter()
    result = problem.run(
        b,
        tol=tol,
        maxiter=plain_maxiter,
        preconditioned=False,
        progress=progress.iteration,
        time_limit=time_limit,
    )
    rows.append(Row("CG, no preconditioner", None, time.perf_counter() - start, result))
    progress.clear()

    print(file=out)
    print(
        f"{'method':<22} {'setup s':>8} {'solve s':>8} {'total s':>8} {'iterations':>10} "
        f"{'residual':>9}  result",
        file=out,
    )
    for row in rows:
        setup_text = "-" if row.setup is None else f"{row.setup:.2f}"
        total = row.solve + (row.setup or 0.0)
        print(
            f"{row.name:<22} {setup_text:>8} {row.solve:>8.2f} {total:>8.2f} "
            f"{row.result.iterations:>10} {row.result.residual:>9.1e}  {row.result.message}",
            file=out,
        )
    fast, plain = rows
    print(file=out)
    print(
        f"factor: {factor.n_steps:,} elimination steps; preconditioned CG took about "
        f"{1000 * fast.solve / max(fast.result.iterations, 1):.1f} ms per iteration",
        file=out,
    )
    if fast.result.converged and plain.result.converged:
        speedup = (plain.solve) / (fast.solve + (fast.setup or 0.0))
        print(f"vorlane was {speedup:.1f}x faster than plain CG overall", file=out)
    elif fast.result.converged:
        print(
            f"plain CG stopped after {plain.result.iterations} iterations at residual "
            f"{plain.result.residual:.1e}; vorlane reached {fast.result.residual:.1e} "
            f"in {fast.result.iterations}",
            file=out,
        )
    return 0 if fast.result.converged else 3
