"""``vorlane solve FILE.mtx --petsc``: the solve command across the ranks of mpiexec.

Rank 0 reads and checks the matrix and the right-hand side and hands each rank its rows
through PETSc scatters; KSP CG with this package's preconditioner (one factor per rank)
solves; rank 0 gathers the solution and prints the report.
"""

from __future__ import annotations

import sys
import time
from typing import Any, Callable, List, Optional

import numpy as np

from .._limits import EXIT_ERROR, EXIT_NOT_CONVERGED
from .._report import print_report, system_kind


class _PeerFailed(Exception):
    """Rank 0 failed and reports why; the other ranks leave quietly."""


def run_solve(args: Any, check_output_path: Callable[[str], None]) -> int:
    try:
        import petsc4py
    except ImportError as exc:
        raise ImportError(
            f"--petsc needs petsc4py ({exc}); tools/petsc-env.sh makes an environment with it"
        ) from None
    petsc4py.init(sys.argv[:1])
    from petsc4py import PETSc

    comm = PETSc.COMM_WORLD
    root = comm.getRank() == 0
    try:
        return _solve(args, check_output_path, PETSc, comm, root)
    except _PeerFailed:
        return EXIT_ERROR


def _solve(args, check_output_path, PETSc, comm, root) -> int:
    from . import Preconditioner

    start = time.perf_counter()
    failure: Optional[BaseException] = None
    problem = matrix = b = None
    null_labels = null_counts = None
    rhs_text = ""
    if root:
        try:
            problem, matrix, b, rhs_text = _read(args, check_output_path, PETSc)
            null_labels, null_counts = _null_components(problem, matrix)
        except Exception as exc:  # raised by rank 0 once every rank knows
            failure = exc
    header = _broadcast(
        PETSc,
        comm,
        None if failure is not None or not root else [1.0, matrix.shape[0], null_counts.size],
        3,
    )
    if header[0] != 1.0:
        if failure is not None:
            raise failure
        raise _PeerFailed()
    n, components = int(header[1]), int(header[2])
    counts = _broadcast(PETSc, comm, null_counts if root else None, components)

    A, rhs, null_space = _distribute(PETSc, comm, matrix, b, n, null_labels, counts)
    read_seconds = time.perf_counter() - start

    ksp = PETSc.KSP().create(comm=comm)
    ksp.setOperators(A)
    ksp.setType("cg")
    ksp.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
    ksp.setTolerances(rtol=args.tol, atol=0.0, max_it=1000 if args.maxiter is None else args.maxiter)
    pc = ksp.getPC()
    pc.setType("python")
    pc.setPythonContext(Preconditioner(seed=args.seed, split=args.split))
    ksp.setFromOptions()
    begin = time.perf_counter()
    ksp.setUp()
    factor_seconds = time.perf_counter() - begin
    x = A.createVecRight()
    begin = time.perf_counter()
    ksp.solve(rhs, x)
    solve_seconds = time.perf_counter() - begin
    iterations = ksp.getIterationNumber()
    reason = ksp.getConvergedReason()
    context = pc.getPythonContext()
    steps = _sum(PETSc, comm, context.local.steps if context.local is not None else 0)
    spread = context.spread
    if spread is not None:
        ranks_text = f"{comm.getSize()} (PETSc KSP CG, one vorlane factor over all ranks)"
        factor_text = (
            f"interiors on every rank, an interface of {spread.interface_total} rows in "
            f"{spread.levels} rounds on rank 0"
        )
    else:
        ranks_text = f"{comm.getSize()} (PETSc KSP CG, one vorlane factor per rank)"
        factor_text = f"{comm.getSize()} blocks, {steps} elimination steps"
    solution = _gather(PETSc, x)
    for obj in (ksp, x, rhs, A) + ((null_space,) if null_space is not None else ()):
        obj.destroy()
    if not root:
        return 0

    solution = np.ascontiguousarray(solution, dtype=np.float64).reshape(-1, 1)
    problem.project(solution, 1)
    solution = solution.reshape(-1)
    bnorm = float(np.linalg.norm(b))
    residual = float(np.linalg.norm(b - matrix @ solution)) / bnorm if bnorm > 0 else 0.0
    converged = reason > 0 and residual <= args.tol
    if args.out is not None:
        from .._mmio import write_vector

        write_vector(args.out, solution)
    kind = system_kind(problem.singular)
    outcome = "yes" if converged else f"no: PETSc reason {reason}"
    lines = [
        ("matrix", args.matrix),
        ("dimension", f"{n}"),
        ("nonzeros", f"{problem.nnz}"),
        ("system", kind),
        ("rhs", rhs_text),
        ("ranks", ranks_text),
        ("read time", f"{read_seconds:.3f} s"),
        ("factor time", f"{factor_seconds:.3f} s"),
        ("factor", factor_text),
        ("solve time", f"{solve_seconds:.3f} s"),
        ("iterations", f"{iterations}"),
        ("residual", f"{residual:.3e} (relative; tol {args.tol:g})"),
        ("converged", outcome),
        ("total time", f"{time.perf_counter() - start:.3f} s"),
    ]
    print_report(lines, args.out)
    if not converged:
        print(f"vorlane: did not converge: PETSc reason {reason} (residual {residual:.3e})",
              file=sys.stderr)
        return EXIT_NOT_CONVERGED
    return 0


