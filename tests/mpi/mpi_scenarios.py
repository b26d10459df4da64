"""Scenarios for vorlane.petsc, run by every rank under mpiexec.

    mpiexec -n P python mpi_scenarios.py NAME...

Rank 0 prints one line "NAME ok: DETAILS" per scenario that passes; a failing check raises
and ends the run with a non-zero status.
"""

from __future__ import annotations

import sys
from pathlib import Path

import petsc4py

petsc4py.init(sys.argv[:1])

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402
from petsc4py import PETSc  # noqa: E402

import vorlane  # noqa: E402
from vorlane import _problems as problems  # noqa: E402
from vorlane.petsc import Preconditioner  # noqa: E402
from vorlane.petsc._block import LocalFactor  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from ranks import simulated_solve  # noqa: E402

COMM = PETSc.COMM_WORLD
RANK, SIZE = COMM.getRank(), COMM.getSize()
VORLANE = "-pc_type python -pc_python_type vorlane.petsc.Preconditioner"


def grounded_grid(m, contrast=False):
    """m x m grid, boundary vertices grounded with weight 1; weights 10^U[-4,4] when
    contrast is set."""
    return problems.grid((m, m), weights="log-uniform" if contrast else "unit", grounded=True, seed=7)


def distribute(A, rows=None):
    """The global scipy matrix A as a PETSc AIJ matrix, rows split by PETSc or, given
    rows, this rank owning that many."""
    n = A.shape[0]
    layout = PETSc.Vec().createMPI(n if rows is None else (rows, n), comm=COMM)
    r0, r1 = layout.getOwnershipRange()
    layout.destroy()
    lo, hi = A.indptr[r0], A.indptr[r1]
    csr = (A.indptr[r0 : r1 + 1] - lo, A.indices[lo:hi], A.data[lo:hi])
    M = PETSc.Mat().createAIJ(((r1 - r0, n), (r1 - r0, n)), csr=csr, comm=COMM)
    M.assemble()
    return M


def gather(x):
    scatter, whole = PETSc.Scatter.toZero(x)
    scatter.scatter(x, whole)
    values = whole.getArray().copy() if RANK == 0 else None
    scatter.destroy()
    whole.destroy()
    return values


def krylov(M, options, prefix):
    """A CG solver on M to a true relative residual of 1e-8, configured by options."""
    opts = PETSc.Options()
    for key, value in _pairs(options):
        opts[prefix + key] = value
    ksp = PETSc.KSP().create(comm=COMM)
    ksp.setOptionsPrefix(prefix)
    ksp.setOperators(M)
    ksp.setType("cg")
    ksp.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
    ksp.setTolerances(rtol=1e-8, atol=0.0, max_it=2000)
    ksp.setFromOptions()
    return ksp


def _pairs(options):
    words = options.split()
    i = 0
    while i < len(words):
        key = words[i].lstrip("-")
        if i + 1 < len(words) and not words[i + 1].startswith("-"):
            yield key, words[i + 1]
            i += 2
        else:
            yield key, ""
            i += 1


def solve(M, b, options, prefix):
    ksp = krylov(M, options, prefix)
    x = M.createVecRight()
    ksp.solve(b, x)
    r = b.duplicate()
    M.mult(x, r)
    r.aypx(-1.0, b)
    residual = r.norm() / b.norm()
    result = (ksp.getConvergedReason(), ksp.getIterationNumber(), residual, x, ksp)
    return result


def global_rhs(n):
    return np.random.default_rng(1).standard_normal(n)


def rhs(M):
    b = M.createVecLeft()
    r0, r1 = b.getOwnershipRange()
    b.setArray(global_rhs(M.getSize()[0])[r0:r1])
    return b


def report(name, text):
    if RANK == 0:
        print(f"{name} ok: {text}", flush=True)


def check(condition, message):
    if not condition:
        raise AssertionError(f"rank {RANK}: {message}")


# Scenarios ---------------------------------------------------------------------------------


def grids():
    """Both grids converge to 1e-8 in fewer iterations than ICC(0) blocks and match a serial
    vorlane.solve."""
    for name, A in (("unit", grounded_grid(48)), ("contrast", grounded_grid(48, True))):
        M = distribute(A)
        b = rhs(M)
        reason, its, residual, x, _ = solve(M, b, VORLANE, f"g{name}_")
        check(reason > 0 and residual <= 1e-8, f"{name}: reason {reason}, residual {residual}")
        _, icc_its, _, _, _ = solve(M, b, "-pc_type bjacobi -sub_pc_type icc", f"i{name}_")
        check(its < icc_its, f"{name}: {its} iterations, not fewer than ICC(0)'s {icc_its}")
        whole = gather(x)
        if RANK == 0:
            serial, info = vorlane.solve(A, global_rhs(A.shape[0]), tol=1e-10)
            error = np.linalg.norm(whole - serial) / np.linalg.norm(serial)
            check(info.converged and error <= 1e-6, f"{name}: differs from serial by {error}")
        report("grids", f"{name} {its} iterations, ICC(0) blocks {icc_its}")


