// Test problems for the core: the shared generators, and the named problems the structural
// tests run over.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "vorlane_problems/matrices.hpp"

namespace vt {

using namespace vorlane_problems;

// The largest finite |diagonal entry| rounded down to a power of two (1 when there is none):
// the factor every threshold of the factorization is multiplied by.
inline double threshold_scale(const Csr& m) {
    std::vector<double> diagonal(m.n, 0.0);
    for (uint32_t i = 0; i < m.n; ++i) {
        for (uint32_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) {
            if (m.col_indices[k] == i) diagonal[i] += m.values[k];
        }
    }
    double largest = 0.0;
    for (double d : diagonal) {
        if (std::isfinite(d)) largest = std::max(largest, std::abs(d));
    }
    return largest > 0.0 ? std::ldexp(1.0, std::ilogb(largest)) : 1.0;
}

// A named problem for parametrized tests. The matrix is built on demand, so that listing
// the problems (which every test process does) costs nothing.
struct Problem {
    std::string name;
    std::function<Csr()> build;
    bool laplacian;  // rows sum to zero: no ground vertex
};

inline void PrintTo(const Problem& p, std::ostream* os) { *os << p.name; }

// A spread of shapes every structural test runs over: no fill (path, star, tree), fill-heavy
// (grids, random graphs), ground vertex (SDDM, diagonal), several components and isolated vertices.
inline std::vector<Problem> standard_problems() {
    return {
        {"empty", [] { return Csr{}; }, true},
        {"single_zero", [] { return csr_from_triplets(1, {}); }, true},
        {"single_positive", [] { return diagonal({3.0}); }, false},
        {"path_unit_9", [] { return path(9, 1, Weights::Unit); }, true},
        {"path_30", [] { return path(30, 2); }, true},
        {"star_unit_12", [] { return star(12, 3, Weights::Unit); }, true},
        {"star_40", [] { return star(40, 4); }, true},
        {"tree_60", [] { return random_tree(60, 5); }, true},
        {"grid2d_unit_9x7", [] { return grid2d(9, 7, 6, Weights::Unit); }, true},
        {"grid2d_12x12", [] { return grid2d(12, 12, 7); }, true},
        {"grid3d_5x5x5", [] { return grid3d(5, 5, 5, 8); }, true},
        {"random_120", [] { return random_graph(120, 8.0, 9); }, true},
        {"random_dense_50", [] { return random_graph(50, 30.0, 10); }, true},
        {"random_disconnected_80", [] { return random_graph(80, 1.5, 11, Weights::Random, false); }, true},
        {"components_with_isolated",
         [] { return disjoint_union(disjoint_union(grid2d(4, 4, 12), csr_from_triplets(3, {})), path(5, 13)); }, true},
        {"sddm_grid2d_10x10", [] { return sddm(grid2d(10, 10, 14), 15); }, false},
        {"sddm_tree_50", [] { return sddm(random_tree(50, 16), 17, 0.3); }, false},
        {"sddm_random_90", [] { return sddm(random_graph(90, 6.0, 18), 19, 0.2); }, false},
        {"diagonal_6", [] { return diagonal({1.0, 2.0, 0.5, 4.0, 3.0, 1.5}); }, false},
    };
}

}  // namespace vt
