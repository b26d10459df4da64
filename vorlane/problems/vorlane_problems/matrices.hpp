// Graph Laplacians and SDDM matrices as CSR arrays, for the tests of every layer: paths, stars,
// trees, grids, random graphs, and SDDM matrices made from them.
//
// Every builder is deterministic for a given seed and does not depend on the standard
// library's distributions, so a seed gives the same matrix everywhere. Rows come out with
// sorted, duplicate-free columns and an explicit diagonal entry, like a canonical sparse matrix.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace vorlane_problems {

// A small seeded generator for test data. mt19937_64's output sequence is fixed by the
// standard; the conversions below are our own, so the data do not depend on the library.
class Rng {
public:
    explicit Rng(uint64_t seed) : engine_(seed ^ 0x5DEECE66DULL) {}

    uint64_t next() { return engine_(); }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    // Uniform in [0, bound); bound > 0.
    uint64_t below(uint64_t bound) { return next() % bound; }
    bool chance(double p) { return uniform() < p; }

    template <class T>
    void shuffle(std::vector<T>& v) {
        for (size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[below(i)]);
    }

private:
    std::mt19937_64 engine_;
};

struct Csr {
    uint32_t n = 0;
    std::vector<uint32_t> row_ptrs{0};
    std::vector<uint32_t> col_indices;
    std::vector<double> values;

    std::span<const uint32_t> rp() const { return row_ptrs; }
    std::span<const uint32_t> ci() const { return col_indices; }
    std::span<const double> va() const { return values; }
    uint64_t nnz() const { return col_indices.size(); }
};

struct WeightedEdge {
    uint32_t a;
    uint32_t b;
    double w;
};

// All 1; uniform in [0.5, 2); or 10^u with u uniform in [-6, 6] (twelve decades).
enum class Weights { Unit, Random, Contrast };

inline double draw_weight(Rng& rng, Weights kind) {
    if (kind == Weights::Unit) return 1.0;
    if (kind == Weights::Random) return rng.uniform(0.5, 2.0);
    return std::pow(10.0, rng.uniform(-6.0, 6.0));
}

// CSR from (row, col, value) triplets; duplicates are summed, columns sorted. Each entry is
// summed from 0.0 in triplet order. Flat arrays only: no allocation per row or entry, so that
// building a large matrix leaves no scattered free memory behind.
inline Csr csr_from_triplets(uint32_t n, const std::vector<std::tuple<uint32_t, uint32_t, double>>& triplets,
                             bool explicit_diagonal = true) {
    // Triplet positions grouped by row (counting sort, stable), then by column within a row.
    std::vector<uint64_t> starts(uint64_t{n} + 1, 0);
    for (const auto& t : triplets) ++starts[std::get<0>(t) + uint64_t{1}];
    for (uint32_t i = 0; i < n; ++i) starts[i + 1] += starts[i];
    std::vector<uint64_t> next(starts.begin(), starts.end() - 1);
    std::vector<uint64_t> by_row(triplets.size());
    for (uint64_t k = 0; k < triplets.size(); ++k) by_row[next[std::get<0>(triplets[k])]++] = k;
    Csr csr;
    csr.n = n;
    csr.row_ptrs.assign(1, 0);
    for (uint32_t i = 0; i < n; ++i) {
        const auto first = by_row.begin() + static_cast<std::ptrdiff_t>(starts[i]);
        const auto last = by_row.begin() + static_cast<std::ptrdiff_t>(starts[i + 1]);
        std::stable_sort(first, last, [&](uint64_t x, uint64_t y) {
            return std::get<1>(triplets[x]) < std::get<1>(triplets[y]);
        });
        bool diagonal_done = !explicit_diagonal;
        for (auto it = first; it != last;) {
            const uint32_t j = std::get<1>(triplets[*it]);
            if (!diagonal_done && i < j) {
                csr.col_indices.push_back(i);
                csr.values.push_back(0.0);
            }
            diagonal_done = diagonal_done || i <= j;
            double sum = 0.0;
            for (; it != last && std::get<1>(triplets[*it]) == j; ++it) sum += std::get<2>(triplets[*it]);
            csr.col_indices.push_back(j);
            csr.values.push_back(sum);
        }
        if (!diagonal_done) {
            csr.col_indices.push_back(i);
            csr.values.push_back(0.0);
        }
        csr.row_ptrs.push_back(static_cast<uint32_t>(csr.col_indices.size()));
    }
    return csr;
}

