// Elimination in rounds: the same factor on any number of threads, a valid factor of the same
// matrix whose columns only name later rounds, and a preconditioner as good as the sequential
// order's.
#include <gtest/gtest.h>

#include <atomic>

#include "helpers.hpp"
#include "problems.hpp"
#include "vorlane/parallel_elimination.hpp"
#include "vorlane_problems/digest.hpp"
#include "vorlane_problems/recipes.hpp"

namespace {

using vt::Csr;
namespace recipes = vorlane_problems::recipes;

struct Rounded {
    vorlane::CoreFactor factor;
    vorlane::RoundStats stats;
};

Rounded in_rounds(const Csr& m, const vorlane::CoreConfig& config, unsigned threads,
                  vorlane::RoundOptions options = {}) {
    vorlane::ThreadPool pool(threads);
    auto csr = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    if (!csr) throw std::runtime_error("invalid test matrix");
    Rounded out;
    auto result = vorlane::build_factor_in_rounds(*csr, config, options, pool, {}, &out.stats);
    if (!result) throw std::runtime_error("rounds failed: " + vorlane::message(result.error()));
    out.factor = std::move(result).value();
    return out;
}

// Every column names vertices of later rounds only: what makes rounds the levels of a solve.
// Steps before the first round (parts' interiors) count as round -1.
::testing::AssertionResult columns_name_later_rounds(const Rounded& r) {
    const auto& f = r.factor;
    const auto& starts = r.stats.round_starts;
    if (starts.empty() || starts.front() != r.stats.interior_steps || starts.back() != f.n_steps()) {
        return ::testing::AssertionFailure() << "round starts do not cover the steps";
    }
    std::vector<uint64_t> round_of(f.n, UINT64_MAX);
    for (uint64_t s = 0; s < r.stats.interior_steps; ++s) round_of[f.order[s]] = 0;
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        if (starts[k] >= starts[k + 1]) return ::testing::AssertionFailure() << "empty round " << k;
        for (uint64_t s = starts[k]; s < starts[k + 1]; ++s) round_of[f.order[s]] = k + 1;
    }
    for (uint64_t s = 0; s < f.n_steps(); ++s) {
        for (uint32_t t = f.col_starts[s]; t < f.col_starts[s + 1]; ++t) {
            const uint64_t later = round_of[f.rows[t]];
            const uint64_t own = round_of[f.order[s]];
            if (later != UINT64_MAX && (later < own || (later == own && own != 0))) {
                return ::testing::AssertionFailure() << "step " << s << " names vertex " << f.rows[t]
                                                     << " of round " << later;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

class RoundsOnProblems : public ::testing::TestWithParam<vt::ConfiguredProblem> {};

TEST_P(RoundsOnProblems, SameFactorOnAnyNumberOfThreadsAndValid) {
    const Csr m = GetParam().problem.build();
    // Small rounds, so that even these problems take many rounds and threads share them.
    vorlane::RoundOptions options;
    options.round_size = 5;
    const Rounded one = in_rounds(m, GetParam().config, 1, options);
    EXPECT_TRUE(vt::factor_invariants(one.factor));
    EXPECT_TRUE(columns_name_later_rounds(one));
    for (unsigned threads : {2u, 3u, 8u}) {
        const Rounded many = in_rounds(m, GetParam().config, threads, options);
        EXPECT_TRUE(vt::identical(one.factor, many.factor)) << threads << " threads";
        EXPECT_EQ(one.stats.round_starts, many.stats.round_starts) << threads << " threads";
    }
    // The factor solves the matrix's systems like any factor: a solve of a consistent
    // right-hand side is finite and has zero mean.
    const vt::Vec x = vt::solve_full(one.factor, vt::zero_mean(vt::random_vector(m.n, 3)));
    for (double v : x) ASSERT_TRUE(std::isfinite(v));
}

INSTANTIATE_TEST_SUITE_P(Problems, RoundsOnProblems, ::testing::ValuesIn(vt::configured_problems(5)));

int pcg_iterations(const Csr& m, const vorlane::CoreFactor& f) {
    const vt::Vec b = vt::zero_mean(vt::random_vector(m.n, 17));
    auto a = [&](const vt::Vec& x) { return vt::matvec(m, x); };
    auto p = [&](const vt::Vec& r) { return vt::solve_original(f, r); };
    const auto result = vt::pcg(a, p, b, 1e-8, 500);
    EXPECT_TRUE(result.converged);
    return result.iterations;
}

struct Quality {
    const char* name;
    Csr (*build)();
};

class RoundsQuality : public ::testing::TestWithParam<Quality> {};

// Rounds change the order, not what the factor is: CG needs about as many iterations.
TEST_P(RoundsQuality, IterationsCloseToTheSequentialOrder) {
    const Csr m = GetParam().build();
    const int sequential = pcg_iterations(m, vt::must_factor(m, vt::plain_config(1)));
    for (uint32_t size : {16u, 256u, 100000u}) {
        vorlane::RoundOptions options;
        options.round_size = size;
        const int rounds = pcg_iterations(m, in_rounds(m, vt::plain_config(1), 2, options).factor);
        EXPECT_LE(rounds, sequential * 13 / 10 + 2) << "round size " << size << ", sequential " << sequential;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RoundsQuality,
    ::testing::Values(Quality{"grid", [] { return vt::grid2d(60, 60, 4); }},
                      Quality{"contrast", [] { return recipes::grid({60, 60}, recipes::GridWeights::LogUniform, false, 5); }},
                      Quality{"power_law", [] { return recipes::power_law(3000, 6.0, 6); }},
                      Quality{"expander", [] { return recipes::expander(3000, 7); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Blocks of a grid's rows as parts: nx x ny vertices in `count` horizontal strips.
std::vector<uint32_t> strips(uint32_t nx, uint32_t ny, uint32_t count, uint32_t n) {
    std::vector<uint32_t> parts(n);
    for (uint32_t v = 0; v < n; ++v) parts[v] = std::min(count - 1, (v / nx) * count / ny);
    return parts;
}

// Every interior step's column lies in its part: vertices of its own part, or the ground.
::testing::AssertionResult interiors_stay_in_their_parts(const Rounded& r, const std::vector<uint32_t>& parts) {
    const auto& f = r.factor;
    for (uint64_t s = 0; s < r.stats.interior_steps; ++s) {
        const uint32_t v = f.order[s];
        for (uint32_t t = f.col_starts[s]; t < f.col_starts[s + 1]; ++t) {
            const uint32_t u = f.rows[t];
            if (u < parts.size() && parts[u] != parts[v]) {
                return ::testing::AssertionFailure() << "interior step of " << v << " names " << u << " of another part";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

struct Partitioned {
    const char* name;
    Csr (*build)();
    uint32_t parts;
};

class RoundsWithParts : public ::testing::TestWithParam<Partitioned> {};

TEST_P(RoundsWithParts, InteriorsFirstSameOnAnyThreadsAndAsGood) {
    const Csr m = GetParam().build();
    const std::vector<uint32_t> parts = strips(60, 60, GetParam().parts, m.n);
    vorlane::RoundOptions options;
    options.parts = parts;
    for (const auto& config : {vt::plain_config(2), vt::split_config(2, 2)}) {
        const Rounded one = in_rounds(m, config, 1, options);
        EXPECT_TRUE(vt::factor_invariants(one.factor));
        EXPECT_TRUE(columns_name_later_rounds(one));
        EXPECT_TRUE(interiors_stay_in_their_parts(one, parts));
        for (unsigned threads : {2u, 3u}) {
            EXPECT_TRUE(vt::identical(one.factor, in_rounds(m, config, threads, options).factor)) << threads;
        }
    }
    const Rounded rounds = in_rounds(m, vt::plain_config(2), 2, options);
    if (GetParam().parts > 1) {
        EXPECT_GT(rounds.stats.interior_steps, m.n / 2);
    }
    const int sequential = pcg_iterations(m, vt::must_factor(m, vt::plain_config(1)));
    EXPECT_LE(pcg_iterations(m, rounds.factor), sequential * 13 / 10 + 2);
}

INSTANTIATE_TEST_SUITE_P(
    Grids, RoundsWithParts,
    ::testing::Values(Partitioned{"one_part", [] { return vt::grid2d(60, 60, 4); }, 1},
                      Partitioned{"four", [] { return vt::grid2d(60, 60, 4); }, 4},
                      Partitioned{"ten", [] { return vt::grid2d(60, 60, 4); }, 10},
                      Partitioned{"sddm_every_vertex_grounded",
                                  [] { return vt::add_diagonal(vt::grid2d(60, 60, 5), std::vector<double>(3600, 0.5)); },
                                  6},
                      Partitioned{"two_components",
                                  [] { return vt::sddm(vt::disjoint_union(vt::grid2d(60, 30, 6), vt::grid2d(60, 30, 7)), 8); },
                                  2}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(RoundsWithParts, EveryVertexOnTheInterfaceLeavesAllToRounds) {
    // Alternating parts along a path: no vertex has all its neighbours in its own part.
    const Csr m = vt::path(200, 3);
    std::vector<uint32_t> parts(200);
    for (uint32_t v = 0; v < 200; ++v) parts[v] = v % 2;
    vorlane::RoundOptions options;
    options.parts = parts;
    const Rounded r = in_rounds(m, vt::plain_config(), 2, options);
    EXPECT_EQ(r.stats.interior_steps, 0u);
    EXPECT_TRUE(vt::factor_invariants(r.factor));
    // Empty parts (numbers no vertex has) are allowed.
    for (uint32_t v = 0; v < 200; ++v) parts[v] = v < 100 ? 0 : 7;
    const Rounded sparse = in_rounds(m, vt::plain_config(), 2, options);
    EXPECT_EQ(sparse.stats.interior_steps, 198u);
    EXPECT_TRUE(vt::factor_invariants(sparse.factor));
}

// Without parts, runs of consecutive vertices serve as parts where they have small interfaces.
TEST(RoundsWithParts, BlocksServeWhereTheNumberingFollowsTheGeometry) {
    const Csr grid = vt::grid2d(80, 80, 3);
    const Rounded blocked = in_rounds(grid, vt::plain_config(), 2);
    EXPECT_GT(blocked.stats.interior_steps, grid.n / 2);
    vorlane::RoundOptions alone;
    alone.blocks = 0;
    EXPECT_EQ(in_rounds(grid, vt::plain_config(), 2, alone).stats.interior_steps, 0u);
    const Csr expander = recipes::expander(4000, 5);
    EXPECT_EQ(in_rounds(expander, vt::plain_config(), 2).stats.interior_steps, 0u);
}

// Pinned digests of parallel-order factors: a change to the order, the random streams or the
// arithmetic shows up here, whatever the number of threads.
TEST(Rounds, PinnedDigests) {
    const auto digest = [](const vorlane::CoreFactor& f) {
        return vorlane_problems::digest(f.order, f.col_starts, f.rows, f.coefficients, f.inv_diag);
    };
    const Csr grid = vt::sddm(vt::grid2d(120, 120, 3), 4);
    const Csr graph = recipes::power_law(5000, 8.0, 5);
    vorlane::RoundOptions alone;
    alone.blocks = 0;
    const Rounded blocked = in_rounds(grid, vt::plain_config(7), 2);
    ASSERT_GT(blocked.stats.interior_steps, 0u);  // the blocks serve as parts here
    EXPECT_EQ(digest(blocked.factor), 2313880674163912693u);
    EXPECT_EQ(digest(in_rounds(grid, vt::split_config(2, 7), 3, alone).factor), 12217510400707925658u);
    EXPECT_EQ(digest(in_rounds(graph, vt::plain_config(7), 2).factor), 8105198707625491290u);
}

TEST(Rounds, StarTakesItsLeavesTogether) {
    const Csr m = vt::star(1000, 2, vt::Weights::Unit);
    const Rounded r = in_rounds(m, vt::plain_config(), 2);
    // The leaves are never adjacent: every round but the last few is full.
    EXPECT_LE(r.stats.round_starts.size(), 1000 / 256 + 3);
    EXPECT_TRUE(columns_name_later_rounds(r));
}

TEST(Rounds, GroundedEverywhereStaysParallel) {
    // L + I: every vertex is tied to the ground vertex, which must not serialize the rounds.
    const Csr m = vt::add_diagonal(vt::grid2d(30, 30, 8), std::vector<double>(900, 1.0));
    const Rounded r = in_rounds(m, vt::plain_config(), 2);
    EXPECT_LT(r.stats.round_starts.size(), 900 / 8);
    EXPECT_TRUE(columns_name_later_rounds(r));
}

TEST(Rounds, SeedChangesTheFactorNotItsShape) {
    const Csr m = vt::random_graph(400, 8.0, 9);
    const Rounded a = in_rounds(m, vt::plain_config(1), 2);
    const Rounded b = in_rounds(m, vt::plain_config(2), 2);
    EXPECT_EQ(a.factor.n_steps(), b.factor.n_steps());
    EXPECT_FALSE(vt::identical(a.factor, b.factor));
}

TEST(Rounds, StopsWhenAsked) {
    const Csr m = vt::grid2d(100, 100, 3);
    auto csr = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    ASSERT_TRUE(csr.has_value());
    vorlane::ThreadPool pool(2);
    std::atomic<int> asked{0};
    vorlane::StopCheck stop{[](void* c) { return ++*static_cast<std::atomic<int>*>(c) >= 2; }, &asked};
    vorlane::RoundOptions options;
    options.round_size = 8;
    auto result = vorlane::build_factor_in_rounds(*csr, vt::plain_config(), options, pool, stop);
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(std::holds_alternative<vorlane::Interrupted>(result.error()));
}

}  // namespace
