// A finished factor rebuilt from its stored arrays, after checking that they form one.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "vorlane/expected.hpp"
#include "vorlane/decomposition.hpp"

namespace vorlane {

// The arrays and dimensions that make up a factor (the solve layout is derived from them).
struct FactorParts {
    uint64_t n = 0;
    uint64_t original_n = 0;
    std::span<const uint32_t> order;
    std::span<const uint32_t> col_starts;
    std::span<const uint32_t> rows;
    std::span<const double> coefficients;
    std::span<const double> inv_diag;
};

// Checks everything the solve relies on, and everything elimination guarantees: dimensions
// that agree, an order eliminating every vertex but one exactly once, column offsets that
// start at 0, never decrease and end at the number of entries, column rows that name distinct
// vertices still present at their step, finite coefficients and finite inverse pivots. Parts from an untrusted source get
// an error message naming the first broken rule; nothing is read out of bounds and nothing is
// allocated before the lengths agree with n.
Expected<CoreFactor, std::string> restore_factor(const FactorParts& parts);

}  // namespace vorlane
