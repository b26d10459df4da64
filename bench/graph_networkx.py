"""The networkx backend against networkx, and all-edge resistances against NetworKit.

    python bench/graph_networkx.py [--quick] [--out FILE.md] [--nx-cap SECONDS] [--vorlane-cap SECONDS]
        [--nk-cap SECONDS] [--closeness-eps EPS] [--eps EPS...] [--sizes N...] [--edge-sizes N...]

Part 1 times each backend function (``backend="vorlane"``) and networkx itself on grids,
random geometric graphs and power-law graphs of 10^3, 10^4 and 10^5 nodes; a networkx call
runs in a child process stopped after ``--nx-cap`` seconds (default 120), and networkx is
not tried again at larger sizes of a function and graph family once it was stopped; a
vorlane call is stopped after ``--vorlane-cap`` seconds (default 600). Each function runs
once on a small graph first, so that no timing includes imports.
Part 2 times all-edge resistances at 10^5 and 10^6 nodes: ``vorlane.graph.effective_resistances``
(``--eps``, default 0.3, 0.4 and 0.5; one thread and all) against NetworKit's ``SpanningEdgeCentrality``
(``runApproximation`` on one thread, ``runParallelApproximation`` on all), with each
method's median and largest relative error on edges sampled and solved exactly; and the
backend's exact current-flow closeness of every node against NetworKit's
``ApproxElectricalCloseness`` (at ``--closeness-eps``, default 0.1, stopped after
``--nk-cap`` seconds), whose errors are measured against the exact values.
``--quick`` runs 10^2 and 10^3 nodes only, to check the script; ``--sizes`` and
``--edge-sizes`` choose the sizes of the two parts. Needs networkx; NetworKit
(``pip install networkit``) is optional: without it part 2 says so and is skipped.
"""

import argparse
import math
import os
import signal
import time

import numpy as np

import networkx as nx
import vorlane.graph

FUNCTIONS = {
    "resistance_distance (pair)": lambda G, u, v: nx.resistance_distance(G, u, v, **BACKEND),
    "effective_graph_resistance": lambda G, u, v: nx.effective_graph_resistance(G, **BACKEND),
    "kemeny_constant": lambda G, u, v: nx.kemeny_constant(G, **BACKEND),
    "algebraic_connectivity": lambda G, u, v: nx.algebraic_connectivity(G, **BACKEND),
    "fiedler_vector": lambda G, u, v: nx.fiedler_vector(G, **BACKEND),
    "spectral_ordering": lambda G, u, v: nx.spectral_ordering(G, **BACKEND),
    "current_flow_closeness_centrality": lambda G, u, v: nx.current_flow_closeness_centrality(G, **BACKEND),
    "approximate_current_flow_betweenness_centrality": (
        lambda G, u, v: nx.approximate_current_flow_betweenness_centrality(G, epsilon=1.0, seed=0, **BACKEND)
    ),
}
BACKEND = {}


def geometric_graph(n, seed=0):
    """The largest component of a random geometric graph of n nodes, about 8 neighbours each."""
    radius = math.sqrt(8.0 / (math.pi * n))
    geometric = nx.random_geometric_graph(n, radius, seed=seed)
    geometric = geometric.subgraph(max(nx.connected_components(geometric), key=len)).copy()
    return nx.convert_node_labels_to_integers(geometric)


def families(n, seed=0):
    side = int(round(math.sqrt(n)))
    return {
        "grid": nx.convert_node_labels_to_integers(nx.grid_2d_graph(side, side)),
        "geometric": geometric_graph(n, seed),
        "power-law": nx.barabasi_albert_graph(n, 3, seed=seed),
    }


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def capped(call, cap):
    """call()'s text, computed in a forked child, or None when it ran past cap seconds."""
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(read)
        os.write(write, call().encode())
        os._exit(0)
    os.close(write)
    deadline = time.monotonic() + cap
    while time.monotonic() < deadline:
        done, _ = os.waitpid(child, os.WNOHANG)
        if done:
            text = os.read(read, 4096).decode()
            os.close(read)
            return text or None
        time.sleep(0.05)
    os.kill(child, 9)
    os.waitpid(child, 0)
    os.close(read)
    return None


