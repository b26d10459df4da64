"""All-edge effective resistances of a road-like graph with about 10^6 edges: the sketch's
time and its error on a sample of edges, and the largest graph networkx's own
resistance_distance handles in the same time.

    python bench/graph_resistances.py [--edges M] [--sample S] [--eps E] [--out FILE.md]

Needs networkx (``pip install ".[examples]"``). Writes a Markdown report.
"""

import argparse
import os
import platform
import subprocess
import sys
import time

import numpy as np

import vorlane
import vorlane.graph

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from road_resistances import road_network  # noqa: E402

# Roads per intersection of road_network: a spanning tree plus a third of the other
# Delaunay edges, about 1 + 2/3.
ROADS_PER_INTERSECTION = 5 / 3


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    import networkx
    import scipy

    return (f"{cpu}; {os.cpu_count()} cores (shared with other jobs); Python {platform.python_version()}; "
            f"NumPy {np.__version__}; SciPy {scipy.__version__}; networkx {networkx.__version__}; "
            f"vorlane commit {commit or 'unknown'}")


def networkx_seconds(size, seed):
    import networkx as nx

    _, edges, conductance = road_network(size, seed)
    G = nx.Graph()
    G.add_nodes_from(range(size))
    G.add_weighted_edges_from((int(i), int(j), float(w)) for (i, j), w in zip(edges, conductance))
    start, cpu = time.perf_counter(), time.process_time()
    table = nx.resistance_distance(G, weight="weight", invert_weight=False)
    r = [table[int(i)][int(j)] for i, j in edges]
    return time.perf_counter() - start, time.process_time() - cpu, len(edges), len(r)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--edges", type=int, default=1_000_000)
    parser.add_argument("--eps", type=float, default=0.3)
    parser.add_argument("--sample", type=int, default=100)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--networkx-cap", type=int, default=6000, help="largest networkx graph tried")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results", "graph-resistances.md"))
    args = parser.parse_args()

    lines = [f"# All-edge effective resistances\n", f"Machine: {machine()}.\n"]
    size = int(args.edges / ROADS_PER_INTERSECTION)
    start = time.perf_counter()
    _, edges, conductance = road_network(size, args.seed)
    L = vorlane.graph.laplacian(edges, weight=conductance, n=size)
    build = time.perf_counter() - start
    start, cpu = time.perf_counter(), time.process_time()
    found, r = vorlane.graph.effective_resistances(L, eps=args.eps, seed=args.seed)
    sketch_wall, sketch = time.perf_counter() - start, time.process_time() - cpu
    k = vorlane.graph._resistance.sketch_size(size, args.eps)
    sample = np.random.default_rng(args.seed + 1).choice(len(found), args.sample, replace=False)
    start = time.perf_counter()
    exact = vorlane.graph.effective_resistance(L, found[sample])
    exact_seconds = time.perf_counter() - start
    error = np.abs(r[sample] / exact - 1)
    lines += [
        f"Graph: `examples/road_resistances.py`'s road network, {size} intersections, "
        f"{len(found)} roads (built in {build:.1f} s).\n",
        "| what | value |",
        "|---|---:|",
        f"| sketch, all {len(found)} edges (eps {args.eps}, k = {k} solves): CPU / wall | "
        f"{sketch:.1f} s / {sketch_wall:.1f} s |",
        f"| exact resistances of {args.sample} sampled edges | {exact_seconds:.1f} s |",
        f"| sketch error on the sample: median / 90th percentile / largest | "
        f"{np.median(error):.3f} / {np.percentile(error, 90):.3f} / {error.max():.3f} |",
        f"| sampled edges beyond eps | {np.count_nonzero(error > args.eps)} of {args.sample} |",
        "",
        f"networkx `resistance_distance(G)` (all pairs from one dense pseudo-inverse, then "
        f"read per edge) on the same kind of network, against the sketch's {sketch:.0f} CPU "
        "seconds (CPU time of the process, all threads: the machine is shared):\n",
        "| intersections | roads | CPU s | wall s |",
        "|---:|---:|---:|---:|",
    ]
    print("\n".join(lines), flush=True)
    largest = None
    n = 500
    timings = []
    while n <= args.networkx_cap:
        wall, seconds, roads, _ = networkx_seconds(n, args.seed)
        timings.append((n, seconds))
        row = f"| {n} | {roads} | {seconds:.1f} | {wall:.1f} |"
        print(row, flush=True)
        lines.append(row)
        if seconds > sketch:
            break
        largest = (n, roads)
        if seconds * 8 > 3 * sketch:  # the next size would run far past the budget
            break
        n *= 2
    # Dense pseudo-inverse time grows like n^3: extrapolate from the largest run.
    n_last, t_last = timings[-1]
    reach = int(n_last * (sketch / t_last) ** (1 / 3))
    lines += [
        "",
        f"Largest networkx run within {sketch:.0f} CPU s: "
        + (f"{largest[0]} intersections ({largest[1]} roads)" if largest else "none")
        + f"; cubic extrapolation from {n_last} intersections: about {reach} intersections "
        f"(about {int(reach * ROADS_PER_INTERSECTION)} roads), at n^2 x 8 bytes = "
        f"{reach**2 * 8 / 2**30:.1f} GiB for the dense pseudo-inverse alone.",
    ]
    text = "\n".join(lines) + "\n"
    print(lines[-1])
    with open(args.out, "w") as handle:
        handle.write(text)


if __name__ == "__main__":
    main()
