"""The package's solve path against its peers, one problem at a time, all in one run.

    python bench/engine_bench.py [--quick] [--problems NAME,...]

For each problem: setup of vorlane.solve (checks plus factorization, via Preconditioner)
against a bare _vorlane.factorize; the factor path's cost per iteration against one factor
solve plus one product with A; totals of vorlane.solve (auto and forced paths) against
_vorlane.factorize + SciPy cg(M=factor), Jacobi-CG (SciPy) and PyAMG; 16 right-hand sides
against one; two threads solving two systems against one after the other. Prints a
Markdown table of figures and ratios (the ratios are what the targets speak of: this
machine is shared, so absolute times drift between runs).
"""

from __future__ import annotations

import os

# One BLAS thread: on a shared machine a threaded dot product can cost more than its vector.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import platform
import threading
import time

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402
import scipy.sparse.linalg as spla

import _vorlane
import problems as recipes
import vorlane

TOL = 1e-8


def timed(f):
    start = time.perf_counter()
    value = f()
    return value, time.perf_counter() - start


def scipy_cg(A, b, M=None):
    x, status = spla.cg(A, b, rtol=TOL, atol=0.0, maxiter=20000, M=M)
    return x, status


def jacobi(A):
    d = A.diagonal()
    inv = np.where(d > 0, 1.0 / np.where(d > 0, d, 1.0), 0.0)
    return spla.LinearOperator(A.shape, matvec=lambda r: inv * np.ravel(r), dtype=np.float64)


def pyamg_solve(A, b):
    import pyamg

    ml = pyamg.smoothed_aggregation_solver(A.tocsr())
    return ml.solve(b, tol=TOL, accel="cg", maxiter=500)


def measure(name, A, b, skip_pyamg=False):
    row = {"problem": name, "n": A.shape[0], "nnz": A.nnz}
    A = sp.csr_matrix(A)
    A.sort_indices()
    # Alternated and repeated, the best of each: the machine's load drifts.
    bare, setup = [], []
    for _ in range(2):
        factor, seconds = timed(lambda: _vorlane.factorize(A))
        bare.append(seconds)
        del factor
        M, seconds = timed(lambda: vorlane.Preconditioner(A))
        setup.append(seconds)
        del M
    factor = _vorlane.factorize(A)
    M = vorlane.Preconditioner(A)
    row["bare factorize"], row["setup"] = min(bare), min(setup)
    row["setup ratio"] = row["setup"] / row["bare factorize"]

    (_, info), _ = timed(lambda: vorlane.solve(A, b, M=M))
    per_iteration = info.solve_seconds / max(info.iterations, 1)
    _, solve_once = timed(lambda: [factor.solve(b) for _ in range(5)])
    _, product = timed(lambda: [A @ b for _ in range(5)])
    row["iteration ratio"] = per_iteration / ((solve_once + product) / 5)

    (_, auto), row["auto total"] = timed(lambda: vorlane.solve(A, b))
    row["auto method"] = auto.method
    (_, forced), row["factor total"] = timed(lambda: vorlane.solve(A, b, method="factor"))
    _, row["scipy cg(M=factor)"] = timed(lambda: scipy_cg(A, b, M=_vorlane.factorize(A)))
    # Jacobi-CG takes thousands of iterations on the large grids: compared on graphs only.
    nan = float("nan")
    row["jacobi total"] = row["scipy Jacobi-CG"] = nan
    if not name.startswith("grid"):
        _, row["jacobi total"] = timed(lambda: vorlane.solve(A, b, method="jacobi"))
        _, row["scipy Jacobi-CG"] = timed(lambda: scipy_cg(A, b, M=jacobi(A)))
    row["pyamg"] = float("nan")
    if not skip_pyamg:
        try:
            _, row["pyamg"] = timed(lambda: pyamg_solve(A, b))
        except ImportError:
            pass
    row["auto/factor"] = row["auto total"] / row["factor total"]
    row["auto/jacobi"] = row["auto total"] / np.fmin(row["jacobi total"], row["scipy Jacobi-CG"])

    B = np.random.default_rng(2).standard_normal((A.shape[0], 16))
    (_, one), t_one = timed(lambda: vorlane.solve(A, b, M=M))
    (_, many), t_many = timed(lambda: vorlane.solve(A, B, M=M))
    row["16 rhs / 1"] = t_many / t_one
    row["converged"] = all([info.converged, auto.converged, forced.converged, bool(many.converged)])
    return row


