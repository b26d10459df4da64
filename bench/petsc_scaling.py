"""Iterations and times of PETSc KSP CG with vorlane and peer preconditioners, per rank count.

    mpiexec -n P python bench/petsc_scaling.py [--size2d M] [--size3d M] [--graphs N]
        [--problems NAME...] [--only NAME...]

Run with the interpreter of tools/petsc-env.sh. The grids are grounded (boundary vertices
tied to ground with weight 1), with unit weights or weights 10^U[-4,4]; the graphs are a
power-law graph and an expander (Laplacians, with the constant null space attached). The
right-hand side is standard normal (seed 1; zero sum for a Laplacian); CG runs to a true
relative residual of 1e-8. Rank 0 prints one tab-separated row per problem and
preconditioner: problem, ranks, method, iterations, reason, residual, setup and solve
seconds, the interface's rows and rounds (global mode), and the largest peak resident
memory of a rank in MB.
"""

from __future__ import annotations

import argparse
import resource
import sys
import time

import petsc4py

petsc4py.init(sys.argv[:1])

import numpy as np  # noqa: E402
from petsc4py import PETSc  # noqa: E402

from vorlane import _problems  # noqa: E402

COMM = PETSc.COMM_WORLD
VORLANE = "python -pc_python_type vorlane.petsc.Preconditioner"
SUB_VORLANE = "-sub_ksp_type preonly -sub_pc_type python -sub_pc_python_type vorlane.petsc.Preconditioner"
METHODS = {
    # One factor of the whole matrix over the ranks (the default), and one per rank's block.
    "vorlane global": f"-pc_type {VORLANE}",
    "vorlane global moved": f"-pc_type {VORLANE} -vorlane_partition",
    "vorlane bjacobi": f"-pc_type {VORLANE} -vorlane_mode block",
    "vorlane asm1": f"-pc_type asm -pc_asm_type basic -pc_asm_overlap 1 {SUB_VORLANE}",
    "vorlane asm2": f"-pc_type asm -pc_asm_type basic -pc_asm_overlap 2 {SUB_VORLANE}",
    "icc bjacobi": "-pc_type bjacobi -sub_pc_type icc",
    # Exact block solves: what block Jacobi itself costs, whatever the block solver.
    "cholesky bjacobi": "-pc_type bjacobi -sub_pc_type cholesky",
    "icc asm1": "-pc_type asm -pc_asm_type basic -pc_asm_overlap 1 -sub_pc_type icc",
    "icc asm2": "-pc_type asm -pc_asm_type basic -pc_asm_overlap 2 -sub_pc_type icc",
    "boomeramg": "-pc_type hypre -pc_hypre_type boomeramg",
    # Block Jacobi plus one algebraic-multigrid V-cycle as an additive coarse correction.
    "vorlane+gamg": "-pc_type composite -pc_composite_type additive -pc_composite_pcs python,gamg "
    "-sub_0_pc_python_type vorlane.petsc.Preconditioner",
    "vorlane+boomeramg": "-pc_type composite -pc_composite_type additive "
    "-pc_composite_pcs python,hypre -sub_0_pc_python_type vorlane.petsc.Preconditioner "
    "-sub_1_pc_hypre_type boomeramg",
    # The same two, applied one after the other and back (symmetric, so CG applies).
    "vorlane*boomeramg": "-pc_type composite -pc_composite_type symmetric_multiplicative "
    "-pc_composite_pcs python,hypre -sub_0_pc_python_type vorlane.petsc.Preconditioner "
    "-sub_1_pc_hypre_type boomeramg",
}


def grid(shape, contrast):
    """Grounded grid of the given shape (2 or 3 dimensions), weights 10^U[-4,4] when contrast
    is set."""
    return _problems.grid(shape, weights="log-uniform" if contrast else "unit", grounded=True, seed=7)


