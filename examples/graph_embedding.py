"""Spectral embedding of a nearest-neighbour graph on a rolled-up sheet, drawn.

Points lie on a "swiss roll", a flat rectangle rolled up in 3D. Joining each point to its
nearest neighbours gives a graph whose two smallest nontrivial Laplacian eigenvectors
(``vorlane.graph.spectral_embedding``, LOBPCG preconditioned with vorlane) unroll the sheet
in the plane: the first coordinate follows the position along the roll. The script prints
the time, the eigenvalues and how well the embedding orders the points along the roll.

    python examples/graph_embedding.py [--size POINTS] [--out FILE.png]

Needs matplotlib (in a clone of the repository, ``pip install ".[examples]"``).
"""

import argparse
import time

import numpy as np
from scipy.spatial import cKDTree
from scipy.stats import spearmanr

import vorlane.graph


def swiss_roll(size, seed):
    rng = np.random.default_rng(seed)
    turn = 1.5 * np.pi * (1 + 2 * rng.random(size))  # position along the roll
    height = 60 * rng.random(size)  # about two thirds of the unrolled length
    points = np.stack([turn * np.cos(turn), height, turn * np.sin(turn)], axis=1)
    return points, turn


def neighbour_graph(points, neighbours):
    """Edges from each point to its nearest neighbours, weighted by a Gaussian of distance."""
    distance, index = cKDTree(points).query(points, neighbours + 1)
    rows = np.repeat(np.arange(len(points)), neighbours)
    cols = index[:, 1:].ravel()
    d = distance[:, 1:].ravel()
    weights = np.exp(-((d / np.median(d)) ** 2))
    return np.stack([rows, cols], axis=1), weights


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=20_000, help="points (default 20000)")
    parser.add_argument("--neighbours", type=int, default=10)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default="graph_embedding.png", help="PNG to write")
    args = parser.parse_args()

    points, turn = swiss_roll(args.size, args.seed)
    edges, weights = neighbour_graph(points, args.neighbours)
    L = vorlane.graph.laplacian(edges, weight=weights, n=args.size)
    print(f"graph        {args.size} points, {(L.nnz - args.size) // 2} edges")
    start = time.perf_counter()
    X = vorlane.graph.spectral_embedding(L, 2, seed=args.seed)
    seconds = time.perf_counter() - start
    values = np.einsum("ij,ij->j", X, L @ X)
    order = abs(spearmanr(X[:, 0], turn)[0])
    print(f"embedding    {seconds:.2f} s, eigenvalues {values[0]:.3e} {values[1]:.3e}")
    print(f"unrolled     rank correlation of the first coordinate with the roll position {order:.3f}")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure = plt.figure(figsize=(11, 4.5))
    axis = figure.add_subplot(1, 2, 1, projection="3d")
    axis.scatter(points[:, 0], points[:, 1], points[:, 2], c=turn, s=2, cmap="viridis")
    axis.set_title("swiss roll, coloured by position along the roll")
    axis = figure.add_subplot(1, 2, 2)
    axis.scatter(X[:, 0], X[:, 1], c=turn, s=2, cmap="viridis")
    axis.set_title(f"spectral embedding by vorlane ({seconds:.1f} s)")
    axis.set_xlabel("first eigenvector")
    axis.set_ylabel("second eigenvector")
    figure.tight_layout()
    figure.savefig(args.out, dpi=100)
    print(f"figure       {args.out}")


if __name__ == "__main__":
    main()
