// Renumbering as an operation of the factor: the modes' choices, the permutation checks, and
// round trips between a matrix's numbering and the one elimination ran in.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "helpers.hpp"
#include "solver_support.hpp"
#include "vorlane/renumbering.hpp"
#include "vorlane/solver_factor.hpp"

namespace {

using vorlane::Renumber;
using vt::Vec;

std::vector<uint32_t> shuffled(uint32_t n, uint64_t seed) {
    std::vector<uint32_t> p(n);
    std::iota(p.begin(), p.end(), 0u);
    std::shuffle(p.begin(), p.end(), std::mt19937_64(seed));
    return p;
}

// A grid large enough for far entries, in its own numbering and with its vertices scattered.
const vt::Csr& ordered_grid() {
    static const vt::Csr grid = vt::grid2d(200, 200, 1);
    return grid;
}
const vt::Csr& scattered_grid() {
    static const vt::Csr grid = vt::renamed(ordered_grid(), shuffled(ordered_grid().n, 2));
    return grid;
}

TEST(Renumbering, ModesChooseAsDocumented) {
    const auto small = vt::must_check(vt::grid2d(8, 8, 1));
    EXPECT_TRUE(vorlane::choose_renumbering(small, Renumber::Never).empty());
    EXPECT_TRUE(vorlane::choose_renumbering(small, Renumber::Auto).empty()) << "no entry is far in a small matrix";
    const auto always = vorlane::choose_renumbering(small, Renumber::Always);
    EXPECT_FALSE(vorlane::check_renumbering(always, small.n()).has_value());

    EXPECT_TRUE(vorlane::choose_renumbering(vt::must_check(ordered_grid()), Renumber::Auto).empty())
        << "a grid in its own numbering is local already";
    const auto scattered = vt::must_check(scattered_grid());
    const auto order = vorlane::choose_renumbering(scattered, Renumber::Auto);
    ASSERT_FALSE(order.empty()) << "a scattered grid is renumbered";
    EXPECT_FALSE(vorlane::check_renumbering(order, scattered.n()).has_value());
    EXPECT_EQ(order, vorlane::choose_renumbering(scattered, Renumber::Auto)) << "deterministic";
}

TEST(Renumbering, ReverseCuthillMcKeeBringsNeighboursClose) {
    const auto scattered = vt::must_check(scattered_grid());
    const auto order = vorlane::choose_renumbering(scattered, Renumber::Always);
    std::vector<uint32_t> position(order.size());
    for (uint32_t p = 0; p < order.size(); ++p) position[order[p]] = p;
    uint64_t widest = 0;
    const auto row_ptrs = scattered.row_ptrs();
    const auto cols = scattered.cols();
    for (uint64_t i = 0; i < scattered.n(); ++i) {
        for (uint64_t t = row_ptrs[i]; t < row_ptrs[i + 1]; ++t) {
            const uint64_t a = position[i], b = position[cols[t]];
            widest = std::max(widest, a > b ? a - b : b - a);
        }
    }
    // A 200 x 200 grid has bandwidth 200 in its natural numbering; RCM finds one about as narrow.
    EXPECT_LE(widest, 2u * 200u);
}

TEST(Renumbering, CheckNamesTheFirstBrokenRule) {
    EXPECT_EQ(vorlane::check_renumbering(std::vector<uint32_t>{0, 1}, 3).value_or(""),
              "renumbering must hold 3 elements, got 2");
    EXPECT_EQ(vorlane::check_renumbering(std::vector<uint32_t>{0, 3, 1}, 3).value_or(""),
              "renumbering[1] = 3 is out of range");
    EXPECT_EQ(vorlane::check_renumbering(std::vector<uint32_t>{2, 0, 2}, 3).value_or(""),
              "renumbering names vertex 2 twice");
    EXPECT_FALSE(vorlane::check_renumbering(std::vector<uint32_t>{2, 0, 1}, 3).has_value());
}

// Renaming a factor's vertices by a permutation and back restores it exactly; the added ground
// vertex keeps its number.
TEST(Renumbering, RenamingRoundTrips) {
    const vt::Csr m = vt::sddm(vt::grid2d(6, 5, 3), 4);
    const vorlane::CoreFactor factor = vt::must_factor(m, vt::plain_config(1));
    ASSERT_TRUE(factor.augmented());
    const auto p = shuffled(m.n, 5);
    std::vector<uint32_t> inverse(p.size());
    for (uint32_t v = 0; v < p.size(); ++v) inverse[p[v]] = v;
    vorlane::CoreFactor renamed = factor;
    vorlane::name_in_original_numbering(renamed, p);
    EXPECT_NE(renamed.order, factor.order);
    EXPECT_TRUE(std::find(renamed.order.begin(), renamed.order.end(), m.n) != renamed.order.end() ||
                std::find(renamed.rows.begin(), renamed.rows.end(), m.n) != renamed.rows.end());
    vorlane::name_in_original_numbering(renamed, inverse);
    EXPECT_EQ(renamed.order, factor.order);
    EXPECT_EQ(renamed.rows, factor.rows);
}

class Renumbered : public ::testing::TestWithParam<Renumber> {};

// A factor built in another numbering applies to vectors in A's own: it preconditions A as
// well as the factor built without renumbering does.
TEST_P(Renumbered, FactorAppliesInTheMatrixNumbering) {
    const vt::Csr& m = scattered_grid();
    const auto matrix = vt::must_check(m);
    vorlane::FactorSettings settings;
    settings.renumber = GetParam();
    auto factor = vorlane::factorize(matrix, settings);
    ASSERT_TRUE(factor.has_value()) << factor.error().message;
    EXPECT_EQ(factor->renumbered(), GetParam() != Renumber::Never);
    const uint64_t n = matrix.n();
    const vorlane::StreamedFactor& streamed = factor->streamed;
    Vec work(streamed.work_size(1));
    const vt::Operator precondition = [&](const Vec& r) {
        Vec z(n);
        EXPECT_FALSE(streamed.apply({n, 1, 1}, r, z, work, matrix.factor_scale()).has_value());
        return vt::zero_mean(z);
    };
    const Vec b = vt::zero_mean(vt::random_vector(n, 9));
    const auto result = vt::pcg([&](const Vec& x) { return vt::matvec(m, x); }, precondition, b, 1e-8, 200);
    EXPECT_TRUE(result.converged);
    EXPECT_LT(result.iterations, 60);
}

INSTANTIATE_TEST_SUITE_P(Solver, Renumbered, ::testing::Values(Renumber::Never, Renumber::Auto, Renumber::Always));

TEST(Renumbering, FactorizeReportsWhatStoppedIt) {
    const auto matrix = vt::must_check(vt::grid2d(30, 30, 1));
    const vorlane::StopCheck stop{[](void*) { return true; }, nullptr};
    auto stopped = vorlane::factorize(matrix, {}, stop);
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().kind, vorlane::ErrorClass::Interrupted);
    vorlane::FactorSettings zero_split;
    zero_split.split = 0;
    auto refused = vorlane::factorize(matrix, zero_split);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, vorlane::ErrorClass::Invalid);
}

}  // namespace