def laplacian():
    """A pure Laplacian with the constant null space attached converges."""
    A = grounded_grid(32)
    A = (A - sp.diags(np.asarray(A.sum(axis=1)).ravel())).tocsr()
    M = distribute(A)
    M.setNullSpace(PETSc.NullSpace().create(constant=True, comm=COMM))
    b = rhs(M)
    b.shift(-b.sum() / b.getSize())
    reason, its, residual, _, _ = solve(M, b, VORLANE, "lap_")
    check(reason > 0 and residual <= 1e-8, f"reason {reason}, residual {residual}")
    report("laplacian", f"{its} iterations, residual {residual:.2e}")


def refactorize():
    """New operator values, then a solve: the factor is rebuilt for the new values."""
    A = grounded_grid(32, True)
    M = distribute(A)
    b = rhs(M)
    ksp = krylov(M, VORLANE, "ref_")
    x = M.createVecRight()
    ksp.solve(b, x)
    first = built(ksp.getPC().getPythonContext())
    M.scale(1e3)
    M.shift(1.0)
    ksp.setOperators(M)
    ksp.solve(b, x)
    second = built(ksp.getPC().getPythonContext())
    r = b.duplicate()
    M.mult(x, r)
    r.aypx(-1.0, b)
    residual = r.norm() / b.norm()
    check(second is not first, "the factor was not rebuilt")
    check(ksp.getConvergedReason() > 0 and residual <= 1e-8, f"residual {residual}")
    report("refactorize", f"{ksp.getIterationNumber()} iterations after new values")


def schwarz():
    """As the block solver of PCBJACOBI and PCASM (overlap 1, symmetric): converges, and
    the overlap does not cost iterations."""
    M = distribute(grounded_grid(40, True))
    b = rhs(M)
    sub = "-sub_ksp_type preonly -sub_pc_type python -sub_pc_python_type vorlane.petsc.Preconditioner"
    counts = {}
    for kind, options in (
        ("bjacobi", f"-pc_type bjacobi {sub}"),
        ("asm", f"-pc_type asm -pc_asm_overlap 1 -pc_asm_type basic {sub}"),
    ):
        reason, its, residual, _, _ = solve(M, b, options, f"s{kind}_")
        check(reason > 0 and residual <= 1e-8, f"{kind}: reason {reason}, residual {residual}")
        counts[kind] = its
    check(counts["asm"] <= counts["bjacobi"], f"overlap costs iterations: {counts}")
    report("schwarz", f"{counts}")


def options():
    """Seed and split from the options database, per-rank seeds, view, several columns."""
    M = distribute(grounded_grid(24, True))
    b = rhs(M)
    ksp = krylov(M, f"{VORLANE} -vorlane_seed 12345 -vorlane_split 2", "opt_")
    x = M.createVecRight()
    ksp.solve(b, x)
    pc = ksp.getPC()
    context = pc.getPythonContext()
    check(context.split == 2 and built(context).split == 2, "split option ignored")
    # One process factorizes with the seed itself; a factor over several uses it on all.
    check(built(context).seed == 12345, f"seed {built(context).seed}")
    viewer = PETSc.Viewer.ASCII("opt_view.txt", comm=COMM)
    pc.view(viewer)
    viewer.destroy()
    if RANK == 0:
        with open("opt_view.txt") as text:
            shown = text.read()
        check("seed 12345, split 2" in shown, f"view shows {shown!r}")
        check(all(f"[rank {r}] rows" in shown for r in range(SIZE)) or SIZE == 1, shown)
        check("whole interface" in shown or SIZE == 1, shown)

    r0, r1 = M.getOwnershipRange()
    n = M.getSize()[0]
    X = PETSc.Mat().createDense(((r1 - r0, n), (None, 3)), comm=COMM)
    X.setUp()
    X.getDenseArray()[:] = np.random.default_rng(RANK).standard_normal((r1 - r0, 3))
    X.assemble()
    Y = X.duplicate()
    pc.matApply(X, Y)
    for j in range(3):
        column, out = X.getColumnVector(j), M.createVecLeft()
        pc.apply(column, out)
        gap = np.abs(out.getArray() - Y.getDenseArray()[:, j]).max()
        check(gap == 0.0, f"column {j} differs by {gap}")
    bad = Preconditioner()
    for option, value in (("vorlane_seed", "-1"), ("vorlane_split", "0")):
        PETSc.Options()[f"bad_{option}"] = value
        sub = PETSc.PC().create(comm=COMM)
        sub.setOptionsPrefix("bad_")
        sub.setType("python")
        sub.setPythonContext(bad)
        try:
            sub.setFromOptions()
        except (PETSc.Error, ValueError):
            pass
        else:
            raise AssertionError(f"{option} {value} accepted")
        del PETSc.Options()[f"bad_{option}"]
    report("options", "seed, split, view and several columns")


