// The streamed factor against the plain blocked solve: every standard problem in both modes,
// both precisions, widths that fill one tile, several and a partial one; its buffer contract.
#include <gtest/gtest.h>

#include <vector>

#include "helpers.hpp"
#include "vorlane/factor_parts.hpp"
#include "vorlane/streamed_factor.hpp"

namespace {

using vorlane::BlockShape;
using vorlane::Precision;
using vorlane::StreamedFactor;
using vt::Vec;

constexpr double kSentinel = -12345.5;

StreamedFactor must_stream(const vorlane::CoreFactor& factor, Precision precision) {
    auto streamed = StreamedFactor::from(factor, precision);
    EXPECT_TRUE(streamed.has_value());
    return std::move(streamed).value();
}

// Column j of a row-interleaved block.
Vec column(const Vec& block, uint64_t rows, uint64_t stride, uint64_t j) {
    Vec c(rows);
    for (uint64_t i = 0; i < rows; ++i) c[i] = block[i * stride + j];
    return c;
}

class Streamed : public ::testing::TestWithParam<std::tuple<vt::Problem, bool, Precision>> {};

TEST_P(Streamed, MatchesThePlainSolveToItsPrecision) {
    const auto& [problem, split, precision] = GetParam();
    const auto factor = vt::must_factor(problem.build(), split ? vt::split_config(3, 5) : vt::plain_config(5));
    const StreamedFactor streamed = must_stream(factor, precision);
    // Unrolling a column changes rounding only (at most 2e-13 here). Single-precision
    // multipliers perturb the operator by their own rounding, 6e-8 per entry, which the
    // solution feels up to a few 1e-6 on the dense random Laplacians (below 1e-6 on grids).
    const double tolerance = precision == Precision::Double ? 1e-12 : 1e-5;
    const uint64_t rows = factor.original_n;
    for (const auto& [width, stride] : {std::pair<uint64_t, uint64_t>{1, 1}, {3, 5}, {16, 16}, {21, 23}}) {
        Vec rhs(rows * stride, kSentinel);
        for (uint64_t j = 0; j < width; ++j) {
            const Vec c = vt::random_vector(rows, 100 + j);
            for (uint64_t i = 0; i < rows; ++i) rhs[i * stride + j] = c[i];
        }
        Vec out(rhs.size(), kSentinel), expected(rhs.size(), kSentinel);
        Vec work(streamed.work_size(width)), plain_work(factor.n * width);
        const BlockShape shape{rows, width, stride};
        ASSERT_FALSE(streamed.apply(shape, rhs, out, work, 2.0).has_value());
        ASSERT_FALSE(vorlane::solve_block_into(factor, shape, rhs, expected, plain_work).has_value());
        for (uint64_t j = 0; j < stride; ++j) {
            const Vec got = column(out, rows, stride, j);
            Vec want = column(expected, rows, stride, j);
            if (j >= width) {
                ASSERT_TRUE(vt::same_bits(got, want)) << "column " << j << " beyond the width was written";
                continue;
            }
            for (double& v : want) v = 2.0 * v;
            EXPECT_LE(vt::rel_diff(got, want), tolerance) << "width " << width << ", column " << j;
        }
        // The dots of the pass that writes out: those of rhs and out, summed in row order.
        Vec dots(width, 0.0), fused(rhs.size(), kSentinel);
        ASSERT_FALSE(streamed.apply(shape, rhs, fused, work, 2.0, dots).has_value());
        ASSERT_TRUE(vt::same_bits(fused, out));
        for (uint64_t j = 0; j < width; ++j) {
            double dot = 0.0;
            for (uint64_t i = 0; i < rows; ++i) dot = dot + rhs[i * stride + j] * out[i * stride + j];
            ASSERT_EQ(dots[j], dot) << "column " << j;
        }
        // In place, and column by column alone: the same bits as the whole block.
        Vec in_place = rhs;
        ASSERT_FALSE(streamed.apply(shape, in_place, in_place, work, 2.0).has_value());
        ASSERT_TRUE(vt::same_bits(in_place, out));
        Vec alone(rows), alone_work(streamed.work_size(1));
        const Vec first = column(rhs, rows, stride, width - 1);
        ASSERT_FALSE(streamed.apply({rows, 1, 1}, first, alone, alone_work, 2.0).has_value());
        ASSERT_TRUE(vt::same_bits(alone, column(out, rows, stride, width - 1)));
    }
}

INSTANTIATE_TEST_SUITE_P(Problems, Streamed,
                         ::testing::Combine(::testing::ValuesIn(vt::standard_problems()), ::testing::Bool(),
                                            ::testing::Values(Precision::Double, Precision::Mixed)),
                         [](const auto& param_info) {
                             return std::get<0>(param_info.param).name + (std::get<1>(param_info.param) ? "_split" : "_plain") +
                                    (std::get<2>(param_info.param) == Precision::Double ? "_double" : "_mixed");
                         });

TEST(StreamedContract, RestoredFactorsAndBadBuffers) {
    // The two-vertex Laplacian [[1, -1], [-1, 1]] solved exactly, restored from its arrays.
    const std::vector<uint32_t> order{0}, starts{0, 1}, rows{1};
    const std::vector<double> coefficients{1.0}, inv_diag{1.0};
    auto restored = vorlane::restore_factor({2, 2, order, starts, rows, coefficients, inv_diag});
    ASSERT_TRUE(restored.has_value());
    const StreamedFactor tiny = must_stream(*restored, Precision::Double);
    Vec out(2), work(tiny.work_size(1));
    ASSERT_FALSE(tiny.apply({2, 1, 1}, Vec{1.0, -1.0}, out, work).has_value());
    EXPECT_TRUE(vt::same_bits(out, Vec{0.5, -0.5}));

    const auto factor = vt::must_factor(vt::sddm(vt::grid2d(5, 5, 1), 2), vt::plain_config());
    const StreamedFactor streamed = must_stream(factor, Precision::Mixed);
    Vec untouched(50, kSentinel), big_work(streamed.work_size(2));
    const Vec rhs(50, 1.0);
    EXPECT_TRUE(streamed.apply({25, 0, 2}, rhs, untouched, big_work).has_value());
    EXPECT_TRUE(streamed.apply({25, 3, 2}, rhs, untouched, big_work).has_value());
    EXPECT_TRUE(streamed.apply({27, 2, 2}, Vec(54, 1.0), untouched, big_work).has_value());
    EXPECT_TRUE(streamed.apply({25, 2, 2}, Vec(49, 1.0), untouched, big_work).has_value());
    Vec small_work(streamed.work_size(1));
    EXPECT_TRUE(streamed.apply({25, 2, 2}, rhs, untouched, small_work).has_value());
    EXPECT_TRUE(vt::same_bits(untouched, Vec(50, kSentinel)));
    EXPECT_LT(streamed.nbytes(), must_stream(factor, Precision::Double).nbytes());
}

TEST(StreamedContract, ColumnsOfMoreThan65535Entries) {
    // Vertices 0 and 1 joined to every later vertex (two long columns of different lengths,
    // which the layout lists apart), the rest isolated steps; the last vertex remains.
    const uint32_t n = 70002;
    std::vector<uint32_t> order, starts{0}, rows;
    std::vector<double> coefficients, inv_diag;
    for (uint32_t v = 0; v + 1 < n; ++v) {
        order.push_back(v);
        if (v < 2) {
            const uint32_t m = n - 1 - v;
            for (uint32_t t = 0; t < m; ++t) {
                rows.push_back(v + 1 + t);
                coefficients.push_back(t + 1 < m ? 1.0 / static_cast<double>(m - t) : 1.0);
            }
        }
        starts.push_back(static_cast<uint32_t>(rows.size()));
        inv_diag.push_back(v < 2 ? 0.5 : 1.0);
    }
    auto restored = vorlane::restore_factor({n, n, order, starts, rows, coefficients, inv_diag});
    ASSERT_TRUE(restored.has_value()) << restored.error();
    const Vec b = vt::random_vector(n, 9);
    Vec want(n), plain_work(n);
    ASSERT_FALSE(vorlane::solve_block_into(*restored, {n, 1, 1}, b, want, plain_work).has_value());
    for (const Precision precision : {Precision::Double, Precision::Mixed}) {
        const StreamedFactor streamed = must_stream(*restored, precision);
        Vec got(n), work(streamed.work_size(1));
        ASSERT_FALSE(streamed.apply({n, 1, 1}, b, got, work).has_value());
        EXPECT_LE(vt::rel_diff(got, want), precision == Precision::Double ? 1e-12 : 1e-5);
    }
}

}  // namespace
