"""The package's solve path against its peers, one problem at a time, all in one run.

    python bench/engine_bench.py [--quick] [--problems NAME,...]

For each problem: setup of vorlane.solve (checks plus factorization, via Preconditioner)
against a bare _vorlane.factorize; the checks against one product with A; one apply of a
Preconditioner (double and mixed precision) against _vorlane's Factor.solve; the factor
path's cost per iteration against one Factor.solve plus one product with A; totals of
vorlane.solve (auto and forced paths, mixed precision) against _vorlane.factorize + SciPy
cg(M=factor), Jacobi-CG (SciPy) and PyAMG; 16 right-hand sides against one; the first
factorization in a process against the second; two threads solving two systems against
one after the other. Prints a
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


def best(f, repeats=3):
    """The value of the last run, and the least and largest time of `repeats` runs."""
    times = []
    for _ in range(repeats):
        value, seconds = timed(f)
        times.append(seconds)
    return value, min(times), max(times)


def measure(name, A, b, skip_pyamg=False):
    from vorlane._checks import check_matrix

    row = {"problem": name, "n": A.shape[0], "nnz": A.nnz}
    A = sp.csr_matrix(A)
    A.sort_indices()
    graph = not name.startswith("grid")
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
    mixed = vorlane.Preconditioner(A, precision="mixed")
    row["bare factorize"], row["setup"] = min(bare), min(setup)
    row["setup ratio"] = row["setup"] / row["bare factorize"]

    _, product, _ = best(lambda: [A @ b for _ in range(5)])
    product /= 5
    _, checks, _ = best(lambda: check_matrix(A))
    row["checks/product"] = checks / product
    _, factor_solve, _ = best(lambda: [factor.solve(b) for _ in range(5)])
    factor_solve /= 5
    _, matvec, _ = best(lambda: [M.matvec(b) for _ in range(5)])
    _, matvec_mixed, _ = best(lambda: [mixed.matvec(b) for _ in range(5)])
    row["matvec/Factor.solve"] = matvec / 5 / factor_solve
    row["mixed matvec/Factor.solve"] = matvec_mixed / 5 / factor_solve

    (_, info), _, _ = best(lambda: vorlane.solve(A, b, M=M), 2)
    row["iteration ratio"] = info.solve_seconds / max(info.iterations, 1) / (factor_solve + product)
    (_, with_mixed), _, _ = best(lambda: vorlane.solve(A, b, M=mixed), 1)
    row["mixed/double iterations"] = with_mixed.iterations / max(info.iterations, 1)

    nan = float("nan")
    totals = {"auto": [], "factor": [], "mixed": [], "jacobi": [], "scipy Jacobi-CG": []}
    # Jacobi-CG takes thousands of iterations on the large grids: run on graphs only.
    for _ in range(3):
        (_, auto), t = timed(lambda: vorlane.solve(A, b))
        totals["auto"].append(t)
        (_, forced), t = timed(lambda: vorlane.solve(A, b, method="factor"))
        totals["factor"].append(t)
        _, t = timed(lambda: vorlane.solve(A, b, method="factor", precision="mixed"))
        totals["mixed"].append(t)
        if graph:
            _, t = timed(lambda: vorlane.solve(A, b, method="jacobi"))
            totals["jacobi"].append(t)
            _, t = timed(lambda: scipy_cg(A, b, M=jacobi(A)))
            totals["scipy Jacobi-CG"].append(t)
    for key, times in totals.items():
        row[f"{key} total"] = min(times) if times else nan
    row["auto spread"] = (max(totals["auto"]) - min(totals["auto"])) / min(totals["auto"])
    row["auto method"] = f"{auto.method} ({auto.jacobi_iterations}+{auto.iterations - auto.jacobi_iterations})"
    _, row["scipy cg(M=factor)"], _ = best(lambda: scipy_cg(A, b, M=_vorlane.factorize(A)), 1)
    row["pyamg"] = nan
    if not skip_pyamg:
        try:
            _, row["pyamg"], _ = best(lambda: pyamg_solve(A, b), 1)
        except ImportError:
            pass
    row["auto/best forced"] = row["auto total"] / np.fmin(row["factor total"], row["jacobi total"])
    row["auto/scipy Jacobi-CG"] = row["auto total"] / row["scipy Jacobi-CG total"]

    B = np.random.default_rng(2).standard_normal((A.shape[0], 16))
    (_, one), t_one, _ = best(lambda: vorlane.solve(A, b, M=M), 2)
    (_, many), t_many, _ = best(lambda: vorlane.solve(A, B, M=M), 2)
    _, apply_one, _ = best(lambda: M @ b)
    _, apply_many, _ = best(lambda: M @ B)
    row["16 rhs / 1"] = t_many / t_one
    row["16-column apply / 1"] = apply_many / apply_one
    row["converged"] = all([info.converged, auto.converged, forced.converged, bool(many.converged)])
    return row


def first_and_second_factorization():
    """Setup of the 10^6 grid in a fresh process, first and second time (fresh pages)."""
    script = (
        "import sys, time; sys.path.insert(0, sys.argv[1]); import problems, vorlane; "
        "A = problems.grounded_grid((1000, 1000)); "
        "t = [time.perf_counter()]; vorlane.Preconditioner(A); t.append(time.perf_counter()); "
        "vorlane.Preconditioner(A); t.append(time.perf_counter()); print(t[1] - t[0], t[2] - t[1])"
    )
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", script, os.path.dirname(os.path.abspath(__file__))],
                         capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), float(out[1])


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
    ("setup ratio", "{:.2f}"), ("checks/product", "{:.1f}"), ("matvec/Factor.solve", "{:.2f}"),
    ("mixed matvec/Factor.solve", "{:.2f}"), ("iteration ratio", "{:.2f}"),
    ("mixed/double iterations", "{:.2f}"), ("auto total", "{:.2f}"), ("auto spread", "{:.0%}"),
    ("auto method", "{}"), ("factor total", "{:.2f}"), ("mixed total", "{:.2f}"),
    ("jacobi total", "{:.2f}"), ("scipy Jacobi-CG total", "{:.2f}"), ("scipy cg(M=factor)", "{:.2f}"),
    ("pyamg", "{:.2f}"), ("auto/best forced", "{:.2f}"), ("auto/scipy Jacobi-CG", "{:.2f}"),
    ("16 rhs / 1", "{:.2f}"), ("16-column apply / 1", "{:.2f}"), ("converged", "{}"),
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
    first, second = first_and_second_factorization()
    print(f"\nsetup of the 10^6 grid in a fresh process: first {first:.2f} s, second {second:.2f} s")
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