def not_sddm():
    """A positive off-diagonal entry inside the last rank's block: an error on every rank
    with the PC as preconditioner, a failed solve on every rank as a block solver."""
    A = grounded_grid(16).tolil()
    n = A.shape[0]
    i = n - 2
    A[i, i + 1] = A[i + 1, i] = 0.5
    M = distribute(A.tocsr())
    b = rhs(M)
    # petsc4py re-raises the preconditioner's own exception through PETSc's error path;
    # every rank reports the failing rank and the entry.
    try:
        solve(M, b, VORLANE, "bad_")
    except (PETSc.Error, ValueError, RuntimeError) as exc:
        text = str(exc)
        caught = 1.0 if "not SDDM" in text and f"rank {SIZE - 1}" in text and f"({i}, {i + 1})" in text else 0.0
    else:
        caught = 0.0
    flags = PETSc.Vec().createMPI((1, PETSc.DECIDE), comm=COMM)
    flags.set(caught)
    check(flags.sum() == SIZE, f"{int(flags.sum())} of {SIZE} ranks raised")
    sub = "-sub_ksp_type preonly -sub_pc_type python -sub_pc_python_type vorlane.petsc.Preconditioner"
    # A block solver raises only when it is alone; among several ranks its failure ends
    # the iteration on all of them instead.
    try:
        reason, _, _, _, _ = solve(M, b, f"-pc_type bjacobi {sub}", "badsub_")
    except ValueError as exc:
        check(SIZE == 1 and "not SDDM" in str(exc), f"block solver raised {exc!r}")
        reason = "raised"
    else:
        check(SIZE > 1 and reason < 0, f"the block solver's failure gave reason {reason}")
    report("not_sddm", f"error on all {SIZE} ranks; block solver: {reason}")


def built(context):
    """The factor a PC context holds: its part of the whole factor, or its block's."""
    return context.spread if context.spread is not None else context.local


def spread():
    """The processes' factor solves as the same factor built in one process, for a grounded
    contrast grid and a Laplacian, and CG's iterations stay flat as ranks are added."""
    for name, A in (("contrast", grounded_grid(40, True)), ("laplacian", problems.grid((30, 30), seed=3))):
        M = distribute(A)
        b = rhs(M)
        ksp = krylov(M, VORLANE, f"sp{name}_")
        ksp.setUp()
        out = M.createVecLeft()
        ksp.getPC().apply(b, out)
        whole = gather(out)
        # Threads on rank 0 eliminate the same interface.
        threaded = krylov(M, f"{VORLANE} -vorlane_threads 3", f"spt{name}_")
        threaded.setUp()
        again = M.createVecLeft()
        threaded.getPC().apply(b, again)
        check(np.array_equal(again.getArray(), out.getArray()), f"{name}: threads change the solve")
        threaded.destroy()
        ownership = [int(r) for r in M.getOwnershipRanges()]
        if RANK == 0:
            full = global_rhs(A.shape[0])
            if SIZE == 1:
                expected = np.empty_like(full)
                LocalFactor(A.indptr, A.indices, A.data, seed=0).solve_into(full, expected)
            else:
                expected = simulated_solve(A, ownership, full, 0)
            gap = np.abs(whole - expected).max() / np.abs(expected).max()
            check(gap <= 1e-12, f"{name}: differs by {gap}")
        ksp.destroy()
    A = grounded_grid(48, True)
    its = {}
    M = distribute(A)
    b = rhs(M)
    _, its["here"], _, _, _ = solve(M, b, VORLANE, "flat_")
    _, its["block"], _, _, _ = solve(M, b, f"{VORLANE} -vorlane_mode block", "flatblock_")
    if RANK == 0:
        one = PETSc.Mat().createAIJ(A.shape, csr=(A.indptr, A.indices, A.data), comm=PETSc.COMM_SELF)
        ksp = PETSc.KSP().create(comm=PETSc.COMM_SELF)
        ksp.setOperators(one)
        ksp.setType("cg")
        ksp.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
        ksp.setTolerances(rtol=1e-8, atol=0.0, max_it=2000)
        ksp.getPC().setType("python")
        ksp.getPC().setPythonContext(Preconditioner())
        x = one.createVecRight()
        ksp.solve(_seq(global_rhs(A.shape[0])), x)
        its["one"] = ksp.getIterationNumber()
        check(its["here"] <= 1.3 * its["one"] + 1, f"iterations {its}")
    report("spread", f"same solve as in one process; iterations {its}")


