"""CG iterations with the parallel order against the sequential one, for partitions of 2 to
256 parts and for rounds alone, on the benchmark grids and graphs (iterations only: no
timing, so it may run on a busy machine).

    python bench/parts_iterations.py [--quick]
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import problems as recipes  # noqa: E402
import vorlane  # noqa: E402

GRIDS = ("grid2d-grounded", "grid3d-grounded", "grid2d-loguni-grounded")
GRAPHS = ("powerlaw", "expander")
PARTS = (2, 4, 16, 64, 256)


def iterations(A, b, **options):
    _, info = vorlane.solve(A, b, method="factor", threads=2, **options)
    assert info.converged, info.message
    return info.iterations


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    size = "quick" if args.quick else "full"
    print("| problem | sequential | rounds | " + " | ".join(f"{p} parts" for p in PARTS) + " | interface share |")
    print("|---|---|---|" + "---|" * len(PARTS) + "---|")
    for recipe in recipes.problem_recipes(size):
        if recipe[0] not in GRIDS + GRAPHS:
            continue
        A = recipes.make_problem(recipe).matrix
        b = np.random.default_rng(0).standard_normal(A.shape[0])
        if recipe[1] == "laplacian":
            b -= b.mean()
        row = [recipe[0], iterations(A, b), iterations(A, b, order="rounds")]
        shares = []
        # Graphs have no small separators: their largest partition shows it.
        counts = PARTS if recipe[0] in GRIDS else PARTS[-1:]
        row += [""] * (len(PARTS) - len(counts))
        for count in counts:
            parts = vorlane.partition(A, count)
            row.append(iterations(A, b, order=vorlane.Rounds(parts=parts)))
            shares.append(interface_share(A, parts))
        row.append(", ".join(f"{s:.3f}" for s in shares))
        print("| " + " | ".join(str(c) for c in row) + " |", flush=True)


def interface_share(A, parts):
    """The share of vertices with a neighbour in another part."""
    coo = A.tocoo()
    cut = parts[coo.row] != parts[coo.col]
    interface = np.zeros(A.shape[0], dtype=bool)
    interface[coo.row[cut]] = True
    return interface.mean()


if __name__ == "__main__":
    main()
