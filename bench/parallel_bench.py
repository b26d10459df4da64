"""The parallel elimination order against the sequential one, side by side in one run.

    python bench/parallel_bench.py [--quick] [--problems NAME,...] [--repeats R]

For each problem and each configuration (the sequential order; rounds on one thread; rounds
on two threads) a fresh process builds the problem, then reports: the Preconditioner's setup
time (checks and factorization), CG iterations to 1e-8 with it, one apply's time, the
solve's time with it, the whole ``vorlane.solve`` (default method, factorization included),
the factor's bytes per vertex and the process's peak memory. Configurations alternate within
each of the repeats and the best time is kept (with the spread). Prints a Markdown table of
figures and ratios; the ratios are what the targets speak of.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import resource  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PROBLEMS = ("grid2d-grounded", "grid3d-grounded", "grid2d-loguni-grounded", "powerlaw", "expander")
CONFIGS = {"sequential": ("sequential", 1), "rounds-1": ("rounds", 1), "rounds-2": ("rounds", 2)}


def one(problem: str, config: str, size: str) -> dict:
    """Measures one configuration on one problem in this process."""
    sys.path.insert(0, HERE)
    import problems as recipes
    import vorlane

    (recipe,) = [r for r in recipes.problem_recipes(size) if r[0] == problem]
    A = recipes.make_problem(recipe).matrix
    b = np.random.default_rng(0).standard_normal(A.shape[0])
    if recipe[1] == "laplacian":
        b -= b.mean()
    order, threads = CONFIGS[config]
    start = time.perf_counter()
    P = vorlane.Preconditioner(A, order=order, threads=threads)
    setup = time.perf_counter() - start
    applies = []
    for _ in range(3):
        start = time.perf_counter()
        P.matvec(b)
        applies.append(time.perf_counter() - start)
    _, info = vorlane.solve(A, b, M=P)
    start = time.perf_counter()
    _, whole = vorlane.solve(A, b, order=order, threads=threads)
    whole_seconds = time.perf_counter() - start
    return {
        "setup": setup,
        "iterations": info.iterations,
        "apply": min(applies),
        "solve": info.solve_seconds,
        "whole": whole_seconds,
        "whole_method": whole.method,
        "bytes_per_vertex": P.nbytes / A.shape[0],
        "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def spread(values: list) -> str:
    return f"{min(values):.2f} ({min(values):.2f}-{max(values):.2f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small problems (about 10^4 unknowns)")
    parser.add_argument("--problems", default=",".join(PROBLEMS))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--one", nargs=2, metavar=("PROBLEM", "CONFIG"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    size = "quick" if args.quick else "full"
    if args.one:
        print(json.dumps(one(*args.one, size)))
        return
    names = args.problems.split(",")
    results = {(p, c): [] for p in names for c in CONFIGS}
    for repeat in range(args.repeats):
        for problem in names:
            for config in CONFIGS:
                command = [sys.executable, __file__, "--one", problem, config] + (["--quick"] if args.quick else [])
                out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
                results[problem, config].append(json.loads(out.strip().splitlines()[-1]))
                print(f"[{repeat + 1}/{args.repeats}] {problem} {config}: {results[problem, config][-1]}",
                      file=sys.stderr, flush=True)
    print(f"CPU: {cpu_name()}, {os.cpu_count()} cores; best of {args.repeats} alternated runs (spread)\n")
    print("| problem | config | iterations | setup s | apply s | solve s (with M) | whole solve s | bytes/vertex "
          "| peak MB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for problem in names:
        for config in CONFIGS:
            runs = results[problem, config]
            print(
                f"| {problem} | {config} | {runs[0]['iterations']} | {spread([r['setup'] for r in runs])} "
                f"| {min(r['apply'] for r in runs):.3f} | {min(r['solve'] for r in runs):.2f} "
                f"| {spread([r['whole'] for r in runs])} ({runs[0]['whole_method']}) "
                f"| {runs[0]['bytes_per_vertex']:.0f} | {max(r['peak_mb'] for r in runs):.0f} |"
            )
    print("\nRatios (best times): iterations rounds/sequential; rounds on 1 thread / sequential; "
          "2 threads / 1 thread.\n")
    print("| problem | iterations | setup 1T/seq | setup 2T/1T | apply 2T/1T | whole 2T/1T | whole 2T/seq |")
    print("|---|---|---|---|---|---|---|")

    def best(problem, config, key):
        return min(r[key] for r in results[problem, config])

    for problem in names:
        it = results[problem, "rounds-2"][0]["iterations"] / results[problem, "sequential"][0]["iterations"]
        print(
            f"| {problem} | {it:.2f} | {best(problem, 'rounds-1', 'setup') / best(problem, 'sequential', 'setup'):.2f} "
            f"| {best(problem, 'rounds-2', 'setup') / best(problem, 'rounds-1', 'setup'):.2f} "
            f"| {best(problem, 'rounds-2', 'apply') / best(problem, 'rounds-1', 'apply'):.2f} "
            f"| {best(problem, 'rounds-2', 'whole') / best(problem, 'rounds-1', 'whole'):.2f} "
            f"| {best(problem, 'rounds-2', 'whole') / best(problem, 'sequential', 'whole'):.2f} |"
        )


if __name__ == "__main__":
    main()