// Laplacian of the undirected graph with the given weighted edges; parallel edges add up.
inline Csr laplacian_from_edges(uint32_t n, const std::vector<WeightedEdge>& edges) {
    std::vector<std::tuple<uint32_t, uint32_t, double>> t;
    t.reserve(4 * edges.size());
    for (const auto& e : edges) {
        t.emplace_back(e.a, e.b, -e.w);
        t.emplace_back(e.b, e.a, -e.w);
        t.emplace_back(e.a, e.a, e.w);
        t.emplace_back(e.b, e.b, e.w);
    }
    return csr_from_triplets(n, t);
}

// The matrix plus diag(extra).
inline Csr add_diagonal(const Csr& m, const std::vector<double>& extra) {
    std::vector<std::tuple<uint32_t, uint32_t, double>> t;
    for (uint32_t i = 0; i < m.n; ++i) {
        for (uint32_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) t.emplace_back(i, m.col_indices[k], m.values[k]);
        if (extra[i] != 0.0) t.emplace_back(i, i, extra[i]);
    }
    return csr_from_triplets(m.n, t);
}

inline std::vector<WeightedEdge> grid2d_edges(uint32_t nx, uint32_t ny, uint64_t seed, Weights kind) {
    Rng rng(seed);
    std::vector<WeightedEdge> edges;
    auto id = [ny](uint32_t x, uint32_t y) { return x * ny + y; };
    for (uint32_t x = 0; x < nx; ++x) {
        for (uint32_t y = 0; y < ny; ++y) {
            if (x + 1 < nx) edges.push_back({id(x, y), id(x + 1, y), draw_weight(rng, kind)});
            if (y + 1 < ny) edges.push_back({id(x, y), id(x, y + 1), draw_weight(rng, kind)});
        }
    }
    return edges;
}

inline Csr grid2d(uint32_t nx, uint32_t ny, uint64_t seed = 0, Weights kind = Weights::Random) {
    return laplacian_from_edges(nx * ny, grid2d_edges(nx, ny, seed, kind));
}

inline Csr grid3d(uint32_t nx, uint32_t ny, uint32_t nz, uint64_t seed = 0, Weights kind = Weights::Random) {
    Rng rng(seed);
    std::vector<WeightedEdge> edges;
    auto id = [ny, nz](uint32_t x, uint32_t y, uint32_t z) { return (x * ny + y) * nz + z; };
    for (uint32_t x = 0; x < nx; ++x) {
        for (uint32_t y = 0; y < ny; ++y) {
            for (uint32_t z = 0; z < nz; ++z) {
                if (x + 1 < nx) edges.push_back({id(x, y, z), id(x + 1, y, z), draw_weight(rng, kind)});
                if (y + 1 < ny) edges.push_back({id(x, y, z), id(x, y + 1, z), draw_weight(rng, kind)});
                if (z + 1 < nz) edges.push_back({id(x, y, z), id(x, y, z + 1), draw_weight(rng, kind)});
            }
        }
    }
    return laplacian_from_edges(nx * ny * nz, edges);
}

// The path 0 - 1 - ... - (n-1).
inline Csr path(uint32_t n, uint64_t seed = 0, Weights kind = Weights::Random) {
    Rng rng(seed);
    std::vector<WeightedEdge> edges;
    for (uint32_t i = 0; i + 1 < n; ++i) edges.push_back({i, i + 1, draw_weight(rng, kind)});
    return laplacian_from_edges(n, edges);
}

// Vertex 0 joined to every other vertex.
inline Csr star(uint32_t n, uint64_t seed = 0, Weights kind = Weights::Random) {
    Rng rng(seed);
    std::vector<WeightedEdge> edges;
    for (uint32_t i = 1; i < n; ++i) edges.push_back({0, i, draw_weight(rng, kind)});
    return laplacian_from_edges(n, edges);
}

// A random tree: vertex i > 0 hangs from a random earlier vertex, then labels are shuffled.
inline std::vector<WeightedEdge> random_tree_edges(uint32_t n, uint64_t seed, Weights kind) {
    Rng rng(seed);
    std::vector<uint32_t> perm(n);
    std::iota(perm.begin(), perm.end(), 0u);
    rng.shuffle(perm);
    std::vector<WeightedEdge> edges;
    for (uint32_t i = 1; i < n; ++i) {
        const auto parent = static_cast<uint32_t>(rng.below(i));
        edges.push_back({perm[i], perm[parent], draw_weight(rng, kind)});
    }
    return edges;
}

