"""Command-line forms on graphs: the Laplacian of an adjacency file, and resistances."""

from __future__ import annotations

import argparse
import io
import sys
import time
from typing import Any, Callable, List, Tuple

import numpy as np

from .._atomic import write_atomically
from .._limits import EXIT_NOT_CONVERGED
from .._mmio import _check_readable, _one_line, _scipy_io, read_matrix_market
from ._input import as_graph_laplacian, laplacian
from ._resistance import default_tol, effective_resistance, effective_resistances, sketch_size
from ._solver import SolveFailed


def read_graph_laplacian(path: str, remedy: str = "drop --graph to solve with the matrix as it is") -> Any:
    """The Laplacian of the symmetric adjacency matrix in a Matrix Market file.

    A pattern file gives every edge weight 1; otherwise the stored values are the weights.
    A file with negative off-diagonal entries holds a Laplacian or SDDM matrix rather than
    an adjacency matrix: the ValueError says so, followed by remedy (by default the one for
    ``solve --graph``).
    """
    adjacency = read_matrix_market(path, allow_pattern=True)
    pattern = _scipy_io().mminfo(path)[4] == "pattern"
    coo = adjacency.tocoo()
    negative = np.flatnonzero((coo.data < 0) & (coo.row != coo.col))
    if negative.size:
        k = int(negative[0])
        raise ValueError(
            f"{path} looks like a Laplacian or SDDM matrix, not a graph's adjacency matrix: "
            f"entry ({coo.row[k] + 1}, {coo.col[k] + 1}) is {float(coo.data[k])!r}, and "
            f"adjacency weights are >= 0; {remedy}"
        )
    try:
        return laplacian(adjacency, weight=None if pattern else "weight")
    except ValueError as exc:
        raise ValueError(f"{path}: {exc}") from None


def read_pairs(path: str, n: int) -> np.ndarray:
    """Vertex pairs from ``.npy`` or text with two vertex numbers (from 0) per line."""
    _check_readable(path)
    try:
        if path.endswith(".npy"):
            values = np.load(path, allow_pickle=False)
        else:
            values = np.loadtxt(path, dtype=np.float64, ndmin=2, comments=("#", "%"))
    except MemoryError:
        raise
    except Exception as exc:
        raise ValueError(f"{path}: cannot read vertex pairs: {_one_line(exc)}") from None
    values = np.asarray(values)
    if values.size == 0:
        return np.zeros((0, 2), dtype=np.int64)
    if values.ndim != 2 or values.shape[1] != 2:
        raise ValueError(f"{path}: expected two vertex numbers per line, got shape {values.shape}")
    if values.dtype.kind == "f":
        if not (np.isfinite(values).all() and (values == np.round(values)).all()):
            raise ValueError(f"{path}: vertex numbers must be integers")
        if np.abs(values).max() >= 2.0**53:
            raise ValueError(f"{path}: a vertex number is out of range [0, {n})")
    elif values.dtype.kind not in "iu":
        raise ValueError(f"{path}: expected integers, got dtype {values.dtype}")
    pairs = values.astype(np.int64)
    outside = (pairs < 0) | (pairs >= n)
    if outside.any():
        k = int(np.flatnonzero(outside.any(axis=1))[0])
        raise ValueError(
            f"{path}: pair {k + 1} has a vertex out of range [0, {n}): "
            f"{tuple(int(v) for v in pairs[k])}"
        )
    return pairs


def _write_table(handle: Any, pairs: np.ndarray, r: np.ndarray) -> None:
    handle.write("# vertex vertex resistance (vertices numbered from 0)\n")
    lines = (f"{int(i)} {int(j)} {float(value)!r}\n" for (i, j), value in zip(pairs, r))
    handle.writelines(lines)


def _write_file(path: str, pairs: np.ndarray, r: np.ndarray) -> None:
    """Write the table whole or not at all, as the solve command writes its output."""

    def write(handle: Any) -> None:
        text = io.TextIOWrapper(handle, encoding="utf-8", newline="\n")
        _write_table(text, pairs, r)
        text.flush()
        text.detach()  # the binary handle stays open for the writer to finish

    write_atomically(path, write)


