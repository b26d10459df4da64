"""Benchmark problems: graph Laplacians and SDDM matrices generated on the spot.

Every builder is deterministic for a given seed and returns a ``scipy.sparse.csr_matrix``
(float64, sorted and duplicate-free indices). Grids with unit or log-uniform weights, the
power-law graph and the expander come from the generators the C++ benchmark and tests use
(``vorlane._problems``); the other families are built here.  Laplacians of irregular graphs are cut down
to their largest connected component, so that every Laplacian has a one-dimensional null
space (the constant vector).

``make_problems(size)`` returns the suite for ``size`` in {"quick", "full"}; the full size
is about 10^6 unknowns per problem.
"""

from __future__ import annotations

import os
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np
import scipy.io
import scipy.sparse as sp
import scipy.sparse.csgraph as csgraph
from scipy.spatial import cKDTree

from vorlane import _problems

# The grid weights drawn by the shared generator (the C++ benchmark draws the same matrices).
SHARED_GRID_WEIGHTS = {"unit": "unit", "loguniform": "log-uniform"}


# ---------------------------------------------------------------------------------------
# Building blocks


def laplacian_from_edges(n, rows, cols, weights):
    """Laplacian of the undirected weighted graph on n vertices; parallel edges add up."""
    rows = np.asarray(rows, dtype=np.int64)
    cols = np.asarray(cols, dtype=np.int64)
    weights = np.asarray(weights, dtype=np.float64)
    keep = rows != cols
    rows, cols, weights = rows[keep], cols[keep], weights[keep]
    adj = sp.coo_matrix((weights, (rows, cols)), shape=(n, n))
    adj = (adj + adj.T).tocsr()
    adj.sum_duplicates()
    adj.data = dyadic_round(adj.data, int(np.diff(adj.indptr).max(initial=1)))
    degree = np.asarray(adj.sum(axis=1)).ravel()
    lap = (sp.diags(degree, format="csr") - adj).tocsr()
    return canonical(lap)


def dyadic_round(w, max_terms):
    """Round positive weights to a multiple of a power of two q chosen so that any sum of
    up to ``max_terms`` of them (and the diagonal minus them) is exact in float64.

    Then every Laplacian row sums to exactly 0.0 whatever the order of summation, so a
    Laplacian is recognized as one by any solver (no rounding residue on the rows).  With
    the weight ranges used here the relative change of a weight is below 1e-6.
    """
    w = np.asarray(w, dtype=np.float64)
    if w.size == 0:
        return w
    top = int(np.ceil(np.log2(w.max())))
    q = 2.0 ** (top - 52 + int(np.ceil(np.log2(max_terms + 1))) + 2)
    out = np.round(w / q) * q
    if np.any(out <= 0):
        raise ValueError("weight range too wide for exact row sums")
    return out


def canonical(a):
    a = sp.csr_matrix(a, dtype=np.float64)
    a.sum_duplicates()
    a.sort_indices()
    a.eliminate_zeros()
    return a


def largest_component(lap):
    """Restriction of a Laplacian to its largest connected component (still a Laplacian)."""
    n_comp, labels = csgraph.connected_components(lap, directed=False)
    if n_comp == 1:
        return lap, 1
    counts = np.bincount(labels)
    keep = np.flatnonzero(labels == np.argmax(counts))
    sub = lap[keep][:, keep]
    return canonical(sub), n_comp


def grid_edges(shape):
    """Edges (rows, cols) of the nearest-neighbour grid graph with the given shape."""
    index = np.arange(int(np.prod(shape))).reshape(shape)
    rows, cols = [], []
    for axis in range(len(shape)):
        lo = [slice(None)] * len(shape)
        hi = [slice(None)] * len(shape)
        lo[axis] = slice(None, -1)
        hi[axis] = slice(1, None)
        rows.append(index[tuple(lo)].ravel())
        cols.append(index[tuple(hi)].ravel())
    return index, np.concatenate(rows), np.concatenate(cols)