inline Csr random_tree(uint32_t n, uint64_t seed = 0, Weights kind = Weights::Random) {
    return laplacian_from_edges(n, random_tree_edges(n, seed, kind));
}

// A random sparse graph with about n * avg_degree / 2 edges (parallel edges merge); with
// connected = true a random spanning path is added.
inline Csr random_graph(uint32_t n, double avg_degree = 6.0, uint64_t seed = 0, Weights kind = Weights::Random,
                        bool connected = true) {
    Rng rng(seed);
    std::vector<WeightedEdge> edges;
    const auto m = static_cast<uint64_t>(n * avg_degree / 2);
    for (uint64_t e = 0; e < m && n > 1; ++e) {
        const auto a = static_cast<uint32_t>(rng.below(n));
        const auto b = static_cast<uint32_t>(rng.below(n));
        if (a != b) edges.push_back({a, b, draw_weight(rng, kind)});
    }
    if (connected && n > 1) {
        std::vector<uint32_t> perm(n);
        std::iota(perm.begin(), perm.end(), 0u);
        rng.shuffle(perm);
        for (uint32_t i = 0; i + 1 < n; ++i) edges.push_back({perm[i], perm[i + 1], draw_weight(rng, kind)});
    }
    return laplacian_from_edges(n, edges);
}

// An SDDM matrix: the Laplacian plus a positive diagonal excess on a random subset of the
// vertices (at least one), so that a connected graph gives a nonsingular matrix.
inline Csr sddm(const Csr& laplacian, uint64_t seed = 1, double density = 0.1, double low = 0.1,
                double high = 1.0) {
    Rng rng(seed);
    std::vector<double> extra(laplacian.n, 0.0);
    for (auto& e : extra) {
        if (rng.chance(density)) e = rng.uniform(low, high);
    }
    if (laplacian.n > 0) extra[rng.below(laplacian.n)] = rng.uniform(low, high);
    return add_diagonal(laplacian, extra);
}

// The Laplacian plus a positive excess on exactly the given vertices.
inline Csr grounded_at(const Csr& laplacian, const std::vector<uint32_t>& vertices, uint64_t seed = 1) {
    Rng rng(seed);
    std::vector<double> extra(laplacian.n, 0.0);
    for (uint32_t v : vertices) extra[v] = rng.uniform(0.2, 2.0);
    return add_diagonal(laplacian, extra);
}

inline Csr diagonal(const std::vector<double>& d) {
    std::vector<std::tuple<uint32_t, uint32_t, double>> t;
    for (uint32_t i = 0; i < d.size(); ++i) t.emplace_back(i, i, d[i]);
    return csr_from_triplets(static_cast<uint32_t>(d.size()), t, false);
}

// Block-diagonal union of two matrices; the second one's vertices follow the first's.
inline Csr disjoint_union(const Csr& a, const Csr& b) {
    std::vector<std::tuple<uint32_t, uint32_t, double>> t;
    for (uint32_t i = 0; i < a.n; ++i) {
        for (uint32_t k = a.row_ptrs[i]; k < a.row_ptrs[i + 1]; ++k) t.emplace_back(i, a.col_indices[k], a.values[k]);
    }
    for (uint32_t i = 0; i < b.n; ++i) {
        for (uint32_t k = b.row_ptrs[i]; k < b.row_ptrs[i + 1]; ++k) {
            t.emplace_back(a.n + i, a.n + b.col_indices[k], b.values[k]);
        }
    }
    return csr_from_triplets(a.n + b.n, t);
}

using Dense = std::vector<std::vector<double>>;

inline Dense to_dense(const Csr& m) {
    Dense d(m.n, std::vector<double>(m.n, 0.0));
    for (uint32_t i = 0; i < m.n; ++i) {
        for (uint32_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) d[i][m.col_indices[k]] += m.values[k];
    }
    return d;
}

// The largest absolute row sum, which decides whether the ground vertex is added.
inline double max_abs_row_sum(const Csr& m) {
    double largest = 0.0;
    for (uint32_t i = 0; i < m.n; ++i) {
        double s = 0.0;
        for (uint32_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) s += m.values[k];
        largest = std::max(largest, std::abs(s));
    }
    return largest;
}

}  // namespace vorlane_problems
