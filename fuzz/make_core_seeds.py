"""Writes the seed corpus of the core fuzzer (fuzz/corpus/core) in the layout of decode.hpp.

Run from anywhere: python3 fuzz/make_core_seeds.py. The files are committed; rerun only when
the input layout changes.
"""

from __future__ import annotations

import random
import struct
from pathlib import Path

OUT = Path(__file__).resolve().parent / "corpus" / "core"

RAW, GRAPH, CORRUPT = 0, 1, 2
SPLIT, MIRROR, LAPLACIAN = 4, 8, 16

SPECIAL = {0.0: 0, 1.0: 2, -1.0: 3, 0.5: 4, -0.5: 5, 2.0: 6, -2.0: 7}
NAN, INF, NEG_INF, TINY, HUGE, NEAR_PIVOT = 8, 9, 10, 11, 13, 15


def value(x) -> bytes:
    """A value token: a special code, a small grid value or eight raw bytes."""
    if isinstance(x, str):
        return bytes([{"nan": NAN, "inf": INF, "-inf": NEG_INF, "tiny": TINY, "huge": HUGE, "pivot": NEAR_PIVOT}[x]])
    if x in SPECIAL and not (x == 0.0 and str(x).startswith("-")):
        return bytes([SPECIAL[x]])
    b = x * 16 + 128
    if b == int(b) and 16 <= b < 240:
        return bytes([int(b)])
    return bytes([240]) + struct.pack("<d", x)


def index(i: int) -> bytes:
    return bytes([i]) if i < 0xF0 else bytes([0xF0]) + struct.pack("<I", i)


def header(flags: int, split: int = 0, seed: int = 0, rhs: int = 255, work: int = 1) -> bytes:
    return bytes([flags, split]) + struct.pack("<Q", seed) + bytes([rhs, work])


def raw(n, row_ptrs, cols, vals, **kw) -> bytes:
    body = index(n) + bytes([len(row_ptrs), len(cols), len(vals)])
    body += b"".join(index(r) for r in row_ptrs) + b"".join(index(c) for c in cols)
    body += b"".join(value(v) for v in vals)
    return header(RAW, **kw) + body


def graph(n, entries, flags=GRAPH | MIRROR | LAPLACIAN, excess=None, corruption=None, rhs_values=(), **kw) -> bytes:
    """entries: (i, j, value) off-diagonal entries; excess: per-row diagonal excess (LAPLACIAN)."""
    body = bytes([n]) + struct.pack("<H", len(entries))
    for i, j, x in entries:
        body += bytes([i, j]) + value(x)
    if flags & LAPLACIAN:
        ex = excess if excess is not None else [0.0] * n
        body += b"".join(value(e) for e in ex)
    if corruption is not None:
        body += bytes(corruption)
    body += b"".join(value(v) for v in rhs_values)
    return header(flags, **kw) + body


def path_edges(n, w=-1.0):
    return [(i, i + 1, w) for i in range(n - 1)]


def grid_edges(nx, ny, rng):
    edges = []
    for r in range(nx):
        for c in range(ny):
            v = r * ny + c
            if r + 1 < nx:
                edges.append((v, v + ny, -rng.choice([0.5, 1.0, 1.5, 2.0])))
            if c + 1 < ny:
                edges.append((v, v + 1, -rng.choice([0.5, 1.0, 1.5, 2.0])))
    return edges


