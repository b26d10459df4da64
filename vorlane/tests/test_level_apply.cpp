// Leveled applies of the streamed factor: the levels a factor gives, and the passes on a pool
// giving the serial passes' bits for any number of threads, on factors in rounds and in the
// sequential order; the block iteration on a pool giving the serial iteration's bits.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "helpers.hpp"
#include "problems.hpp"
#include "solver_support.hpp"
#include "vorlane/block_cg.hpp"
#include "vorlane/factor_parts.hpp"
#include "vorlane/parallel_elimination.hpp"
#include "vorlane/solver_factor.hpp"
#include "vorlane/streamed_factor.hpp"

namespace {

using vorlane::BlockShape;
using vorlane::Precision;
using vorlane::StreamedFactor;
using vorlane::ThreadPool;
using vt::Csr;
using vt::Vec;

constexpr double kSentinel = -12345.5;

vorlane::CoreFactor rounds_factor(const Csr& m, uint32_t round_size) {
    auto csr = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    if (!csr) throw std::runtime_error("invalid test matrix");
    ThreadPool pool(2);
    vorlane::RoundOptions options;
    options.round_size = round_size;
    auto built = vorlane::build_factor_in_rounds(*csr, vt::plain_config(3), options, pool);
    if (!built) throw std::runtime_error("rounds failed: " + vorlane::message(built.error()));
    return std::move(built).value();
}

StreamedFactor leveled(const vorlane::CoreFactor& factor, Precision precision) {
    auto streamed = StreamedFactor::from(factor, precision);
    if (!streamed) throw std::runtime_error(streamed.error());
    // Every factor runs leveled here, however narrow its levels.
    if (auto error = streamed->prepare_levels(0)) throw std::runtime_error(*error);
    return std::move(streamed).value();
}

struct Source {
    const char* name;
    bool rounds;
    Csr (*build)();
};

void PrintTo(const Source& s, std::ostream* os) { *os << s.name; }

class LeveledApply : public ::testing::TestWithParam<std::tuple<Source, Precision>> {};

TEST_P(LeveledApply, SameBitsAsTheSerialApplyOnAnyPool) {
    const auto& [source, precision] = GetParam();
    const Csr m = source.build();
    const vorlane::CoreFactor factor = source.rounds ? rounds_factor(m, 7) : vt::must_factor(m, vt::plain_config(3));
    const StreamedFactor streamed = leveled(factor, precision);
    ASSERT_TRUE(streamed.runs_leveled());
    // Rounds of at most 7 steps: many levels, several steps in most.
    EXPECT_GT(streamed.levels(), 1u);
    EXPECT_LT(streamed.levels(), factor.n);
    const uint64_t rows = factor.original_n;
    std::vector<std::unique_ptr<ThreadPool>> pools;
    for (const unsigned threads : {1u, 2u, 3u, 8u}) pools.push_back(std::make_unique<ThreadPool>(threads));
    // Widths of the fixed kernels (1, 16), of the general one (3), and a tile and a part (20).
    for (const auto& [width, stride] : {std::pair<uint64_t, uint64_t>{1, 1}, {3, 5}, {16, 16}, {20, 20}}) {
        Vec rhs(rows * stride, kSentinel);
        for (uint64_t j = 0; j < width; ++j) {
            const Vec c = vt::random_vector(rows, 40 + j);
            for (uint64_t i = 0; i < rows; ++i) rhs[i * stride + j] = c[i];
        }
        const BlockShape shape{rows, width, stride};
        Vec work(streamed.work_size(width));
        Vec want(rhs.size(), kSentinel), want_dots(width, 0.5);
        ASSERT_FALSE(streamed.apply(shape, rhs, want, work, 1.5, want_dots).has_value());
        for (const auto& pool : pools) {
            Vec got(rhs.size(), kSentinel), dots(width, 0.5);
            ASSERT_FALSE(streamed.apply(shape, rhs, got, work, 1.5, dots, pool.get()).has_value());
            EXPECT_TRUE(vt::same_bits(got, want)) << pool->size() << " threads, width " << width;
            EXPECT_TRUE(vt::same_bits(dots, want_dots)) << pool->size() << " threads, width " << width;
            // In place, without dots.
            Vec in_place = rhs;
            ASSERT_FALSE(streamed.apply(shape, in_place, in_place, work, 1.5, {}, pool.get()).has_value());
            EXPECT_TRUE(vt::same_bits(in_place, want)) << pool->size() << " threads, width " << width;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Factors, LeveledApply,
    ::testing::Combine(
        ::testing::Values(Source{"rounds_grid", true, [] { return vt::grid2d(23, 19, 4); }},
                          Source{"rounds_sddm", true, [] { return vt::sddm(vt::grid2d(17, 17, 5), 6); }},
                          Source{"rounds_disconnected", true,
                                 [] { return vt::random_graph(300, 1.5, 11, vt::Weights::Random, false); }},
                          // Far more levels, each a meeting of the threads: smaller problems.
                          Source{"sequential_grid", false, [] { return vt::grid2d(12, 9, 4); }},
                          Source{"sequential_sddm", false, [] { return vt::sddm(vt::grid2d(9, 9, 5), 6); }},
                          Source{"sequential_disconnected", false,
                                 [] { return vt::random_graph(120, 1.5, 11, vt::Weights::Random, false); }}),
        ::testing::Values(Precision::Double, Precision::Mixed)),
    [](const auto& param_info) {
        return std::string(std::get<0>(param_info.param).name) +
               (std::get<1>(param_info.param) == Precision::Double ? "_double" : "_mixed");
    });

// A hand-made factor whose levels are known: on the path 0 - 1 - 2 - 3 - 4, vertices 0 and 4
// go first (level 0), then 1 (named by 0) and 3 (named by 4) at level 1, 2 remaining at 2.
TEST(Levels, FollowTheColumnsThatNameEachVertex) {
    const std::vector<uint32_t> order{0, 4, 1, 3}, starts{0, 1, 2, 3, 4}, rows{1, 3, 2, 2};
    const std::vector<double> coefficients(4, 1.0), inv_diag{1.0, 1.0, 1.0, 1.0};
    auto restored = vorlane::restore_factor({5, 5, order, starts, rows, coefficients, inv_diag});
    ASSERT_TRUE(restored.has_value()) << restored.error();
    auto streamed = StreamedFactor::from(*restored, Precision::Double);
    ASSERT_TRUE(streamed.has_value());
    const uint64_t plain = streamed->nbytes();
    EXPECT_EQ(streamed->levels(), 0u);
    EXPECT_FALSE(streamed->runs_leveled());
    ASSERT_FALSE(streamed->prepare_levels(0).has_value());
    EXPECT_EQ(streamed->levels(), 3u);
    EXPECT_GT(streamed->nbytes(), plain);
    // A chain is as many levels as vertices: far too narrow for the default rule.
    const auto chain = vt::must_factor(vt::path(200, 2), vt::plain_config());
    auto sequential = StreamedFactor::from(chain, Precision::Mixed, true);
    ASSERT_TRUE(sequential.has_value());
    EXPECT_GT(sequential->levels(), 50u);
    EXPECT_FALSE(sequential->runs_leveled());
}

// The rule picks the leveled passes for a factor in wide rounds, and a pool changes nothing.
TEST(Levels, WideRoundsRunLeveledByDefault) {
    const Csr m = vt::grid2d(64, 64, 8);
    const vorlane::CoreFactor factor = rounds_factor(m, 256);
    auto streamed = StreamedFactor::from(factor, Precision::Mixed, true);
    ASSERT_TRUE(streamed.has_value());
    EXPECT_TRUE(streamed->runs_leveled()) << streamed->levels() << " levels";
    const Vec b = vt::zero_mean(vt::random_vector(m.n, 5));
    Vec want(m.n), got(m.n), work(streamed->work_size(1));
    ASSERT_FALSE(streamed->apply({m.n, 1, 1}, b, want, work).has_value());
    ThreadPool pool(2);
    ASSERT_FALSE(streamed->apply({m.n, 1, 1}, b, got, work, 1.0, {}, &pool).has_value());
    EXPECT_TRUE(vt::same_bits(got, want));
}

struct CgCase {
    const char* name;
    vorlane::Path path;
    bool laplacian;
    size_t width;
};

void PrintTo(const CgCase& c, std::ostream* os) { *os << c.name; }

class ThreadedCg : public ::testing::TestWithParam<CgCase> {};

// Products, updates and applies shared among threads; every sum in its serial order.
TEST_P(ThreadedCg, SameIteratesForAnyNumberOfThreads) {
    const CgCase c = GetParam();
    // Jacobi needs many more iterations, each several meetings of the threads: a smaller grid.
    const Csr grid = c.path == vorlane::Path::Jacobi ? vt::grid2d(20, 15, 3) : vt::grid2d(40, 30, 3);
    const Csr m = c.laplacian ? grid : vt::sddm(grid, 4);
    const auto matrix = vt::must_check(m);
    vorlane::FactorSettings settings;
    settings.order = vorlane::Order::Rounds;
    settings.rounds.round_size = 16;
    settings.precision = Precision::Mixed;
    auto factor = vorlane::factorize(matrix, settings);
    ASSERT_TRUE(factor.has_value());
    ASSERT_FALSE(factor->streamed.prepare_levels(0).has_value());
    Vec b(m.n * c.width);
    for (size_t j = 0; j < c.width; ++j) {
        Vec col = vt::random_vector(m.n, 60 + j);
        if (c.laplacian) col = vt::zero_mean(col);
        for (uint32_t i = 0; i < m.n; ++i) b[i * c.width + j] = col[i];
    }
    vorlane::CgSettings cg;
    cg.start = c.path;
    cg.tol = 1e-10;
    cg.maxiter = 3000;
    Vec first;
    std::vector<vorlane::ColumnResult> first_columns;
    for (const unsigned threads : {1u, 2u, 3u}) {
        cg.threads = threads;
        Vec x(b.size(), 0.25);
        const auto outcome =
            vorlane::block_cg(matrix, &factor->streamed, b.data(), x.data(), c.width, true, cg, {});
        ASSERT_EQ(outcome.columns.size(), c.width);
        for (const auto& column : outcome.columns) EXPECT_EQ(column.status, vorlane::Status::Converged);
        if (threads == 1) {
            first = x;
            first_columns = outcome.columns;
            continue;
        }
        EXPECT_TRUE(vt::same_bits(x, first)) << threads << " threads";
        for (size_t j = 0; j < c.width; ++j) {
            EXPECT_EQ(outcome.columns[j].iterations, first_columns[j].iterations) << threads << " threads";
            EXPECT_TRUE(vt::same_bits(outcome.columns[j].residuals, first_columns[j].residuals))
                << threads << " threads, column " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Solver, ThreadedCg,
                         ::testing::Values(CgCase{"factor_laplacian_1", vorlane::Path::Factor, true, 1},
                                           CgCase{"factor_sddm_3", vorlane::Path::Factor, false, 3},
                                           CgCase{"factor_laplacian_17", vorlane::Path::Factor, true, 17},
                                           CgCase{"jacobi_sddm_1", vorlane::Path::Jacobi, false, 1},
                                           CgCase{"jacobi_laplacian_3", vorlane::Path::Jacobi, true, 3}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
