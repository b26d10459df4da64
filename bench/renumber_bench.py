"""Automatic renumbering in the package's preconditioner path, measured against none.

    python bench/renumber_bench.py [--side S] [--vertices N] [--rounds R]

On a grounded grid numbered in random order, the same grid in natural order, a power-law
graph and an expander: Preconditioner setup and a whole vorlane.solve to rtol 1e-8 with
renumber=False and renumber="auto", runs alternating, best of R. Prints a Markdown table
with what "auto" decided. The machine may be shared, so only ratios within a run compare.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import problems as recipes  # noqa: E402
import vorlane  # noqa: E402
from vorlane import _problems  # noqa: E402

TOL = 1e-8
CHOICES = (False, "auto")


def best_times(A, b, rounds):
    """{choice: (best setup seconds, best solve seconds, renumbered, iterations)}."""
    setup = {choice: [] for choice in CHOICES}
    total = {choice: [] for choice in CHOICES}
    decided, iterations = {}, {}
    for _ in range(rounds):
        for choice in CHOICES:
            start = time.perf_counter()
            p = vorlane.Preconditioner(A, renumber=choice)
            setup[choice].append(time.perf_counter() - start)
            decided[choice] = p.renumbered
            del p
            start = time.perf_counter()
            _, info = vorlane.solve(A, b, tol=TOL, renumber=choice)
            total[choice].append(time.perf_counter() - start)
            assert info.converged, info
            iterations[choice] = info.iterations
    return {c: (min(setup[c]), min(total[c]), decided[c], iterations[c]) for c in CHOICES}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=1000)
    parser.add_argument("--vertices", type=int, default=10**6)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    side, n = args.side, args.vertices
    cases = {
        f"grid {side}x{side}, shuffled": lambda: recipes.grounded_grid((side, side), renumber=12),
        f"grid {side}x{side}, natural": lambda: recipes.grounded_grid((side, side)),
        f"power law, n={n}": lambda: _problems.power_law(n, seed=1),
        f"expander, n={n}": lambda: _problems.expander(n, seed=1),
    }
    print("| problem | auto renumbers | setup False (s) | setup auto (s) | ratio | "
          "solve False (s) | solve auto (s) | ratio | iterations False / auto |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, make in cases.items():
        A = make()
        b = np.random.default_rng(0).standard_normal(A.shape[0])
        result = best_times(A, b, args.rounds)
        (s0, t0, _, i0), (s1, t1, decided, i1) = result[False], result["auto"]
        print(f"| {name} | {'yes' if decided else 'no'} | {s0:.3f} | {s1:.3f} | {s1 / s0:.2f} | "
              f"{t0:.3f} | {t1:.3f} | {t1 / t0:.2f} | {i0} / {i1} |", flush=True)


if __name__ == "__main__":
    main()