def timed_capped(call, cap):
    """Seconds of call() run in a forked child, or None when it ran past cap seconds."""
    text = capped(lambda: repr(timed(call)), cap)
    return None if text is None else float(text)


class _Stopped(Exception):
    pass


def _stop(signum, frame):
    raise _Stopped


def timed_in_process(call, cap):
    """Seconds of call(), or None when it ran past cap seconds: vorlane answers the alarm
    between steps, and a converted graph stays cached for the next call."""
    previous = signal.signal(signal.SIGALRM, _stop)
    signal.setitimer(signal.ITIMER_REAL, cap)
    try:
        return timed(call)
    except _Stopped:
        return None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def part_networkx(sizes, cap, vorlane_cap, lines):
    lines += ["## The backend against networkx", "",
              "| function | graph | nodes | vorlane s | networkx s | ratio |", "|---|---|---:|---:|---:|---:|"]
    gave_up = set()
    nx.config.warnings_to_ignore.add("cache")
    small = nx.grid_2d_graph(6, 6)
    BACKEND["backend"] = "vorlane"
    for call in FUNCTIONS.values():
        call(small, (0, 0), (5, 5))
    BACKEND.clear()
    for n in sizes:
        for family, G in families(n).items():
            u, v = 0, len(G) - 1
            for name, call in FUNCTIONS.items():
                BACKEND.clear()
                BACKEND["backend"] = "vorlane"
                ours = timed_in_process(lambda: call(G, u, v), vorlane_cap)
                if ours is None:
                    # networkx remembers a conversion the alarm cut short as failed.
                    G.__networkx_cache__.clear()
                    shown = "not run" if (name, family) in gave_up else "-"
                    lines.append(f"| {name} | {family} | {len(G)} | stopped after {vorlane_cap:g} s | {shown} | - |")
                    print(lines[-1], flush=True)
                    continue
                if (name, family) in gave_up:
                    shown, ratio = "not run (stopped at a smaller size)", "-"
                else:
                    BACKEND.clear()
                    theirs = timed_capped(lambda: call(G, u, v), cap)
                    if theirs is None:
                        gave_up.add((name, family))
                        shown, ratio = f"stopped after {cap:g} s", f"> {cap / ours:.0f}x"
                    else:
                        shown, ratio = f"{theirs:.3g}", f"{theirs / ours:.1f}x"
                lines.append(f"| {name} | {family} | {len(G)} | {ours:.3g} | {shown} | {ratio} |")
                print(lines[-1], flush=True)


def exact_sample(L, edges, count, seed):
    picked = np.random.default_rng(seed).choice(len(edges), size=min(count, len(edges)), replace=False)
    return picked, vorlane.graph.effective_resistance(L, edges[picked], tol=1e-10)


def errors(estimate, exact):
    relative = np.abs(estimate / exact - 1.0)
    return f"{100 * np.median(relative):.1f}%", f"{100 * relative.max():.1f}%"