def _read(args: Any, check_output_path: Callable[[str], None], PETSc: Any):
    """Rank 0's share: the checked matrix (canonical CSR), the right-hand side and its
    description, exactly as the serial command reads them."""
    import scipy.sparse as sparse

    from .._checks import check_consistent, check_matrix, check_seed, check_split
    from .._mmio import read_matrix_market, read_rhs

    if args.out is not None:
        check_output_path(args.out)
    check_seed(args.seed)
    check_split(args.split)
    if getattr(args, "graph", False):
        from ..graph._cli import read_graph_laplacian

        matrix = read_graph_laplacian(args.matrix)
    else:
        matrix = read_matrix_market(args.matrix)
    try:
        problem = check_matrix(matrix)
    except ValueError as exc:
        raise ValueError(f"{args.matrix}: {exc}") from None
    csr = sparse.csr_matrix(matrix, dtype=np.float64)
    csr.sum_duplicates()
    csr.sort_indices()
    limit = int(np.iinfo(PETSc.IntType).max)
    if csr.nnz > limit:
        raise ValueError(
            f"{args.matrix}: {csr.nnz} nonzeros exceed this PETSc build's index range ({limit})"
        )
    n = csr.shape[0]
    if args.rhs is not None:
        block = read_rhs(args.rhs, n)
        if block.shape[1] != 1:
            raise ValueError(
                f"{args.rhs}: --petsc solves one right-hand side, and this file holds "
                f"{block.shape[1]} columns: solve them together without --petsc, or one per run"
            )
        b = block.reshape(n)
        check_consistent(problem, b.reshape(n, 1), args.tol)
        rhs_text = args.rhs
    else:
        b = csr @ np.random.default_rng(0).standard_normal(n)
        rhs_text = "A x* for random x* (normal, seed 0)"
    return problem, csr, np.asarray(b, dtype=np.float64), rhs_text


# Components without ground give the operator one null vector each; each of them is
# attached to the PETSc operator, so more than this many are refused.
MAX_NULL_COMPONENTS = 64


def _null_components(problem: Any, matrix: Any):
    """Per row, the index of its component without ground (-1 for grounded ones), and the
    size of each such component."""
    from scipy.sparse.csgraph import connected_components

    n = matrix.shape[0]
    # The solver's own projection zeroes exactly the rows of components without ground.
    ones = np.ones((n, 1))
    problem.project(ones, 1)
    null_rows = ones[:, 0] == 0.0
    labels = np.full(n, -1, dtype=np.int64)
    if null_rows.any():
        _, components = connected_components(matrix, directed=False)
        ids, labels[null_rows] = np.unique(components[null_rows], return_inverse=True)
        if ids.size > MAX_NULL_COMPONENTS:
            raise ValueError(
                f"the matrix has {ids.size} connected components without ground; --petsc "
                f"handles at most {MAX_NULL_COMPONENTS}"
            )
    counts = np.bincount(labels[labels >= 0], minlength=0).astype(np.float64)
    return labels, counts