def distribute(A):
    """A as a PETSc matrix with PETSc's row split, and a right-hand side; a Laplacian gets
    the constant null space and a right-hand side of zero sum."""
    n = A.shape[0]
    layout = PETSc.Vec().createMPI(n, comm=COMM)
    r0, r1 = layout.getOwnershipRange()
    layout.destroy()
    lo, hi = A.indptr[r0], A.indptr[r1]
    csr = (A.indptr[r0 : r1 + 1] - lo, A.indices[lo:hi], A.data[lo:hi])
    M = PETSc.Mat().createAIJ(((r1 - r0, n), (r1 - r0, n)), csr=csr, comm=COMM)
    M.assemble()
    b = M.createVecLeft()
    values = np.random.default_rng(1).standard_normal(n)
    if abs(A.sum()) <= 1e-9 * abs(A.diagonal()).sum():
        values -= values.mean()
        M.setNullSpace(PETSc.NullSpace().create(constant=True, comm=COMM))
    b.setArray(values[r0:r1])
    return M, b


def run(M, b, options, prefix):
    words = options.split()
    opts = PETSc.Options()
    keys = []
    i = 0
    while i < len(words):
        key = prefix + words[i].lstrip("-")
        value = words[i + 1] if i + 1 < len(words) and not words[i + 1].startswith("-") else ""
        opts[key] = value
        keys.append(key)
        i += 2 if value else 1
    ksp = PETSc.KSP().create(comm=COMM)
    ksp.setOptionsPrefix(prefix)
    ksp.setOperators(M)
    ksp.setType("cg")
    ksp.setNormType(PETSc.KSP.NormType.UNPRECONDITIONED)
    ksp.setTolerances(rtol=1e-8, atol=0.0, max_it=5000)
    ksp.setFromOptions()
    x = M.createVecRight()
    COMM.barrier()
    start = time.perf_counter()
    ksp.setUp()
    ksp.getPC().setUpOnBlocks()
    setup = time.perf_counter() - start
    start = time.perf_counter()
    ksp.solve(b, x)
    solve = time.perf_counter() - start
    r = b.duplicate()
    M.mult(x, r)
    r.aypx(-1.0, b)
    residual = r.norm() / b.norm()
    interface = levels = "-"
    pc = ksp.getPC()
    if pc.getType() == "python":
        spread = pc.getPythonContext().spread
        if spread is not None and COMM.getRank() == 0:
            interface, levels = spread.interface_total, spread.levels
    result = (ksp.getIterationNumber(), ksp.getConvergedReason(), residual, setup, solve, interface, levels)
    for key in keys:
        del opts[key]
    ksp.destroy()
    x.destroy()
    r.destroy()
    return result


def largest(value):
    """The largest of a value over the ranks."""
    vec = PETSc.Vec().createMPI((1, PETSc.DECIDE), comm=COMM)
    vec.set(value)
    out = vec.max()[1]
    vec.destroy()
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size2d", type=int, default=400)
    parser.add_argument("--size3d", type=int, default=40)
    parser.add_argument("--graphs", type=int, default=100_000, help="vertices of the power-law graph and expander")
    parser.add_argument("--only", nargs="*", help="preconditioners to run (default all)")
    parser.add_argument("--problems", nargs="*", help="of 2d, 3d, contrast, power-law, expander (default all)")
    args = parser.parse_args()
    problems = {
        "2d": (f"2D {args.size2d}^2", lambda: grid((args.size2d, args.size2d), False)),
        "3d": (f"3D {args.size3d}^3", lambda: grid((args.size3d,) * 3, False)),
        "contrast": (f"2D {args.size2d}^2 contrast", lambda: grid((args.size2d, args.size2d), True)),
        "power-law": (f"power law {args.graphs}", lambda: _problems.power_law(args.graphs, seed=3)),
        "expander": (f"expander {args.graphs}", lambda: _problems.expander(args.graphs, seed=3)),
    }
    size = COMM.getSize()
    for key, (problem, build) in problems.items():
        if args.problems and key not in args.problems:
            continue
        M, b = distribute(build())
        for k, (method, options) in enumerate(METHODS.items()):
            if args.only and method not in args.only:
                continue
            its, reason, residual, setup, solve, interface, levels = run(M, b, options, f"m{k}_")
            peak = largest(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
            if COMM.getRank() == 0:
                print(
                    f"{problem}\t{size}\t{method}\t{its}\t{reason}\t{residual:.1e}\t"
                    f"{setup:.2f}\t{solve:.2f}\t{interface}\t{levels}\t{peak:.0f}",
                    flush=True,
                )
        M.destroy()
        b.destroy()


if __name__ == "__main__":
    main()