def part_networkit(sizes, lines, closeness_eps, cap, sketch_eps):
    lines += ["", "## All-edge resistances and electrical closeness against NetworKit", ""]
    try:
        import networkit as nk
    except ImportError:
        lines.append("NetworKit is not installed (`pip install networkit`): skipped.")
        print(lines[-1])
        return
    lines += ["| graph | nodes | edges | method | threads | seconds | median error | largest error |",
              "|---|---:|---:|---|---:|---:|---:|---:|"]
    threads = os.cpu_count() or 1
    for n in sizes:
        G = geometric_graph(n)
        L = vorlane.graph.laplacian(G, weight=None)
        edges, _ = vorlane.graph.effective_resistances(L, k=1)
        picked, exact = exact_sample(L, edges, 200, seed=1)
        shown = lambda method, t, seconds, errs: lines.append(  # noqa: E731
            f"| geometric | {len(G)} | {len(edges)} | {method} | {t} | {seconds} | {errs[0]} | {errs[1]} |")
        row = lambda method, t, seconds, r: shown(method, t, f"{seconds:.3g}", errors(r[picked], exact))  # noqa: E731
        for eps in sketch_eps:
            for t in sorted({1, threads}):
                start = time.perf_counter()
                _, r = vorlane.graph.effective_resistances(L, eps=eps, seed=0, threads=t)
                row(f"vorlane eps {eps}", t, time.perf_counter() - start, r)
                print(lines[-1], flush=True)
        g = nk.graph.Graph(len(G), weighted=False)
        for a, b in edges:
            g.addEdge(int(a), int(b))
        g.indexEdges()
        for run, t in (("runApproximation", 1), ("runParallelApproximation", threads)):
            nk.setNumberOfThreads(t)
            sec = nk.centrality.SpanningEdgeCentrality(g, 0.3)
            start = time.perf_counter()
            getattr(sec, run)()
            seconds = time.perf_counter() - start
            scores = np.asarray(sec.scores())
            index = {}
            g.forEdges(lambda a, b, w, eid: index.__setitem__((min(a, b), max(a, b)), eid))
            r = scores[[index[(int(a), int(b))] for a, b in edges]]
            row(f"NetworKit {run}", t, seconds, r)
            print(lines[-1], flush=True)
        # Electrical (current-flow) closeness of every node: the backend's is exact, and the
        # reference NetworKit's estimate is measured against.
        nx.config.warnings_to_ignore.add("cache")
        start = time.perf_counter()
        closeness = nx.current_flow_closeness_centrality(G, backend="vorlane")
        shown("vorlane current_flow_closeness_centrality (exact)", 1, f"{time.perf_counter() - start:.3g}", ("-", "-"))
        print(lines[-1], flush=True)
        reference = np.array([closeness[v] for v in range(len(G))])

        def approximate(t):
            nk.setNumberOfThreads(t)
            estimate = nk.centrality.ApproxElectricalCloseness(g, closeness_eps)
            seconds = timed(estimate.run)
            # NetworKit's closeness is (n - 1) / sum of resistances; networkx's is 1 / that sum.
            values = np.asarray(estimate.scores()) / (len(G) - 1)
            return f"{seconds:.3g} " + " ".join(errors(values, reference))

        for t in sorted({1, threads}):
            result = capped(lambda: approximate(t), cap)
            method = f"NetworKit ApproxElectricalCloseness eps {closeness_eps:g}"
            if result is None:
                shown(method, t, f"stopped after {cap:g} s", ("-", "-"))
            else:
                seconds, median, largest = result.split()
                shown(method, t, seconds, (median, largest))
            print(lines[-1], flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--nx-cap", type=float, default=120.0)
    parser.add_argument("--vorlane-cap", type=float, default=600.0)
    parser.add_argument("--nk-cap", type=float, default=600.0)
    parser.add_argument("--closeness-eps", type=float, default=0.1)
    parser.add_argument("--eps", type=float, nargs="+", default=[0.3, 0.4, 0.5])
    parser.add_argument("--out", default=None)
    parser.add_argument("--sizes", type=int, nargs="*", default=[1000, 10**4, 10**5])
    parser.add_argument("--edge-sizes", type=int, nargs="*", default=[10**5, 10**6])
    args = parser.parse_args()
    lines = ["# networkx backend and all-edge resistances", "",
             f"{os.cpu_count()} cores; networkx {nx.__version__}; times in seconds, one run each.", ""]
    part_networkx([100, 1000] if args.quick else args.sizes, args.nx_cap, args.vorlane_cap, lines)
    part_networkit([1000] if args.quick else args.edge_sizes, lines, args.closeness_eps, args.nk_cap, args.eps)
    if args.out:
        with open(args.out, "w") as out:
            out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