def add_resistance_parser(
    commands: Any,
    number: Callable[[str], float],
    seed: Callable[[str], int],
    positive: Callable[[str], int],
) -> None:
    """Register ``resistance`` with the argument types of the main command line."""
    parser = commands.add_parser(
        "resistance",
        help="effective resistances of a graph given by its adjacency matrix",
        description="Effective resistances of the graph whose symmetric, non-negative "
        "adjacency matrix is in a Matrix Market file (a pattern file gives unit weights; "
        "values are conductances). With --pairs, the resistances of those vertex pairs to "
        "solver accuracy; without, approximate resistances of every edge by a random "
        "sketch. Prints 'i j r' lines, vertices numbered from 0 (row i of the file is "
        "vertex i-1), or writes them with --out.",
    )
    parser.add_argument("matrix", metavar="ADJ.mtx", help="Matrix Market file with the adjacency")
    parser.add_argument(
        "--pairs", metavar="FILE", help="vertex pairs: .npy or text, two numbers per line"
    )
    parser.add_argument(
        "--eps", type=number, default=0.3, help="relative accuracy of the sketch (default 0.3)"
    )
    parser.add_argument("--k", type=positive, help="number of sketch projections (overrides --eps)")
    parser.add_argument("--seed", type=seed, default=0, help="seed (default 0)")
    parser.add_argument(
        "--tol",
        type=number,
        help="relative residual of each solve (default 1e-8 with --pairs or one solve per edge, "
        "eps^2/100 for the sketch)",
    )
    parser.add_argument("--out", metavar="FILE", help="write the 'i j r' table to FILE")


def run_resistance(args: argparse.Namespace, check_output_path: Callable[[str], None]) -> int:
    if args.out is not None:
        check_output_path(args.out)
    if not args.eps < 1:
        raise ValueError(f"--eps must be below 1, got {args.eps:g}")
    start = time.perf_counter()
    graph = as_graph_laplacian(
        read_graph_laplacian(args.matrix, "resistance takes the adjacency matrix of the graph")
    )
    summary: List[Tuple[str, str]] = [
        ("graph", args.matrix),
        ("vertices", f"{graph.n}"),
        ("edges", f"{(graph.L.nnz - np.count_nonzero(graph.L.diagonal())) // 2}"),
        ("components", f"{graph.n_components}"),
    ]
    begin = time.perf_counter()
    try:
        if args.pairs is not None:
            pairs = read_pairs(args.pairs, graph.n)
            tol = 1e-8 if args.tol is None else args.tol
            begin = time.perf_counter()
            r = effective_resistance(graph, pairs, tol=tol, seed=args.seed)
            summary.append(("method", f"{len(pairs)} pairs, one solve each (tol {tol:g})"))
        else:
            k = sketch_size(graph.n, args.eps) if args.k is None else args.k
            pairs, r = effective_resistances(graph, args.eps, args.seed, k=k, tol=args.tol)
            tol = default_tol(args.eps, k >= len(pairs)) if args.tol is None else args.tol
            if k >= len(pairs):
                method = f"all edges, one solve each: a sketch of {k} would need more (tol {tol:g})"
            else:
                method = f"all edges, sketch of {k} solves (tol {tol:g})"
            summary.append(("method", method))
    except SolveFailed as exc:
        print(f"vorlane: {exc}", file=sys.stderr)
        return EXIT_NOT_CONVERGED
    summary.append(("time", f"{time.perf_counter() - begin:.3f} s"))
    summary.append(("total time", f"{time.perf_counter() - start:.3f} s"))
    if args.out is not None:
        _write_file(args.out, pairs, r)
        summary.append(("written to", args.out))
        report = sys.stdout
    else:
        _write_table(sys.stdout, pairs, r)
        report = sys.stderr
    for label, value in summary:
        print(f"{label:<12} {value}", file=report)
    return 0