def main() -> None:
    rng = random.Random(7)
    seeds = {
        "raw_empty": raw(0, [0], [], []),
        "raw_one_zero": raw(1, [0, 0], [], []),
        "raw_one_positive": raw(1, [0, 1], [0], [2.0]),
        "raw_two_laplacian": raw(2, [0, 2, 4], [0, 1, 0, 1], [1.0, -1.0, -1.0, 1.0]),
        "raw_huge_n": raw(0xFFFFFFFF, [0], [], []),
        "raw_n_u32_edge": raw(0xFFFFFFFE, [0, 0], [], []),
        "raw_length_mismatch": raw(2, [0, 1, 2], [0, 1, 1], [1.0, 1.0]),
        "raw_decreasing": raw(3, [0, 2, 1, 3], [0, 1, 2], [1.0, 1.0, 1.0]),
        "raw_column_oob": raw(3, [0, 2, 3, 5], [0, 1, 2, 0, 3], [1.0] * 5),
        "raw_last_ptr": raw(3, [0, 1, 2, 5], [0, 1, 2, 0], [1.0] * 4),
        "raw_first_ptr": raw(2, [3, 3, 3], [0, 1, 0], [1.0] * 3),
        "path_laplacian": graph(6, path_edges(6), rhs_values=[1, -1, 0.5, 0, 0, -0.5]),
        "path_sddm": graph(6, path_edges(6), excess=[0.5, 0, 0, 0, 0, 1.0]),
        "path_split2": graph(6, path_edges(6), flags=GRAPH | MIRROR | LAPLACIAN | SPLIT, split=2, seed=3),
        "path_split0": graph(4, path_edges(4), flags=GRAPH | MIRROR | LAPLACIAN | SPLIT, split=0),
        "grid_laplacian": graph(25, grid_edges(5, 5, rng), seed=11),
        "grid_sddm_split3": graph(
            25, grid_edges(5, 5, rng), flags=GRAPH | MIRROR | LAPLACIAN | SPLIT, split=3,
            excess=[0.25 * (i % 3) for i in range(25)], seed=5),
        # A hub with 40 neighbours: stars longer than the sorted-merge limit take the dense path.
        "hub_dense": graph(41, [(0, i, -1.0) for i in range(1, 41)] + [(0, 5, -0.5), (0, 7, -2.0)], seed=1),
        "hub_dense_split": graph(
            41, [(0, i, -0.5) for i in range(1, 41)] * 2, flags=GRAPH | MIRROR | LAPLACIAN | SPLIT, split=4),
        # Complete graphs: every star is long, so the weighted draw bisects its prefix sums.
        "complete_40": graph(40, [(i, j, -rng.choice([0.5, 1.0, 2.0])) for i in range(40) for j in range(i + 1, 40)],
                             seed=9),
        "complete_36_split2": graph(
            36, [(i, j, -1.0) for i in range(36) for j in range(i + 1, 36)],
            flags=GRAPH | MIRROR | LAPLACIAN | SPLIT, split=2, excess=[0.5] * 36, seed=10),
        "duplicates_unsorted": graph(5, [(3, 1, -1.0), (1, 3, -1.0), (3, 1, -0.5), (0, 4, -2.0), (4, 2, -1.0)]),
        "positive_offdiag": graph(4, [(0, 1, 1.0), (1, 2, -1.0), (2, 3, 2.0)]),
        "nonsymmetric": graph(4, [(0, 1, -1.0), (2, 1, -2.0), (3, 0, -1.5)], flags=GRAPH | LAPLACIAN),
        "nan_inf": graph(5, [(0, 1, "nan"), (1, 2, "-inf"), (2, 3, -1.0), (3, 4, "inf")], rhs_values=["nan"]),
        "tiny_huge": graph(4, [(0, 1, -1e-300), (1, 2, -1e300), (2, 3, "pivot")], excess=["tiny", 0, "huge", 0]),
        "no_diagonal": graph(4, path_edges(4), flags=GRAPH | MIRROR),
        "isolated": graph(6, [(0, 1, -1.0)], excess=[0, 0, 1.0, 0, 0, 0]),
        "zero_rows": graph(8, [], flags=GRAPH | LAPLACIAN),
        "short_work": graph(5, path_edges(5), work=8),
        "long_rhs": graph(5, path_edges(5), rhs=6),
    }
    for op in range(9):
        seeds[f"corrupt_{op}"] = graph(
            6, path_edges(6), flags=CORRUPT | MIRROR | LAPLACIAN, corruption=[op, 3, 2])
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.iterdir():
        old.unlink()
    for name, data in seeds.items():
        (OUT / name).write_bytes(data)
    print(f"wrote {len(seeds)} seeds to {OUT}")


if __name__ == "__main__":
    main()
