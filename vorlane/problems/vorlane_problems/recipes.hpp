// Benchmark matrices, generated on the spot from fixed seeds: grids, a Chung-Lu power-law
// graph and an expander, as CSR arrays with sorted rows. They draw through the standard
// library's distributions and shuffle, so a seed gives the same matrix with one standard
// library (recorded factor digests rely on that), not necessarily across libraries.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "vorlane_problems/matrices.hpp"

namespace vorlane_problems::recipes {

using vorlane_problems::Csr;

struct Edge {
    uint32_t a;
    uint32_t b;
    double w;
};

// Laplacian of the edges (no parallel edges, no loops) plus diag(extra), rows sorted.
inline Csr assemble(uint32_t n, const std::vector<Edge>& edges, const std::vector<double>& extra) {
    std::vector<uint32_t> count(n, 1);  // the diagonal
    for (const Edge& e : edges) {
        ++count[e.a];
        ++count[e.b];
    }
    Csr csr;
    csr.n = n;
    csr.row_ptrs.assign(size_t{n} + 1, 0);
    for (uint32_t i = 0; i < n; ++i) csr.row_ptrs[i + 1] = csr.row_ptrs[i] + count[i];
    csr.col_indices.resize(csr.row_ptrs[n]);
    csr.values.resize(csr.row_ptrs[n]);
    std::vector<uint32_t> fill(csr.row_ptrs.begin(), csr.row_ptrs.end() - 1);
    std::vector<double> diag(extra);
    for (const Edge& e : edges) {
        csr.col_indices[fill[e.a]] = e.b;
        csr.values[fill[e.a]++] = -e.w;
        csr.col_indices[fill[e.b]] = e.a;
        csr.values[fill[e.b]++] = -e.w;
        diag[e.a] += e.w;
        diag[e.b] += e.w;
    }
    std::vector<std::pair<uint32_t, double>> row;
    for (uint32_t i = 0; i < n; ++i) {
        csr.col_indices[fill[i]] = i;
        csr.values[fill[i]] = diag[i];
        row.clear();
        for (uint32_t k = csr.row_ptrs[i]; k < csr.row_ptrs[i + 1]; ++k) row.emplace_back(csr.col_indices[k], csr.values[k]);
        std::sort(row.begin(), row.end());
        for (size_t k = 0; k < row.size(); ++k) {
            csr.col_indices[csr.row_ptrs[i] + k] = row[k].first;
            csr.values[csr.row_ptrs[i] + k] = row[k].second;
        }
    }
    return csr;
}

enum class GridWeights { Unit, LogUniform };

// Grid with the given sides (first axis fastest). Unit weights or 10^u with u uniform in
// [-decades, decades]; grounded adds 1 to the diagonal of every boundary vertex (an SDDM
// matrix), otherwise the matrix is the Laplacian.
inline Csr grid(const std::vector<uint32_t>& dims, GridWeights weights, bool grounded, uint64_t seed,
                double decades = 4.0) {
    uint64_t n = 1;
    for (uint32_t d : dims) n *= d;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> expo(-decades, decades);
    std::vector<Edge> edges;
    std::vector<double> extra(n, 0.0);
    uint64_t stride = 1;
    for (uint32_t d : dims) {
        for (uint64_t v = 0; v < n; ++v) {
            const uint64_t c = (v / stride) % d;
            if (grounded && (c == 0 || c + 1 == d)) extra[v] = 1.0;
            if (c + 1 < d) {
                const double w = weights == GridWeights::Unit ? 1.0 : std::pow(10.0, expo(rng));
                edges.push_back({static_cast<uint32_t>(v), static_cast<uint32_t>(v + stride), w});
            }
        }
        stride *= d;
    }
    return assemble(static_cast<uint32_t>(n), edges, extra);
}

// Unit-weight SDDM matrix of the pairs (parallel edges merged, loops dropped) with one
// random vertex grounded with 1.
inline Csr unit_graph_grounded(uint32_t n, const std::vector<std::pair<uint32_t, uint32_t>>& pairs,
                               std::mt19937_64& rng) {
    std::vector<uint64_t> keys;
    keys.reserve(pairs.size());
    for (auto [a, b] : pairs) {
        if (a != b) keys.push_back(uint64_t{std::min(a, b)} << 32 | std::max(a, b));
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<Edge> edges;
    edges.reserve(keys.size());
    for (uint64_t k : keys) edges.push_back({static_cast<uint32_t>(k >> 32), static_cast<uint32_t>(k), 1.0});
    std::vector<double> extra(n, 0.0);
    extra[rng() % n] = 1.0;
    return assemble(n, edges, extra);
}

// Chung-Lu power-law graph: expected degree of vertex i proportional to (i+1)^(-1/1.5),
// average avg_degree, endpoints drawn in proportion to it; plus a random Hamiltonian path.
inline Csr power_law(uint32_t n, double avg_degree, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> cumulative(n);
    double total = 0.0;
    for (uint32_t i = 0; i < n; ++i) cumulative[i] = total += std::pow(double(i) + 1.0, -1.0 / 1.5);
    std::uniform_real_distribution<double> uniform(0.0, total);
    auto draw = [&] {
        const auto it = std::upper_bound(cumulative.begin(), cumulative.end(), uniform(rng));
        return static_cast<uint32_t>(std::min<ptrdiff_t>(it - cumulative.begin(), n - 1));
    };
    const auto m = static_cast<uint64_t>(std::llround(double(n) * avg_degree / 2.0));
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    pairs.reserve(m + n);
    for (uint64_t e = 0; e < m; ++e) {
        const uint32_t a = draw();
        pairs.emplace_back(a, draw());
    }
    std::vector<uint32_t> tour(n);
    std::iota(tour.begin(), tour.end(), 0u);
    std::shuffle(tour.begin(), tour.end(), rng);
    for (uint32_t i = 0; i + 1 < n; ++i) pairs.emplace_back(tour[i], tour[i + 1]);
    return unit_graph_grounded(n, pairs, rng);
}

// Expander: three random perfect matchings plus the path 0-1-...-(n-1); n rounded up to even.
inline Csr expander(uint32_t n, uint64_t seed) {
    n += n % 2;
    std::mt19937_64 rng(seed);
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (uint32_t i = 0; i + 1 < n; ++i) pairs.emplace_back(i, i + 1);
    std::vector<uint32_t> perm(n);
    for (int matching = 0; matching < 3; ++matching) {
        std::iota(perm.begin(), perm.end(), 0u);
        std::shuffle(perm.begin(), perm.end(), rng);
        for (uint32_t i = 0; i + 1 < n; i += 2) pairs.emplace_back(perm[i], perm[i + 1]);
    }
    return unit_graph_grounded(n, pairs, rng);
}

// The same matrix with vertex v renamed perm[v], for a random permutation: no locality left.
inline Csr renumbered(const Csr& a, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint32_t> perm(a.n);
    std::iota(perm.begin(), perm.end(), 0u);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<uint32_t> inverse(a.n);
    for (uint32_t v = 0; v < a.n; ++v) inverse[perm[v]] = v;
    Csr out;
    out.n = a.n;
    std::vector<std::pair<uint32_t, double>> row;
    for (uint32_t i = 0; i < a.n; ++i) {
        const uint32_t old = inverse[i];
        row.clear();
        for (uint32_t k = a.row_ptrs[old]; k < a.row_ptrs[old + 1]; ++k) row.emplace_back(perm[a.col_indices[k]], a.values[k]);
        std::sort(row.begin(), row.end());
        for (auto [c, x] : row) {
            out.col_indices.push_back(c);
            out.values.push_back(x);
        }
        out.row_ptrs.push_back(static_cast<uint32_t>(out.col_indices.size()));
    }
    return out;
}

}  // namespace vorlane_problems::recipes
