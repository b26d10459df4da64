// The blocked solve against column-by-column single solves (bit for bit, every standard
// problem, both modes, several widths and strides), its buffer contract, and the stop check.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "helpers.hpp"
#include "vorlane/block_solve.hpp"

namespace {

using vorlane::BlockShape;
using vt::Vec;

constexpr double kSentinel = -12345.5;

struct Layout {
    uint64_t width;
    uint64_t stride;
};

class BlockSolve : public ::testing::TestWithParam<std::tuple<vt::Problem, bool>> {};

TEST_P(BlockSolve, EqualsSingleSolvesBitForBit) {
    const auto& [problem, split] = GetParam();
    const vt::Csr m = problem.build();
    const auto factor = vt::must_factor(m, split ? vt::split_config(3, 5) : vt::plain_config(5));
    const uint64_t rows = factor.original_n;
    for (const Layout layout : {Layout{1, 1}, Layout{3, 5}, Layout{16, 16}, Layout{70, 71}}) {
        const BlockShape shape{rows, layout.width, layout.stride};
        Vec rhs(rows * layout.stride, kSentinel);
        std::vector<Vec> columns(layout.width);
        for (uint64_t j = 0; j < layout.width; ++j) {
            columns[j] = vt::random_vector(rows, 100 + j);
            for (uint64_t i = 0; i < rows; ++i) rhs[i * layout.stride + j] = columns[j][i];
        }
        Vec out(rhs.size(), kSentinel);
        Vec work(factor.n * layout.width);
        ASSERT_FALSE(vorlane::solve_block_into(factor, shape, rhs, out, work).has_value());
        for (uint64_t j = 0; j < layout.stride; ++j) {
            const Vec expected = j < layout.width ? vt::solve_original(factor, columns[j]) : Vec(rows, kSentinel);
            Vec got(rows);
            for (uint64_t i = 0; i < rows; ++i) got[i] = out[i * layout.stride + j];
            ASSERT_TRUE(vt::same_bits(got, expected)) << "width " << layout.width << ", column " << j;
        }
        // In place: the right-hand side buffer receives the solution.
        ASSERT_FALSE(vorlane::solve_block_into(factor, shape, rhs, rhs, work).has_value());
        ASSERT_TRUE(vt::same_bits(rhs, out));
    }
}

INSTANTIATE_TEST_SUITE_P(Problems, BlockSolve,
                         ::testing::Combine(::testing::ValuesIn(vt::standard_problems()), ::testing::Bool()),
                         [](const auto& param_info) {
                             return std::get<0>(param_info.param).name +
                                    (std::get<1>(param_info.param) ? "_split" : "_plain");
                         });

TEST(BlockSolveContract, ShortBlockLeavesTheRestAndBadBuffersWriteNothing) {
    const auto factor = vt::must_factor(vt::sddm(vt::grid2d(5, 5, 1), 2), vt::plain_config());
    const Vec b = vt::random_vector(10, 3);
    Vec out(10, kSentinel), work(factor.n);
    ASSERT_FALSE(vorlane::solve_block_into(factor, {10, 1, 1}, b, out, work).has_value());
    Vec padded = b;
    padded.resize(25, 0.0);
    const Vec full = vt::solve_original(factor, padded);
    EXPECT_TRUE(vt::same_bits(out, Vec(full.begin(), full.begin() + 10)));

    Vec untouched(50, kSentinel), big_work(factor.n * 2);
    const Vec rhs(50, 1.0);
    EXPECT_TRUE(vorlane::solve_block_into(factor, {25, 0, 2}, rhs, untouched, big_work).has_value());
    EXPECT_TRUE(vorlane::solve_block_into(factor, {25, 3, 2}, rhs, untouched, big_work).has_value());
    Vec long_out(54);
    EXPECT_TRUE(vorlane::solve_block_into(factor, {27, 2, 2}, Vec(54, 1.0), long_out, big_work).has_value());
    EXPECT_TRUE(vorlane::solve_block_into(factor, {25, 2, 2}, Vec(49, 1.0), untouched, big_work).has_value());
    EXPECT_TRUE(vorlane::solve_block_into(factor, {25, 2, 2}, rhs, untouched, work).has_value());
    const auto overflow = vorlane::solve_block_into(factor, {25, 2, UINT64_MAX}, rhs, untouched, big_work);
    ASSERT_TRUE(overflow.has_value());
    EXPECT_NE(vorlane::message(*overflow).find("rhs buffer too small"), std::string::npos);
    EXPECT_TRUE(vt::same_bits(untouched, Vec(50, kSentinel)));
}

TEST(StopCheck, StopsWithInterruptedAndOtherwiseChangesNothing) {
    const vt::Csr m = vt::grid2d(60, 60, 4);
    int calls = 0;
    auto count = [](void* context) {
        ++*static_cast<int*>(context);
        return false;
    };
    auto polled = vorlane::build_factor(m.rp(), m.ci(), m.va(), m.n, vt::plain_config(), {count, &calls});
    ASSERT_TRUE(polled.has_value());
    EXPECT_GE(calls, 3);
    EXPECT_TRUE(vt::identical(*polled, vt::must_factor(m, vt::plain_config())));

    int stop_after = 2;
    auto stop = [](void* context) { return --*static_cast<int*>(context) < 0; };
    auto stopped = vorlane::build_factor(m.rp(), m.ci(), m.va(), m.n, vt::split_config(2), {stop, &stop_after});
    ASSERT_FALSE(stopped.has_value());
    EXPECT_TRUE(std::holds_alternative<vorlane::Interrupted>(stopped.error()));
    EXPECT_EQ(vorlane::message(stopped.error()), "factorization interrupted");
}

}  // namespace
