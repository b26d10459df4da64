// Rebuilding factors from stored arrays: real factors come back identical and solve the same,
// and every way of breaking the arrays is refused without reading out of bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "helpers.hpp"
#include "vorlane/factor_parts.hpp"

namespace {

using vorlane::CoreFactor;

// Owned copies of a factor's arrays, mutated by the hostile cases.
struct Stored {
    uint64_t n = 0;
    uint64_t original_n = 0;
    std::vector<uint32_t> order, col_starts, rows;
    std::vector<double> coefficients, inv_diag;

    explicit Stored(const CoreFactor& f)
        : n(f.n), original_n(f.original_n), order(f.order), col_starts(f.col_starts), rows(f.rows),
          coefficients(f.coefficients), inv_diag(f.inv_diag) {}

    vorlane::FactorParts parts() const { return {n, original_n, order, col_starts, rows, coefficients, inv_diag}; }
};

CoreFactor grid_factor(bool grounded) {
    vt::Csr lap = vt::grid2d(6, 5, 3);
    if (grounded) lap = vt::sddm(lap, 4);
    return vt::must_factor(lap, vt::plain_config(11));
}

TEST(RestoreFactor, RealFactorsComeBackIdenticalAndSolveTheSame) {
    for (bool grounded : {false, true}) {
        const CoreFactor original = grid_factor(grounded);
        ASSERT_EQ(original.augmented(), grounded);
        auto restored = vorlane::restore_factor(Stored(original).parts());
        ASSERT_TRUE(restored.has_value()) << restored.error();
        EXPECT_TRUE(vt::identical(original, *restored));
        const vt::Vec rhs = vt::random_vector(original.original_n, 5);
        EXPECT_TRUE(vt::same_bits(vt::solve_full(original, rhs), vt::solve_full(*restored, rhs)));
    }
}

TEST(RestoreFactor, DimensionsZeroAndOne) {
    for (uint64_t n : {0u, 1u}) {
        Stored empty(CoreFactor{});
        empty.n = empty.original_n = n;
        empty.col_starts = {0};
        EXPECT_TRUE(vorlane::restore_factor(empty.parts()).has_value()) << n;
    }
}

struct Breakage {
    const char* name;
    std::function<void(Stored&)> apply;
    const char* expected;  // a fragment of the message
};

class RestoreFactorRefuses : public ::testing::TestWithParam<Breakage> {};

TEST_P(RestoreFactorRefuses, BrokenArrays) {
    Stored stored(grid_factor(true));
    GetParam().apply(stored);
    const auto restored = vorlane::restore_factor(stored.parts());
    ASSERT_FALSE(restored.has_value());
    EXPECT_NE(restored.error().find(GetParam().expected), std::string::npos) << restored.error();
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The first column with at least two entries, for the cases that need one.
uint64_t wide_step(const Stored& s) {
    for (uint64_t k = 0; k + 1 < s.col_starts.size(); ++k) {
        if (s.col_starts[k + 1] - s.col_starts[k] >= 2) return k;
    }
    throw std::logic_error("no column with two entries");
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, RestoreFactorRefuses,
    ::testing::Values(
        Breakage{"HugeDimension", [](Stored& s) { s.n = s.original_n = uint64_t{1} << 40; }, "too large"},
        Breakage{"ClaimedDimensionWithoutArrays", [](Stored& s) { s.n = s.original_n = 0xFFFFFFFFu; }, "order has"},
        Breakage{"DimensionMismatch", [](Stored& s) { s.original_n = s.n + 1; }, "does not fit"},
        Breakage{"TruncatedOrder", [](Stored& s) { s.order.pop_back(); }, "order has"},
        Breakage{"TruncatedInvDiag", [](Stored& s) { s.inv_diag.pop_back(); }, "inv_diag has"},
        Breakage{"TruncatedColStarts", [](Stored& s) { s.col_starts.pop_back(); }, "col_starts has"},
        Breakage{"TruncatedCoefficients", [](Stored& s) { s.coefficients.pop_back(); }, "coefficients has"},
        Breakage{"TruncatedEntries",
                 [](Stored& s) {
                     s.rows.pop_back();
                     s.coefficients.pop_back();
                 },
                 "col_starts ends"},
        Breakage{"FirstOffset", [](Stored& s) { s.col_starts[0] = 1; }, "col_starts[0]"},
        Breakage{"DecreasingOffsets",
                 [](Stored& s) {
                     const size_t k = s.col_starts.size() / 2;
                     s.col_starts[k] = s.col_starts[k + 1] + 1;
                 },
                 "decreases"},
        Breakage{"OffsetBeyondEntries", [](Stored& s) { s.col_starts[1] = 0xFFFFFFF0u; }, "decreases"},
        Breakage{"OrderOutOfRange", [](Stored& s) { s.order[0] = static_cast<uint32_t>(s.n); }, "out of range"},
        Breakage{"OrderNotAPermutation", [](Stored& s) { s.order[1] = s.order[0]; }, "eliminated twice"},
        Breakage{"RowOutOfRange", [](Stored& s) { s.rows[0] = 0xFFFFFFFFu; }, "out of range"},
        Breakage{"RowNamesEliminatedVertex",
                 [](Stored& s) { s.rows[s.col_starts[wide_step(s)]] = s.order[0]; }, "eliminated at or before"},
        Breakage{"RowNamesItsOwnVertex",
                 [](Stored& s) {
                     const uint64_t k = wide_step(s);
                     s.rows[s.col_starts[k]] = s.order[k];
                 },
                 "eliminated at or before"},
        Breakage{"RowTwiceInAColumn",
                 [](Stored& s) {
                     const uint32_t first = s.col_starts[wide_step(s)];
                     s.rows[first + 1] = s.rows[first];
                 },
                 "twice"},
        Breakage{"NaNCoefficient", [](Stored& s) { s.coefficients.back() = kNaN; }, "not finite"},
        Breakage{"InfiniteCoefficient", [](Stored& s) { s.coefficients[0] = HUGE_VAL; }, "not finite"},
        Breakage{"NaNInversePivot", [](Stored& s) { s.inv_diag[0] = kNaN; }, "inv_diag[0]"},
        Breakage{"InfiniteInversePivot", [](Stored& s) { s.inv_diag.back() = -HUGE_VAL; }, "not finite"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
