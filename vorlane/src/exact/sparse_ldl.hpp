// Exact L D L^T of a symmetric matrix with positive pivots, in minimum-degree order, its last
// nearly full Schur complement factored densely.
#pragma once

#include <cstdint>
#include <vector>

#include "vorlane/builder.hpp"
#include "vorlane/exact_inverse.hpp"
#include "vorlane/expected.hpp"

namespace vorlane::exact {

// A symmetric matrix as sorted lists of off-diagonal entries (no duplicates) and a diagonal.
struct SymmetricLists {
    uint32_t n = 0;
    std::vector<uint64_t> starts;  // n + 1
    std::vector<uint32_t> cols;
    std::vector<double> values;
    std::vector<double> diagonal;
};

struct ExactFactor {
    uint32_t n = 0;
    // order[k]: the vertex eliminated at step k; step[v] its inverse.
    std::vector<uint32_t> order, step;
    std::vector<double> pivots;  // D, by step
    // Steps 0 .. tail_start - 1 are sparse columns: rows (steps above the column, ascending)
    // and L's entries.
    uint32_t tail_start = 0;
    std::vector<uint64_t> col_starts;
    std::vector<uint32_t> col_rows;
    std::vector<double> col_values;
    // Steps tail_start .. n - 1: the dense tail, r x r row-major, L's strict lower triangle.
    std::vector<double> tail;
    uint32_t tail_size() const { return n - tail_start; }
    // Multiply-adds spent so far.
    double work = 0.0;
};

Expected<ExactFactor, ExactInverseError> factor_exact(const SymmetricLists& matrix, double budget, StopCheck stop);

// Solves (L D L^T) x = b in place, b and x indexed by step.
void solve_exact(const ExactFactor& factor, std::vector<double>& b);

}  // namespace vorlane::exact