def grid_laplacian(shape, weights="unit", seed=0, blocks=8, contrast=1e6):
    """Laplacian of a grid graph.

    weights:
      "unit"        all edge weights 1;
      "loguniform"  independent weights, log-uniform over [1e-4, 1e4];
      "checker"     a checkerboard of ``blocks`` cells per axis made of two materials with
                    coefficients 1 and ``contrast``; an edge gets the harmonic mean of the
                    coefficients at its two ends (the usual finite-volume rule).
    """
    if weights in SHARED_GRID_WEIGHTS:
        return _problems.grid(shape, SHARED_GRID_WEIGHTS[weights], seed=seed)
    index, rows, cols = grid_edges(shape)
    n = index.size
    if weights == "checker":
        coords = np.indices(shape).reshape(len(shape), -1)
        cell = sum((coords[a] * blocks) // shape[a] for a in range(len(shape)))
        coef = np.where(cell % 2 == 0, 1.0, contrast)
        w = 2.0 * coef[rows] * coef[cols] / (coef[rows] + coef[cols])
    else:
        raise ValueError(f"unknown weights {weights!r}")
    return laplacian_from_edges(n, rows, cols, w)


def add_sparse_diagonal(lap, fraction=0.01, low=0.1, high=1.0, seed=0):
    """SDDM matrix: Laplacian plus a positive diagonal on a random ``fraction`` of rows."""
    rng = np.random.default_rng(seed)
    n = lap.shape[0]
    k = max(1, int(round(fraction * n)))
    where = rng.choice(n, size=k, replace=False)
    extra = np.zeros(n)
    extra[where] = rng.uniform(low, high, size=k)
    return canonical(lap + sp.diags(extra, format="csr"))


def random_geometric_laplacian(n, avg_degree=8.0, dim=2, seed=0):
    """Random geometric graph in the unit cube; edge weight 1 / distance (capped at 1e4)."""
    rng = np.random.default_rng(seed)
    pts = rng.random((n, dim))
    # Expected degree = n * volume of the radius-r ball.
    unit_ball = np.pi if dim == 2 else 4.0 / 3.0 * np.pi
    r = (avg_degree / (n * unit_ball)) ** (1.0 / dim)
    pairs = cKDTree(pts).query_pairs(r, output_type="ndarray")
    d = np.linalg.norm(pts[pairs[:, 0]] - pts[pairs[:, 1]], axis=1)
    w = np.minimum(1.0 / np.maximum(d, 1e-12), 1e4) * r  # scaled so typical weights are ~1
    return laplacian_from_edges(n, pairs[:, 0], pairs[:, 1], w)


def preferential_attachment_laplacian(n, m=3, seed=0):
    """Preferential-attachment graph (each new vertex links to m earlier ones chosen with
    probability proportional to degree): heavy-tailed degrees.  Weights uniform in [0.5, 2).

    Vectorized: edge k's target is the endpoint at a uniformly random position of the list
    of endpoints of all earlier edges; odd positions are targets of earlier edges, resolved
    by pointer jumping.
    """
    rng = np.random.default_rng(seed)
    m0 = m + 1
    seed_src, seed_dst = np.triu_indices(m0, k=1)
    n_seed = seed_src.size
    n_new = (n - m0) * m
    n_edges = n_seed + n_new
    src = np.empty(n_edges, dtype=np.int64)
    dst = np.empty(n_edges, dtype=np.int64)
    src[:n_seed], dst[:n_seed] = seed_src, seed_dst
    k = np.arange(n_seed, n_edges)
    owner = m0 + (k - n_seed) // m
    src[n_seed:] = owner
    # Edges before this vertex's block: positions 0 .. 2 * first_edge - 1.
    first_edge = n_seed + (owner - m0) * m
    pos = (rng.random(n_new) * (2 * first_edge)).astype(np.int64)
    pos = np.minimum(pos, 2 * first_edge - 1)
    # Resolve: even position 2j -> src[j]; odd position 2j+1 -> dst[j].
    pending = np.ones(n_new, dtype=bool)
    result = np.empty(n_new, dtype=np.int64)
    # Seed edges' targets are known already.
    while pending.any():
        idx = np.flatnonzero(pending)
        p = pos[idx]
        j = p // 2
        even = (p % 2) == 0
        known = even | (j < n_seed)
        vals = np.where(even, src[j], dst[np.minimum(j, n_seed - 1)])
        done = idx[known]
        result[done] = vals[known]
        pending[done] = False
        # Odd position of a non-seed edge j: its target is edge j's own random position.
        rest = idx[~known]
        pos[rest] = pos[j[~known] - n_seed]
        # dst of resolved edges is needed by later lookups only through pos, not dst,
        # since we follow positions; so dst[n_seed:] is filled at the end.
    dst[n_seed:] = result
    w = rng.uniform(0.5, 2.0, size=n_edges)
    return laplacian_from_edges(n, src, dst, w)


def random_regular_laplacian(n, degree=4, seed=0):
    """Random (near-)regular graph from the configuration model: stubs paired at random,
    self loops dropped, parallel edges merged.  Weights uniform in [0.5, 2)."""
    rng = np.random.default_rng(seed)
    if (n * degree) % 2:
        n += 1
    stubs = np.repeat(np.arange(n), degree)
    rng.shuffle(stubs)
    a, b = stubs[0::2], stubs[1::2]
    keep = a != b
    a, b = a[keep], b[keep]
    key = np.unique(np.minimum(a, b) * n + np.maximum(a, b))
    a, b = key // n, key % n
    w = rng.uniform(0.5, 2.0, size=a.size)
    return laplacian_from_edges(n, a, b, w)


def grounded_grid(shape, weights="unit", seed=0, renumber=None):
    """SDDM grid: the grid Laplacian plus 1 on the diagonal of every boundary vertex, with
    weights "unit" or "loguniform"; renumber numbers the vertices in a random order."""
    return _problems.grid(shape, SHARED_GRID_WEIGHTS[weights], grounded=True, seed=seed, renumber=renumber)


def chung_lu_sddm(n, avg_degree=10.0, seed=0):
    """Power-law graph (Chung-Lu: expected degree of vertex i proportional to (i+1)^(-1/1.5),
    average ``avg_degree``), plus a random Hamiltonian path so it is connected; unit weights,
    one vertex grounded."""
    return _problems.power_law(n, avg_degree, seed)


def expander_sddm(n, seed=0):
    """Expander: three random perfect matchings plus the path 0-1-...-(n-1), unit weights,
    one vertex grounded.  n is rounded up to even."""
    return _problems.expander(n, seed)


def via_matrix_market(a, path=None):
    """Write ``a`` to a Matrix Market file and read it back (exercises the file path)."""
    if path is None:
        fd, path = tempfile.mkstemp(suffix=".mtx", prefix="vorlane-bench-")
        os.close(fd)
        remove = True
    else:
        remove = False
    try:
        scipy.io.mmwrite(path, a, symmetry="symmetric", precision=17)
        back = scipy.io.mmread(path)
    finally:
        if remove:
            os.unlink(path)
    back = canonical(sp.csr_matrix(back))
    if back.shape != a.shape or back.nnz != a.nnz or abs(back - a).max() > 0:
        raise RuntimeError("Matrix Market round trip changed the matrix")
    return back


# ---------------------------------------------------------------------------------------
# The suite


@dataclass
class Problem:
    name: str
    kind: str  # "laplacian" or "sddm"
    matrix: sp.csr_matrix
    note: str = ""
    build_seconds: float = 0.0
    extra: dict = field(default_factory=dict)

    @property
    def n(self):
        return self.matrix.shape[0]

    @property
    def nnz(self):
        return self.matrix.nnz

    @property
    def singular(self):
        return self.kind == "laplacian"

    def rhs(self, seed=12345):
        """Random right-hand side; orthogonal to the constant vector for a Laplacian."""
        rng = np.random.default_rng(seed)
        b = rng.standard_normal(self.n)
        if self.singular:
            b -= b.mean()
        return b


SIZES = {
    # name: (2D side, 3D side, irregular n)
    "quick": (120, 24, 15_000),
    "full": (1000, 100, 1_000_000),
}


def problem_recipes(size):
    """(name, kind, builder) triples; builders are called lazily so one can filter."""
    s2, s3, ni = SIZES[size]
    recipes = [
        ("grid2d-unit", "laplacian", lambda: (grid_laplacian((s2, s2)), f"{s2}x{s2} grid, unit weights")),
        ("grid3d-unit", "laplacian", lambda: (grid_laplacian((s3, s3, s3)), f"{s3}^3 grid, unit weights")),
        ("grid2d-loguni", "laplacian",
         lambda: (grid_laplacian((s2, s2), "loguniform", seed=1), f"{s2}x{s2} grid, weights log-uniform 1e-4..1e4")),
        ("grid3d-loguni", "laplacian",
         lambda: (grid_laplacian((s3, s3, s3), "loguniform", seed=2), f"{s3}^3 grid, weights log-uniform 1e-4..1e4")),
        ("grid2d-checker", "laplacian",
         lambda: (grid_laplacian((s2, s2), "checker"), f"{s2}x{s2} grid, 8x8 checkerboard, contrast 1e6")),
        ("grid3d-checker", "laplacian",
         lambda: (grid_laplacian((s3, s3, s3), "checker"), f"{s3}^3 grid, 8^3 checkerboard, contrast 1e6")),
        ("sddm3d", "sddm",
         lambda: (add_sparse_diagonal(grid_laplacian((s3, s3, s3), "loguniform", seed=3), seed=4),
                  f"{s3}^3 log-uniform grid + positive diagonal on 1% of rows")),
        ("sddm2d-mtx", "sddm",
         lambda: (via_matrix_market(add_sparse_diagonal(grid_laplacian((s2, s2), "loguniform", seed=5), seed=6)),
                  f"{s2}x{s2} log-uniform grid + diagonal on 1% of rows, via a Matrix Market file")),
        ("rgg", "laplacian",
         lambda: _lcc(random_geometric_laplacian(ni, avg_degree=8.0, seed=7), "random geometric 2D, avg deg 8, w=r/dist")),
        ("pref-attach", "laplacian",
         lambda: _lcc(preferential_attachment_laplacian(ni, m=3, seed=8), "preferential attachment m=3, w~U[0.5,2)")),
        ("rand-regular", "laplacian",
         lambda: _lcc(random_regular_laplacian(ni, degree=4, seed=9), "random 4-regular, w~U[0.5,2)")),
        ("grid2d-grounded", "sddm",
         lambda: (grounded_grid((s2, s2)), f"{s2}x{s2} grid, unit weights, boundary grounded with 1")),
        ("grid3d-grounded", "sddm",
         lambda: (grounded_grid((s3, s3, s3)), f"{s3}^3 grid, unit weights, boundary grounded with 1")),
        ("grid2d-loguni-grounded", "sddm",
         lambda: (grounded_grid((s2, s2), "loguniform", seed=10),
                  f"{s2}x{s2} grid, weights 10^U[-4,4], boundary grounded with 1")),
        ("grid3d-loguni-grounded", "sddm",
         lambda: (grounded_grid((s3, s3, s3), "loguniform", seed=11),
                  f"{s3}^3 grid, weights 10^U[-4,4], boundary grounded with 1")),
        ("grid2d-grounded-shuffled", "sddm",
         lambda: (grounded_grid((s2, s2), renumber=12),
                  f"{s2}x{s2} grounded unit grid, vertices numbered in random order")),
        ("powerlaw", "sddm",
         lambda: (chung_lu_sddm(ni, seed=13), f"Chung-Lu power law, n={ni}, avg deg 10, + Hamiltonian path")),
        ("expander", "sddm",
         lambda: (expander_sddm(ni, seed=14), f"3 random perfect matchings + path, n={ni}")),
    ]
    return recipes


def _lcc(lap, note):
    sub, n_comp = largest_component(lap)
    if n_comp > 1:
        note += f"; largest of {n_comp} components ({sub.shape[0]} of {lap.shape[0]} vertices)"
    return sub, note


def make_problem(recipe):
    name, kind, builder = recipe
    t0 = time.perf_counter()
    matrix, note = builder()
    return Problem(name, kind, matrix, note, time.perf_counter() - t0)
