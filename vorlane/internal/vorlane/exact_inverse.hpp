// The diagonal of a connected graph's Laplacian pseudo-inverse, exactly (to rounding), for
// the graph quantities that are traces of it: effective graph resistance, Kemeny's constant,
// current-flow closeness.
//
// The Laplacian is grounded at its vertex of most entries (a hub ends up with the least fill)
// and the rest factored as L D L^T in minimum-degree order; once the remaining graph is a
// quarter full its Schur complement is factored densely. Selected inversion then computes the
// inverse's entries on the factor's pattern only, column by column from the last, which holds
// the diagonal. Where the fill makes this dearer than solving n systems the caller's work
// budget stops it early with OverBudget, and the caller solves instead.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vorlane/builder.hpp"
#include "vorlane/csr.hpp"
#include "vorlane/expected.hpp"

namespace vorlane {

struct ExactInverseError {
    enum class Kind : uint8_t {
        // Row i is not matched by column i with the same values.
        NotSymmetric,
        // Row i's entries do not sum to zero (to 1e-9 of its largest entry).
        RowSumNotZero,
        // Eliminating vertex i met a pivot that is not positive: the graph is disconnected or
        // has a negative weight that makes its Laplacian indefinite.
        NotPositive,
        // The vector to solve for has `vertex` values, not n.
        SolveLength,
        // The factorization and inversion would take more than the budget's operations.
        OverBudget,
        OutOfMemory,
        Interrupted,
    };
    Kind kind;
    uint64_t vertex = 0;
};

std::string message(const ExactInverseError& error);

// diag(L^+) of the Laplacian in csr. budget bounds the multiply-adds of the whole computation
// (fill merges, dense factorization, selected inversion); it is checked before each costly
// phase and every elimination step, so an over-budget matrix fails after about budget work.
// A non-empty solve (n values) is replaced by L^+ times it, from the same factor; on failure
// its contents are unspecified.
Expected<std::vector<double>, ExactInverseError> laplacian_pinv_diagonal(const CsrView& csr, double budget,
                                                                         StopCheck stop = {},
                                                                         std::span<double> solve = {});

}  // namespace vorlane