def _seq(values):
    vec = PETSc.Vec().createSeq(values.size, comm=PETSc.COMM_SELF)
    vec.setArray(values)
    return vec


def shapes():
    """A rank with no rows, every row on the interface, and a Laplacian of two components
    that both span the ranks: setup succeeds and CG converges."""
    grid = grounded_grid(20)
    n = grid.shape[0]
    rows = 0 if RANK == SIZE - 1 and SIZE > 1 else (n // max(SIZE - 1, 1) + (RANK < n % max(SIZE - 1, 1)))
    M = distribute(grid, rows)
    reason, its, residual, _, _ = solve(M, rhs(M), VORLANE, "norows_")
    check(reason > 0 and residual <= 1e-8, f"no rows on a rank: reason {reason}, residual {residual}")
    # A complete graph: every row has columns on every rank.
    k = 30
    dense = sp.csr_matrix(-np.ones((k, k)) + np.diag(np.full(k, k + 1.0)))
    M = distribute(dense)
    reason, _, residual, _, _ = solve(M, rhs(M), VORLANE, "dense_")
    check(reason > 0 and residual <= 1e-8, f"all interface: reason {reason}, residual {residual}")
    # Two grids' Laplacians, their vertices interleaved so that each spans every rank.
    one = problems.grid((12, 12), seed=4)
    two = sp.block_diag([one, one]).tocsr()
    order = np.arange(two.shape[0]).reshape(2, -1).T.ravel()
    two = two[order][:, order].tocsr()
    M = distribute(two)
    component = (order >= one.shape[0]).astype(float)
    basis = []
    for indicator in (1.0 - component, component):
        vec = M.createVecLeft()
        r0, r1 = vec.getOwnershipRange()
        vec.setArray(indicator[r0:r1] / np.sqrt(indicator.sum()))
        basis.append(vec)
    M.setNullSpace(PETSc.NullSpace().create(vectors=basis, comm=COMM))
    b = rhs(M)
    full = global_rhs(two.shape[0])
    for indicator in (1.0 - component, component):
        full = full - indicator * (full @ indicator) / indicator.sum()
    r0, r1 = b.getOwnershipRange()
    b.setArray(full[r0:r1])
    reason, its, residual, _, _ = solve(M, b, VORLANE, "comp_")
    check(reason > 0 and residual <= 1e-8, f"two components: reason {reason}, residual {residual}")
    # Symmetric storage is read through an AIJ copy; the operator keeps its format.
    M = distribute(grounded_grid(12))
    M.setOption(PETSc.Mat.Option.SYMMETRIC, True)
    stored = M.convert("sbaij", PETSc.Mat())
    kind = stored.getType()
    reason, _, residual, _, _ = solve(stored, rhs(M), VORLANE, "sbaij_")
    check(reason > 0 and residual <= 1e-8, f"symmetric storage: reason {reason}, residual {residual}")
    check(stored.getType() == kind, f"the operator became {stored.getType()} (was {kind})")
    report("shapes", f"no rows, all interface, two components ({its} iterations), symmetric storage")


def moved():
    """A grid numbered at random, so that PETSc's row ownership has no locality: moving the
    rows by PT-Scotch shrinks the interface, and CG converges either way."""
    A = grounded_grid(40, True)
    order = np.random.default_rng(5).permutation(A.shape[0])
    M = distribute(A[order][:, order].tocsr())
    b = rhs(M)
    sizes = {}
    for flag in ("0", "1"):
        reason, its, residual, _, ksp = solve(M, b, f"{VORLANE} -vorlane_partition {flag}", f"mv{flag}_")
        check(reason > 0 and residual <= 1e-8, f"partition {flag}: reason {reason}, residual {residual}")
        spread = ksp.getPC().getPythonContext().spread
        sizes[flag] = (its, None if spread is None else spread.interface_total)
        ksp.destroy()
    if SIZE > 1 and RANK == 0:
        check(sizes["1"][1] < sizes["0"][1] / 4, f"iterations and interface: {sizes}")
    report("moved", f"iterations and interface without and with PT-Scotch: {sizes}")


SCENARIOS = {f.__name__: f for f in (grids, laplacian, refactorize, schwarz, options, not_sddm, spread, shapes, moved)}

if __name__ == "__main__":
    for name in sys.argv[1:]:
        SCENARIOS[name]()