def _broadcast(PETSc: Any, comm: Any, values: Optional[List[float]], length: int) -> np.ndarray:
    """Rank 0's `length` values on every rank (None on rank 0 sends NaN)."""
    vec = PETSc.Vec().createMPI((length, PETSc.DECIDE), comm=comm)
    if comm.getRank() == 0:
        row = np.full(length, np.nan) if values is None else np.asarray(values, dtype=float)
        everything = np.tile(row, comm.getSize())
        vec.setValues(np.arange(everything.size, dtype=PETSc.IntType), everything)
    vec.assemble()
    received = vec.getArray().copy()
    vec.destroy()
    return received


def _from_root(PETSc: Any, vec: Any, values: Optional[np.ndarray]) -> np.ndarray:
    """Fill the distributed vec from the whole array held by rank 0; the local part."""
    scatter, whole = PETSc.Scatter.toZero(vec)
    if values is not None:
        whole.setArray(np.asarray(values, dtype=np.float64))
    scatter.scatter(whole, vec, PETSc.InsertMode.INSERT, PETSc.ScatterMode.REVERSE)
    scatter.destroy()
    whole.destroy()
    return vec.getArray().copy()


def _distribute(PETSc, comm, matrix, b, n, null_labels, counts):
    """Each rank's rows of A, its part of b, and the null space of A (or None)."""
    root = comm.getRank() == 0
    rows = PETSc.Vec().createMPI(n, comm=comm)
    lengths = _from_root(PETSc, rows, np.diff(matrix.indptr) if root else None)
    local_nnz = int(lengths.sum())
    entries = PETSc.Vec().createMPI((local_nnz, PETSc.DECIDE), comm=comm)
    columns = _from_root(PETSc, entries, matrix.indices if root else None)
    values = _from_root(PETSc, entries, matrix.data if root else None)
    entries.destroy()
    labels = _from_root(PETSc, rows, null_labels if root else None) if counts.size else None

    local = rows.getLocalSize()
    indptr = np.zeros(local + 1, dtype=PETSc.IntType)
    indptr[1:] = np.cumsum(lengths.astype(np.int64))
    A = PETSc.Mat().createAIJ(
        ((local, n), (local, n)),
        csr=(indptr, columns.astype(PETSc.IntType), values),
        comm=comm,
    )
    A.assemble()
    rhs = rows.duplicate()
    rhs.setArray(_from_root(PETSc, rows, b if root else None))
    null_space = None
    if labels is not None:
        basis = []
        for j, count in enumerate(counts):
            vector = rows.duplicate()
            vector.setArray(np.where(labels == j, 1.0 / np.sqrt(count), 0.0))
            basis.append(vector)
        null_space = PETSc.NullSpace().create(vectors=basis, comm=comm)
        A.setNullSpace(null_space)
        for vector in basis:
            vector.destroy()
    rows.destroy()
    return A, rhs, null_space


def _gather(PETSc: Any, x: Any) -> Optional[np.ndarray]:
    scatter, whole = PETSc.Scatter.toZero(x)
    scatter.scatter(x, whole, PETSc.InsertMode.INSERT, PETSc.ScatterMode.FORWARD)
    values = whole.getArray().copy() if x.getComm().getRank() == 0 else None
    scatter.destroy()
    whole.destroy()
    return values


def _sum(PETSc: Any, comm: Any, value: float) -> int:
    vec = PETSc.Vec().createMPI((1, PETSc.DECIDE), comm=comm)
    vec.set(float(value))
    total = vec.sum()
    vec.destroy()
    return int(total)
