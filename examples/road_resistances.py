"""Effective resistances of every road segment of a large road-like network.

Intersections are random points in the unit square; the roads are the shortest spanning
tree of their Delaunay triangulation plus a random third of its other edges (so there are
dead ends and bridges, and about three roads meet at a crossing), and each road conducts
like a wire: conductance 1 / length. The effective
resistance of a road measures how much the network relies on it (weight x resistance is
the road's leverage: near 1 for a bridge that nothing bypasses, small where many detours
exist). ``vorlane.graph.effective_resistances`` estimates all of them at once with a
random-projection sketch; this script checks the estimates against exact resistances of a
sample of roads (``vorlane.graph.effective_resistance``), and on a small network against
networkx's own ``resistance_distance``.

    python examples/road_resistances.py [--size INTERSECTIONS] [--out FILE.png]

Needs networkx and matplotlib (in a clone of the repository, ``pip install ".[examples]"``).
"""

import argparse
import time

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import minimum_spanning_tree
from scipy.spatial import Delaunay

import vorlane.graph


def road_network(size, seed, extra=1 / 3):
    """Intersection coordinates, road endpoints (i < j) and conductances 1 / length."""
    rng = np.random.default_rng(seed)
    points = rng.random((size, 2))
    triangles = Delaunay(points).simplices
    edges = np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [0, 2]]])
    edges = np.unique(np.sort(edges, axis=1), axis=0)
    length = np.linalg.norm(points[edges[:, 0]] - points[edges[:, 1]], axis=1)
    lengths = sp.csr_matrix((length, (edges[:, 0], edges[:, 1])), shape=(size, size))
    tree = minimum_spanning_tree(lengths).tocsr()
    in_tree = np.asarray(tree[edges[:, 0], edges[:, 1]]).ravel() > 0
    keep = in_tree | (rng.random(len(edges)) < extra)
    return points, edges[keep], 1.0 / length[keep]


def check_against_networkx(size, eps, seed):
    import networkx as nx

    points, edges, conductance = road_network(size, seed)
    G = nx.Graph()
    G.add_nodes_from(range(size))
    for (i, j), w in zip(edges, conductance):
        G.add_edge(int(i), int(j), weight=float(w))
    start = time.perf_counter()
    # Without a node pair networkx returns every pair's resistance, from one pseudo-inverse.
    table = nx.resistance_distance(G, weight="weight", invert_weight=False)
    exact = np.array([table[int(i)][int(j)] for i, j in edges])
    seconds = time.perf_counter() - start
    found, sketch = vorlane.graph.effective_resistances(G, eps=eps, seed=seed)
    order = {tuple(edge): k for k, edge in enumerate(found)}
    sketch = sketch[[order[(i, j)] for i, j in edges]]
    pairs = vorlane.graph.effective_resistance(G, edges)
    print(f"check        {size} intersections, {len(edges)} roads, networkx "
          f"resistance_distance (all pairs): {seconds:.2f} s")
    print(f"             exact pairs vs networkx: largest relative error "
          f"{np.max(np.abs(pairs / exact - 1)):.1e}")
    error = np.abs(sketch / exact - 1)
    bound = 2 * size ** -(1 - 2 * eps / 3) * len(edges)
    print(f"             sketch vs networkx: median relative error {np.median(error):.3f}, largest "
          f"{error.max():.3f}; {np.count_nonzero(error > eps)} roads beyond eps {eps} "
          f"(the guarantee allows {bound:.1f} on average)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=400_000, help="intersections (default 400000, about 660000 roads)")
    parser.add_argument("--eps", type=float, default=0.3, help="accuracy of the sketch (default 0.3)")
    parser.add_argument("--sample", type=int, default=200, help="roads checked exactly (default 200)")
    parser.add_argument("--check-size", type=int, default=300, help="intersections of the networkx check")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default="road_resistances.png", help="PNG to write")
    args = parser.parse_args()

    check_against_networkx(args.check_size, args.eps, args.seed)

    points, edges, conductance = road_network(args.size, args.seed)
    print(f"network      {args.size} intersections, {len(edges)} roads")
    start = time.perf_counter()
    L = vorlane.graph.laplacian(edges, weight=conductance, n=args.size)
    found, r = vorlane.graph.effective_resistances(L, eps=args.eps, seed=args.seed)
    seconds = time.perf_counter() - start
    k = vorlane.graph._resistance.sketch_size(args.size, args.eps)
    print(f"sketch       all {len(found)} roads in {seconds:.2f} s ({k} solves, eps {args.eps})")

    sample = np.random.default_rng(args.seed + 1).choice(len(found), min(args.sample, len(found)), replace=False)
    start = time.perf_counter()
    exact = vorlane.graph.effective_resistance(L, found[sample])
    error = np.abs(r[sample] / exact - 1)
    print(f"exact        {len(sample)} sampled roads in {time.perf_counter() - start:.2f} s: sketch error "
          f"median {np.median(error):.3f}, largest {error.max():.3f}, "
          f"{np.count_nonzero(error > args.eps)} beyond eps")
    weights = -np.asarray(L[found[:, 0], found[:, 1]]).ravel()
    leverage = weights * r
    print(f"leverage     sum {leverage.sum():.0f} (exactly n - 1 = {args.size - 1} without sketch error)")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection

    # Draw the roads of a window holding about 3000 intersections.
    side = min(1.0, np.sqrt(3000 / args.size))
    inside = (points[found] < side).all(axis=(1, 2))
    segments = points[found[inside]]
    figure, axis = plt.subplots(figsize=(7, 6))
    lines = LineCollection(segments, array=np.minimum(leverage[inside], 1.0), cmap="viridis", linewidths=1.2)
    axis.add_collection(lines)
    axis.set_xlim(0, side)
    axis.set_ylim(0, side)
    axis.set_aspect("equal")
    figure.colorbar(lines, ax=axis, label="leverage: conductance x effective resistance")
    shown = "" if side == 1.0 else f" ({inside.sum()} shown)"
    axis.set_title(f"{len(found)} roads, resistances sketched in {seconds:.1f} s{shown}")
    figure.tight_layout()
    figure.savefig(args.out, dpi=100)
    print(f"figure       {args.out}")


if __name__ == "__main__":
    main()
