// The block conjugate-gradient iteration: each path, each column's stopping status, the
// adaptive start's switch to the factor, and the hooks that stop it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "helpers.hpp"
#include "solver_support.hpp"
#include "vorlane/adaptive_start.hpp"
#include "vorlane/block_cg.hpp"
#include "vorlane/solver_factor.hpp"

namespace {

using vorlane::CgSettings;
using vorlane::Path;
using vorlane::Status;
using vt::Vec;

vorlane::SolverFactor must_factorize(const vorlane::CheckedMatrix& matrix) {
    auto factor = vorlane::factorize(matrix, {});
    EXPECT_TRUE(factor.has_value());
    return std::move(factor).value();
}

// The true relative residual of column j of the row-interleaved block x.
double residual(const vt::Csr& m, const Vec& b, const Vec& x, size_t width, size_t j) {
    Vec bj(m.n), xj(m.n);
    for (uint32_t i = 0; i < m.n; ++i) {
        bj[i] = b[i * width + j];
        xj[i] = x[i * width + j];
    }
    return vt::norm(vt::minus(bj, vt::matvec(m, xj))) / vt::norm(bj);
}

class Paths : public ::testing::TestWithParam<std::tuple<Path, bool>> {};

// Every path solves a grounded grid and a Laplacian with a consistent right-hand side, one
// column or several, each column to its tolerance.
TEST_P(Paths, SolveEveryColumnToItsTolerance) {
    const auto [path, laplacian] = GetParam();
    const vt::Csr m = laplacian ? vt::grid2d(15, 12, 1) : vt::sddm(vt::grid2d(15, 12, 1), 2);
    const auto matrix = vt::must_check(m);
    const auto factor = must_factorize(matrix);
    for (const size_t width : {size_t{1}, size_t{3}}) {
        Vec b(m.n * width);
        for (size_t j = 0; j < width; ++j) {
            Vec c = vt::random_vector(m.n, 20 + j);
            if (laplacian) c = vt::zero_mean(c);
            for (uint32_t i = 0; i < m.n; ++i) b[i * width + j] = c[i];
        }
        Vec x(b.size());
        CgSettings settings;
        settings.start = path;
        settings.maxiter = 2000;
        const auto outcome =
            vorlane::block_cg(matrix, &factor.streamed, b.data(), x.data(), width, false, settings, {});
        ASSERT_EQ(outcome.columns.size(), width);
        EXPECT_FALSE(outcome.stopped);
        for (size_t j = 0; j < width; ++j) {
            const auto& c = outcome.columns[j];
            EXPECT_EQ(c.status, Status::Converged) << "column " << j;
            EXPECT_LE(c.residual, settings.tol);
            EXPECT_NEAR(residual(m, b, x, width, j), c.residual, 1e-12);
            EXPECT_EQ(c.residuals.size(), c.iterations + 1);
            EXPECT_EQ(c.jacobi_iterations, path == Path::Jacobi ? c.iterations : 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Solver, Paths,
                         ::testing::Combine(::testing::Values(Path::Factor, Path::Jacobi, Path::Plain),
                                            ::testing::Bool()));

// A zero column needs no iteration and stops on its own; a column with a part in the null space
// larger than its tolerance allows stops the whole block before anything is iterated.
TEST(BlockCg, ColumnsNeedingNoIterationOrNoneThatCouldHelp) {
    const vt::Csr m = vt::grid2d(10, 10, 3);
    const auto matrix = vt::must_check(m);
    const auto factor = must_factorize(matrix);
    const Vec solvable = vt::zero_mean(vt::random_vector(m.n, 4));
    Vec b(m.n * 2, 0.0);
    for (uint32_t i = 0; i < m.n; ++i) b[i * 2] = solvable[i];
    Vec x(b.size(), 0.0);
    auto outcome = vorlane::block_cg(matrix, &factor.streamed, b.data(), x.data(), 2, false, {}, {});
    EXPECT_EQ(outcome.columns[0].status, Status::Converged);
    EXPECT_EQ(outcome.columns[1].status, Status::ZeroRhs);
    EXPECT_EQ(outcome.columns[1].residual, 0.0);

    for (uint32_t i = 0; i < m.n; ++i) b[i * 2 + 1] = 1.0;
    std::fill(x.begin(), x.end(), 0.0);
    outcome = vorlane::block_cg(matrix, &factor.streamed, b.data(), x.data(), 2, false, {}, {});
    EXPECT_EQ(outcome.columns[0].status, Status::Running);
    EXPECT_EQ(outcome.columns[0].iterations, 0u);
    EXPECT_EQ(outcome.columns[1].status, Status::Inconsistent);
    EXPECT_NEAR(outcome.columns[1].residual, 1.0, 1e-12);
}

TEST(BlockCg, StartingGuessAndIterationLimit) {
    const vt::Csr m = vt::sddm(vt::grid2d(12, 12, 5), 6);
    const auto matrix = vt::must_check(m);
    const auto factor = must_factorize(matrix);
    const Vec b = vt::random_vector(m.n, 7);
    Vec x(m.n);
    CgSettings settings;
    settings.maxiter = 0;
    auto outcome = vorlane::block_cg(matrix, &factor.streamed, b.data(), x.data(), 1, false, settings, {});
    EXPECT_EQ(outcome.columns[0].status, Status::MaxIter);
    EXPECT_EQ(outcome.columns[0].iterations, 0u);

    settings.maxiter = 1000;
    outcome = vorlane::block_cg(matrix, &factor.streamed, b.data(), x.data(), 1, false, settings, {});
    ASSERT_EQ(outcome.columns[0].status, Status::Converged);
    // Started from the solution, nothing is left to do.
    outcome = vorlane::block_cg(matrix, &factor.streamed, b.data(), x.data(), 1, true, settings, {});
    EXPECT_EQ(outcome.columns[0].status, Status::Converged);
    EXPECT_EQ(outcome.columns[0].iterations, 0u);
}

// The adaptive start iterates with Jacobi first and builds the factor through the hook at most
// once; a factor the hook cannot build stops the iteration.
TEST(BlockCg, AdaptiveStartBuildsTheFactorThroughItsHook) {
    const vt::Csr m = vt::grid2d(60, 60, 8);
    const auto matrix = vt::must_check(m);
    const Vec b = vt::zero_mean(vt::random_vector(m.n, 9));
    CgSettings settings;
    settings.adaptive = true;
    settings.maxiter = 5000;
    int built = 0;
    std::optional<vorlane::SolverFactor> factor;
    vorlane::CgHooks hooks;
    hooks.factorize = [&]() -> const vorlane::StreamedFactor* {
        ++built;
        factor = must_factorize(matrix);
        return &factor->streamed;
    };
    Vec x(m.n);
    auto outcome = vorlane::block_cg(matrix, nullptr, b.data(), x.data(), 1, false, settings, hooks);
    EXPECT_EQ(outcome.columns[0].status, Status::Converged);
    EXPECT_LE(built, 1);
    EXPECT_EQ(outcome.path == Path::Factor, built == 1);
    EXPECT_GE(outcome.columns[0].jacobi_iterations, vorlane::kDecisionInterval);

    settings.adaptive = false;
    settings.start = Path::Factor;
    hooks.factorize = [] { return static_cast<const vorlane::StreamedFactor*>(nullptr); };
    outcome = vorlane::block_cg(matrix, nullptr, b.data(), x.data(), 1, false, settings, hooks);
    EXPECT_TRUE(outcome.stopped);
}

TEST(BlockCg, HooksStopTheIteration) {
    const vt::Csr m = vt::grid2d(20, 20, 10);
    const auto matrix = vt::must_check(m);
    const Vec b = vt::zero_mean(vt::random_vector(m.n, 11));
    CgSettings settings;
    settings.start = Path::Plain;
    Vec x(m.n);
    uint64_t seen = 0;
    vorlane::CgHooks hooks;
    hooks.after_iteration = [&](const vorlane::IterateView& view) {
        seen = view.iteration;
        return view.iteration < 5;
    };
    auto outcome = vorlane::block_cg(matrix, nullptr, b.data(), x.data(), 1, false, settings, hooks);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(seen, 5u);

    hooks = {};
    hooks.should_stop = [] { return true; };
    outcome = vorlane::block_cg(matrix, nullptr, b.data(), x.data(), 1, false, settings, hooks);
    EXPECT_TRUE(outcome.stopped);
}

}  // namespace