def threads(A1, A2, b1, b2):
    """Two different systems: one after the other, then in two threads at once."""
    def one(A, b):
        vorlane.solve(A, b, method="factor")

    _, serial = timed(lambda: (one(A1, b1), one(A2, b2)))
    workers = [threading.Thread(target=one, args=args) for args in ((A1, b1), (A2, b2))]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return (time.perf_counter() - start) / serial


def build(size):
    s2, s3, ni = recipes.SIZES[size]
    small = max(ni // 5, 1000)
    return {
        "grid2d": lambda: recipes.grounded_grid((s2, s2)),
        "grid3d": lambda: recipes.grounded_grid((s3, s3, s3)),
        "grid2d-contrast": lambda: recipes.grounded_grid((s2, s2), "loguniform", seed=10),
        f"powerlaw-{small}": lambda: recipes.chung_lu_sddm(small, seed=13),
        f"powerlaw-{ni}": lambda: recipes.chung_lu_sddm(ni, seed=13),
        f"expander-{ni}": lambda: recipes.expander_sddm(ni, seed=14),
    }


COLUMNS = [
    ("problem", "{}"), ("n", "{:,}"), ("bare factorize", "{:.2f}"), ("setup", "{:.2f}"),
    ("setup ratio", "{:.2f}"), ("iteration ratio", "{:.2f}"), ("auto total", "{:.2f}"),
    ("auto method", "{}"), ("factor total", "{:.2f}"), ("jacobi total", "{:.2f}"),
    ("scipy cg(M=factor)", "{:.2f}"), ("scipy Jacobi-CG", "{:.2f}"), ("pyamg", "{:.2f}"),
    ("auto/factor", "{:.2f}"), ("auto/jacobi", "{:.2f}"), ("16 rhs / 1", "{:.2f}"),
    ("converged", "{}"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="about 1.5e4 unknowns per problem")
    parser.add_argument("--problems", help="comma-separated names (default: all)")
    parser.add_argument("--no-pyamg", action="store_true", help="leave PyAMG out (slow on some graphs)")
    parser.add_argument("--no-threads", action="store_true", help="leave the two-thread run out")
    args = parser.parse_args()
    size = "quick" if args.quick else "full"
    builders = build(size)
    names = args.problems.split(",") if args.problems else list(builders)
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"numpy {np.__version__}; tol {TOL:g}; times in seconds")
    print("| " + " | ".join(c for c, _ in COLUMNS) + " |")
    print("|" + "---|" * len(COLUMNS), flush=True)
    for name in names:
        A = builders[name]()
        b = np.random.default_rng(1).standard_normal(A.shape[0])
        row = measure(name, A, b, skip_pyamg=args.no_pyamg)
        print("| " + " | ".join(fmt.format(row[c]) for c, fmt in COLUMNS) + " |", flush=True)
    if args.no_threads:
        return
    side = recipes.SIZES[size][0]
    A1 = recipes.grounded_grid((side, side))
    A2 = recipes.grounded_grid((side, side), "loguniform", seed=3)
    rng = np.random.default_rng(1)
    ratio = threads(A1, A2, rng.standard_normal(A1.shape[0]), rng.standard_normal(A2.shape[0]))
    print(f"\ntwo threads, two 2D grids at once / one after the other: {ratio:.2f}")


if __name__ == "__main__":
    main()
