"""The demonstration problem: a 2D grid Laplacian with high-contrast random weights."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Optional, TextIO

import numpy as np

from . import _problems
from ._checks import check_csr
from ._progress import Progress
from ._solve import RunResult, run

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
    """Laplacian of the side-by-side grid graph, rows sorted, weights log-uniform (the shared
    benchmark grid recipe, without grounding)."""
    n, indptr, indices, data = _problems.arrays(
        "grid", (side, side), seed, weights="log-uniform", decades=DECADES / 2
    )
    return CsrArrays(indptr=indptr.astype(np.int64), indices=indices.astype(np.int32), data=data, shape=(n, n))


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
    start = time.perf_counter()
    system = check_csr(matrix.indptr, matrix.indices, matrix.data, n)
    check_seconds = time.perf_counter() - start
    b = np.random.default_rng(seed + 1).standard_normal(n)
    b -= b.mean()
    B = b.reshape(n, 1)

    rows = []
    progress.phase("CG with vorlane")
    result = run(system, B, tol=tol, maxiter=1000, method="factor", seed=seed, notify=progress.iteration)
    rows.append(Row("CG + vorlane", check_seconds + result.factor_seconds, result.solve_seconds, result))

    progress.phase("CG without preconditioner")
    result = run(
        system,
        B,
        tol=tol,
        maxiter=plain_maxiter,
        method="plain",
        notify=progress.iteration,
        time_limit=time_limit,
    )
    rows.append(Row("CG, no preconditioner", None, result.solve_seconds, result))
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
            f"{int(row.result.iterations[0]):>10} {float(row.result.residual[0]):>9.1e}  "
            f"{row.result.message}",
            file=out,
        )
    fast, plain = rows
    print(file=out)
    print(
        f"factor: {fast.result.factor.n_steps:,} elimination steps; preconditioned CG took "
        f"about {1000 * fast.solve / max(int(fast.result.iterations[0]), 1):.1f} ms per iteration",
        file=out,
    )
    if fast.result.converged and plain.result.converged:
        speedup = (plain.solve) / (fast.solve + (fast.setup or 0.0))
        print(f"vorlane was {speedup:.1f}x faster than plain CG overall", file=out)
    elif fast.result.converged:
        print(
            f"plain CG stopped after {int(plain.result.iterations[0])} iterations at residual "
            f"{float(plain.result.residual[0]):.1e}; vorlane reached "
            f"{float(fast.result.residual[0]):.1e} in {int(fast.result.iterations[0])}",
            file=out,
        )
    return 0 if fast.result.converged else 3
