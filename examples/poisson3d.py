"""A 3D Poisson problem solved with vorlane.solve, against PyAMG.

-laplace(u) = f on the unit cube with u = 0 on the boundary, discretized by the 7-point
stencil on an N x N x N grid of interior points: the matrix is SDDM (a grid Laplacian with
the boundary neighbours as ground). The script solves it with ``vorlane.solve`` and with
PyAMG's smoothed-aggregation and classical (Ruge-Stuben) multigrid as CG preconditioners,
all to the same relative residual, and prints setup and solve times and iterations.

    python examples/poisson3d.py [--size N] [--tol T]

Needs pyamg (in a clone of the repository, ``pip install ".[examples]"``).
"""

import argparse
import time

import numpy as np
import scipy.sparse as sp

import vorlane


def poisson3d(size):
    """The 7-point Laplacian of an N^3 grid with zero Dirichlet boundary, scaled by h^-2."""
    line = sp.diags([-1.0, 2.0, -1.0], [-1, 0, 1], shape=(size, size))
    eye = sp.identity(size)
    A = sp.kron(sp.kron(line, eye), eye) + sp.kron(sp.kron(eye, line), eye) + sp.kron(sp.kron(eye, eye), line)
    return (A * (size + 1) ** 2).tocsr()


def pyamg_solve(A, b, tol, kind):
    import pyamg

    start = time.perf_counter()
    if kind == "smoothed aggregation":
        hierarchy = pyamg.smoothed_aggregation_solver(A)
    else:
        hierarchy = pyamg.ruge_stuben_solver(A)
    setup = time.perf_counter() - start
    residuals = []
    start = time.perf_counter()
    x = hierarchy.solve(b, tol=tol, accel="cg", maxiter=1000, residuals=residuals)
    return x, setup, time.perf_counter() - start, len(residuals) - 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=100, help="grid points per side (default 100: 10^6 unknowns)")
    parser.add_argument("--tol", type=float, default=1e-8, help="relative residual (default 1e-8)")
    args = parser.parse_args()

    A = poisson3d(args.size)
    x_true = np.random.default_rng(0).standard_normal(A.shape[0])
    b = A @ x_true
    print(f"problem      {args.size}^3 = {A.shape[0]} unknowns, {A.nnz} nonzeros, tol {args.tol:g}")

    x, info = vorlane.solve(A, b, tol=args.tol)
    residual = np.linalg.norm(b - A @ x) / np.linalg.norm(b)
    total = info.total_seconds
    print(f"{'vorlane':<27} setup {info.factor_seconds:7.3f} s  solve {info.solve_seconds:7.3f} s  "
          f"total {total:7.3f} s  {int(info.iterations):4d} iterations  residual {residual:.1e}  "
          f"(preconditioner: {info.method})")
    for kind in ("smoothed aggregation", "classical"):
        x, setup, seconds, iterations = pyamg_solve(A, b, args.tol, kind)
        residual = np.linalg.norm(b - A @ x) / np.linalg.norm(b)
        print(f"{'PyAMG ' + kind:<27} setup {setup:7.3f} s  solve {seconds:7.3f} s  "
              f"total {setup + seconds:7.3f} s  {iterations:4d} iterations  residual {residual:.1e}  "
              f"({(setup + seconds) / total:.2f}x vorlane's time)")


if __name__ == "__main__":
    main()
