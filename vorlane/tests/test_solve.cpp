// The solve: its contract on hand-built factors, exactness where elimination makes no fill
// (against dense direct solves, for Laplacians and for SDDM matrices with a ground vertex),
// symmetry, and its strength as a conjugate-gradient preconditioner.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "alloc_probe.hpp"
#include "helpers.hpp"
#include "vorlane/builder.hpp"
#include "vorlane/decomposition.hpp"

namespace {

using vorlane::CoreFactor;
using vt::Csr;
using vt::Vec;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kSentinel = -12345.5;

CoreFactor hand_factor(uint64_t n, uint64_t original_n, std::vector<uint32_t> order, std::vector<uint32_t> col_starts,
                       std::vector<uint32_t> rows, std::vector<double> coefficients, std::vector<double> inv_diag) {
    CoreFactor f;
    f.order = std::move(order);
    f.col_starts = std::move(col_starts);
    f.rows = std::move(rows);
    f.coefficients = std::move(coefficients);
    f.inv_diag = std::move(inv_diag);
    f.n = n;
    f.original_n = original_n;
    return f;
}

// The Laplacian [[1, -1], [-1, 1]] eliminated at vertex 0.
CoreFactor two_vertex_factor(double coefficient = 1.0) {
    return hand_factor(2, 2, {0}, {0, 1}, {1}, {coefficient}, {1.0});
}

TEST(SolveContract, TwoVertexLaplacian) {
    EXPECT_EQ(vt::solve_full(two_vertex_factor(), {1.0, -1.0}), (Vec{0.5, -0.5}));
    // The last coefficient of a column is never read.
    EXPECT_EQ(vt::solve_full(two_vertex_factor(0.3), {1.0, -1.0}), (Vec{0.5, -0.5}));
}

TEST(SolveContract, EmptyColumnScalesOrPassesThrough) {
    // inv_diag 0 leaves the value as it is; the mean is then removed.
    EXPECT_EQ(vt::solve_full(hand_factor(2, 2, {0}, {0, 0}, {}, {}, {0.0}), {3.0, 1.0}), (Vec{1.0, -1.0}));
    EXPECT_EQ(vt::solve_full(hand_factor(2, 2, {0}, {0, 0}, {}, {}, {2.0}), {3.0, 1.0}), (Vec{2.5, -2.5}));
}

TEST(SolveContract, DimensionZeroAndOne) {
    const CoreFactor empty = hand_factor(0, 0, {}, {0}, {}, {}, {});
    Vec work{kSentinel, kSentinel};
    EXPECT_FALSE(vorlane::solve_into_buffer(empty, {}, work).has_value());
    EXPECT_EQ(work, (Vec{kSentinel, kSentinel}));
    const auto too_long = vorlane::solve_into_buffer(empty, Vec{1.0}, work);
    ASSERT_TRUE(too_long.has_value());
    EXPECT_EQ(vorlane::message(*too_long), "rhs length 1 exceeds factor dimension 0");

    const CoreFactor one = hand_factor(1, 1, {}, {0}, {}, {}, {});
    EXPECT_EQ(vt::solve_full(one, {}), (Vec{0.0}));
    EXPECT_EQ(vt::solve_full(one, {3.7}), (Vec{0.0}));
}

TEST(SolveContract, LengthErrorsWriteNothing) {
    const CoreFactor f = vt::must_factor(vt::grid2d(3, 3, 1), vt::plain_config());
    ASSERT_EQ(f.n, 9u);
    // Too long a right-hand side is reported first, even with a short work buffer.
    Vec short_work(8, kSentinel);
    const auto e1 = vorlane::solve_into_buffer(f, Vec(10, 1.0), short_work);
    ASSERT_TRUE(e1.has_value());
    ASSERT_TRUE(std::holds_alternative<vorlane::solve_error::RhsTooLong>(*e1));
    EXPECT_EQ(vorlane::message(*e1), "rhs length 10 exceeds factor dimension 9");
    EXPECT_EQ(short_work, Vec(8, kSentinel));

    const auto e2 = vorlane::solve_into_buffer(f, Vec(9, 1.0), short_work);
    ASSERT_TRUE(e2.has_value());
    ASSERT_TRUE(std::holds_alternative<vorlane::solve_error::WorkTooSmall>(*e2));
    EXPECT_EQ(vorlane::message(*e2), "work buffer too small: got 8, need at least 9");
    EXPECT_EQ(short_work, Vec(8, kSentinel));
}

TEST(SolveContract, ShortRightHandSideIsZeroPaddedAndWorkBeyondNIsKept) {
    for (const Csr& m : {vt::grid2d(6, 5, 2), vt::sddm(vt::grid2d(6, 5, 3), 4)}) {
        const CoreFactor f = vt::must_factor(m, vt::split_config(2, 5));
        const Vec b = vt::random_vector(f.original_n - 7, 6);
        Vec padded = b;
        padded.resize(f.original_n, 0.0);
        Vec work(f.n + 3, kNaN);  // old contents do not matter
        work[f.n] = work[f.n + 1] = work[f.n + 2] = kSentinel;
        ASSERT_FALSE(vorlane::solve_into_buffer(f, b, work).has_value());
        EXPECT_EQ(work[f.n], kSentinel);
        EXPECT_EQ(work[f.n + 2], kSentinel);
        work.resize(f.n);
        EXPECT_TRUE(vt::same_bits(work, vt::solve_full(f, padded)));
    }
}

TEST(SolveContract, LaplacianSolutionSumsToZero) {
    const CoreFactor f = vt::must_factor(vt::random_graph(150, 7.0, 8), vt::plain_config(3));
    ASSERT_EQ(f.n, f.original_n);
    for (uint64_t seed = 0; seed < 5; ++seed) {
        const Vec x = vt::solve_full(f, vt::random_vector(f.n, seed));
        double sum = 0.0, scale = 0.0;
        for (double v : x) {
            sum += v;
            scale += std::abs(v);
        }
        EXPECT_LE(std::abs(sum), 1e-12 * scale);
    }
}

TEST(SolveContract, NaNReachesEveryElement) {
    for (const Csr& m : {vt::grid2d(4, 4, 1), vt::sddm(vt::grid2d(4, 4, 1), 2)}) {
        const CoreFactor f = vt::must_factor(m, vt::plain_config());
        Vec b = vt::random_vector(f.original_n, 3);
        b[5] = kNaN;
        for (double x : vt::solve_full(f, b)) EXPECT_TRUE(std::isnan(x));
    }
}

std::vector<vorlane::CoreConfig> solve_configs() {
    return {vt::plain_config(1), vt::split_config(2, 2), vt::split_config(3, 3)};
}

// The solve transcribed step by step from its definition (forward pass fused with the
// diagonal, backward pass, then mean removal, or with a ground vertex: its right-hand side set
// to minus the sum of the others and its potential shifted to 0), in the same order of
// operations, so results must agree to the last bit.
Vec reference_solve(const CoreFactor& f, const Vec& rhs) {
    const size_t n = f.n;
    Vec w(n, 0.0);
    for (size_t i = 0; i < rhs.size(); ++i) w[i] = rhs[i];
    const bool ground = f.n != f.original_n;
    const size_t g = f.original_n;
    if (ground) {
        double s = 0.0;
        for (size_t i = 0; i < std::min<size_t>(rhs.size(), f.original_n); ++i) s = s + w[i];
        w[g] = -s;
    }
    const size_t steps = f.order.size();
    for (size_t s = 0; s < steps; ++s) {
        const uint32_t v = f.order[s];
        const double e = f.inv_diag[s];
        const uint32_t b = f.col_starts[s], m = f.col_starts[s + 1] - b;
        if (m == 0) {
            if (e != 0.0) w[v] = e * w[v];
            continue;
        }
        double x = w[v];
        for (uint32_t t = 0; t + 1 < m; ++t) {
            w[f.rows[b + t]] = w[f.rows[b + t]] + x * f.coefficients[b + t];
            x = x * (1.0 - f.coefficients[b + t]);
        }
        w[f.rows[b + m - 1]] = x + w[f.rows[b + m - 1]];
        w[v] = e != 0.0 ? e * x : x;
    }
    for (size_t s = steps; s-- > 0;) {
        const uint32_t v = f.order[s];
        const uint32_t b = f.col_starts[s], m = f.col_starts[s + 1] - b;
        if (m == 0) continue;
        double y = w[v] + w[f.rows[b + m - 1]];
        for (uint32_t t = m - 1; t-- > 0;) {
            y = y * (1.0 - f.coefficients[b + t]) + f.coefficients[b + t] * w[f.rows[b + t]];
        }
        w[v] = y;
    }
    if (ground) {
        const double c = w[g];
        for (size_t i = 0; i < n; ++i) w[i] = w[i] - c;
    } else if (n > 0) {
        double s = 0.0;
        for (size_t i = 0; i < n; ++i) s = s + w[i];
        const double mean = s / static_cast<double>(n);
        for (size_t i = 0; i < n; ++i) w[i] = w[i] - mean;
    }
    return w;
}

class SolveOrderOfOperations : public ::testing::TestWithParam<std::tuple<vt::Problem, vorlane::CoreConfig>> {};

TEST_P(SolveOrderOfOperations, BitIdenticalToTheStepByStepDefinition) {
    const auto& [problem, config] = GetParam();
    const Csr m = problem.build();
    const CoreFactor f = vt::must_factor(m, config);
    vt::Rng rng(m.n + 3);
    for (int trial = 0; trial < 4; ++trial) {
        // Full, short and (with a ground vertex) internal-length right-hand sides.
        size_t len = f.original_n;
        if (trial == 1) len = f.original_n / 2;
        if (trial == 2) len = f.n;
        Vec b(len);
        for (double& x : b) x = rng.uniform(-3.0, 3.0);
        EXPECT_TRUE(vt::same_bits(vt::solve_full(f, b), reference_solve(f, b))) << "trial " << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(Problems, SolveOrderOfOperations,
                         ::testing::Combine(::testing::ValuesIn(vt::standard_problems()),
                                            ::testing::ValuesIn(solve_configs())),
                         [](const auto& tp) {
                             return std::get<0>(tp.param).name + "_" + vt::config_name(std::get<1>(tp.param));
                         });

TEST(SolveContract, AllocatesNothing) {
    if (!vt::allocation_probe_active()) GTEST_SKIP() << "the sanitizer owns operator new";
    for (const Csr& m : {vt::grid2d(20, 20, 1), vt::sddm(vt::grid2d(20, 20, 2), 3)}) {
        const CoreFactor f = vt::must_factor(m, vt::plain_config());
        const Vec b = vt::random_vector(f.original_n, 4);
        Vec work(f.n);
        vt::reset_allocation_count();
        const auto err = vorlane::solve_into_buffer(f, b, work);
        const size_t allocations = vt::allocation_count();
        EXPECT_FALSE(err.has_value());
        EXPECT_EQ(allocations, 0u) << "the solve must run in the caller's buffer alone";
    }
}

struct ExactCase {
    const char* name;
    Csr (*build)();
};

void PrintTo(const ExactCase& c, std::ostream* os) { *os << c.name; }

using ExactParam = std::tuple<ExactCase, vorlane::CoreConfig>;

// Laplacians of trees: elimination is exact, so the solve is the zero-mean solution.
class TreeLaplacianSolve : public ::testing::TestWithParam<ExactParam> {};

TEST_P(TreeLaplacianSolve, MatchesDenseSolution) {
    const auto& [c, config] = GetParam();
    const Csr m = c.build();
    const CoreFactor f = vt::must_factor(m, config);
    ASSERT_EQ(f.n, m.n);
    for (uint64_t seed = 0; seed < 3; ++seed) {
        const Vec b = vt::zero_mean(vt::random_vector(m.n, seed + 10));
        const Vec want = vt::laplacian_solve(m, b);
        const Vec got = vt::solve_original(f, b);
        EXPECT_LE(vt::rel_diff(got, want), 1e-10) << c.name;
        EXPECT_LE(vt::rel_diff(vt::matvec(m, got), b), 1e-10) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Trees, TreeLaplacianSolve,
    ::testing::Combine(::testing::Values(ExactCase{"path_unit", [] { return vt::path(40, 1, vt::Weights::Unit); }},
                                         ExactCase{"path_random", [] { return vt::path(57, 2); }},
                                         ExactCase{"star", [] { return vt::star(33, 3); }},
                                         ExactCase{"tree_a", [] { return vt::random_tree(80, 4); }},
                                         ExactCase{"tree_b", [] { return vt::random_tree(150, 5, vt::Weights::Unit); }},
                                         ExactCase{"two_vertices", [] { return vt::path(2, 6); }}),
                       ::testing::ValuesIn(solve_configs())),
    [](const auto& tp) {
        return std::string(std::get<0>(tp.param).name) + "_" + vt::config_name(std::get<1>(tp.param));
    });

// SDDM matrices whose graph with the ground vertex is still a tree: each component of the
// matrix's graph has exactly one row with excess. The solve must give M^-1 b.
class GroundedTreeSolve : public ::testing::TestWithParam<ExactParam> {};

TEST_P(GroundedTreeSolve, MatchesDenseSolve) {
    const auto& [c, config] = GetParam();
    const Csr m = c.build();
    const CoreFactor f = vt::must_factor(m, config);
    ASSERT_EQ(f.n, m.n + 1u) << "the ground vertex is added";
    const vt::Dense dense = vt::to_dense(m);
    for (uint64_t seed = 0; seed < 3; ++seed) {
        const Vec b = vt::random_vector(m.n, seed + 20);
        const Vec want = vt::dense_solve(dense, b);
        const Vec full = vt::solve_full(f, b);
        EXPECT_EQ(full[m.n], 0.0) << "the ground vertex ends at 0";
        const Vec got(full.begin(), full.begin() + m.n);
        EXPECT_LE(vt::rel_diff(got, want), 1e-10) << c.name;
        // A right-hand side of the internal length gives the same answer whatever it holds
        // for the ground vertex.
        Vec padded = b;
        padded.push_back(123.0);
        EXPECT_TRUE(vt::same_bits(vt::solve_full(f, padded), full)) << c.name;
    }
}

Csr grounded_forest() {
    const Csr a = vt::grounded_at(vt::random_tree(20, 7), {3}, 8);
    const Csr b = vt::grounded_at(vt::path(15, 9), {14}, 10);
    return vt::disjoint_union(vt::disjoint_union(a, b), vt::diagonal({0.7, 2.0}));
}

INSTANTIATE_TEST_SUITE_P(
    Trees, GroundedTreeSolve,
    ::testing::Combine(
        ::testing::Values(ExactCase{"two_by_two",
                                    [] {
                                        return vt::csr_from_triplets(
                                            2, {{0, 0, 2.0}, {0, 1, -1.0}, {1, 0, -1.0}, {1, 1, 1.0}});
                                    }},
                          ExactCase{"diagonal", [] { return vt::diagonal({1.0, 2.0, 0.5, 4.0, 3.0}); }},
                          ExactCase{"path_grounded_mid", [] { return vt::grounded_at(vt::path(30, 11), {12}, 12); }},
                          ExactCase{"tree_grounded", [] { return vt::grounded_at(vt::random_tree(70, 13), {5}, 14); }},
                          ExactCase{"star_grounded_centre", [] { return vt::grounded_at(vt::star(25, 15), {0}, 16); }},
                          ExactCase{"star_grounded_leaf", [] { return vt::grounded_at(vt::star(25, 17), {9}, 18); }},
                          ExactCase{"forest", [] { return grounded_forest(); }}),
        ::testing::ValuesIn(solve_configs())),
    [](const auto& tp) {
        return std::string(std::get<0>(tp.param).name) + "_" + vt::config_name(std::get<1>(tp.param));
    });

TEST(GroundedSolve, TwoByTwoExample) {
    // M = [[2, -1], [-1, 1]], b = (0, 1): x = (1, 2).
    const Csr m = vt::csr_from_triplets(2, {{0, 0, 2.0}, {0, 1, -1.0}, {1, 0, -1.0}, {1, 1, 1.0}});
    for (const auto& config : solve_configs()) {
        const Vec x = vt::solve_original(vt::must_factor(m, config), {0.0, 1.0});
        ASSERT_EQ(x.size(), 2u);
        EXPECT_NEAR(x[0], 1.0, 1e-14) << vt::config_name(config);
        EXPECT_NEAR(x[1], 2.0, 1e-14) << vt::config_name(config);
    }
}

// The preconditioner must be symmetric for conjugate gradients: with a ground vertex on all
// of R^n, without one on the vectors orthogonal to the constants.
TEST(SolveSymmetry, GroundedFactorGivesASymmetricOperator) {
    const Csr m = vt::sddm(vt::grid2d(6, 6, 3), 4, 0.2);
    for (const auto& config : solve_configs()) {
        const CoreFactor f = vt::must_factor(m, config);
        ASSERT_GT(f.n, f.original_n);
        std::vector<Vec> cols;
        for (uint32_t j = 0; j < m.n; ++j) {
            Vec e(m.n, 0.0);
            e[j] = 1.0;
            cols.push_back(vt::solve_original(f, e));
        }
        double largest = 0.0;
        for (const auto& col : cols) {
            for (double x : col) largest = std::max(largest, std::abs(x));
        }
        for (uint32_t i = 0; i < m.n; ++i) {
            for (uint32_t j = 0; j < i; ++j) {
                EXPECT_NEAR(cols[j][i], cols[i][j], 1e-12 * largest) << vt::config_name(config) << " " << i << "," << j;
            }
        }
    }
}

TEST(SolveSymmetry, LaplacianFactorIsSymmetricOnZeroMeanVectors) {
    const Csr m = vt::grid2d(9, 8, 5);
    for (const auto& config : solve_configs()) {
        const CoreFactor f = vt::must_factor(m, config);
        for (uint64_t seed = 0; seed < 4; ++seed) {
            const Vec x = vt::zero_mean(vt::random_vector(m.n, seed));
            const Vec y = vt::zero_mean(vt::random_vector(m.n, seed + 100));
            const double xpy = vt::dot(x, vt::solve_original(f, y));
            const double ypx = vt::dot(y, vt::solve_original(f, x));
            EXPECT_NEAR(xpy, ypx, 1e-11 * (std::abs(xpy) + std::abs(ypx))) << vt::config_name(config);
        }
    }
}

struct CgCase {
    const char* name;
    Csr (*build)();
    bool laplacian;
};

void PrintTo(const CgCase& c, std::ostream* os) { *os << c.name; }

using CgParam = std::tuple<CgCase, vorlane::CoreConfig>;

class Preconditioning : public ::testing::TestWithParam<CgParam> {};

TEST_P(Preconditioning, CutsConjugateGradientIterations) {
    const auto& [c, config] = GetParam();
    const Csr m = c.build();
    const CoreFactor f = vt::must_factor(m, config);
    Vec b = vt::random_vector(m.n, 77);
    if (c.laplacian) b = vt::zero_mean(b);
    const auto apply = [&](const Vec& x) { return vt::matvec(m, x); };
    const auto identity = [&](const Vec& r) { return c.laplacian ? vt::zero_mean(r) : r; };
    const auto precondition = [&](const Vec& r) { return vt::solve_original(f, r); };
    const double tol = 1e-8;
    const vt::CgResult plain = vt::pcg(apply, identity, b, tol, 5000);
    const vt::CgResult pre = vt::pcg(apply, precondition, b, tol, 5000);
    ASSERT_TRUE(plain.converged);
    ASSERT_TRUE(pre.converged) << "preconditioned CG stalled after " << pre.iterations << " iterations";
    EXPECT_LT(2 * pre.iterations, plain.iterations)
        << "preconditioned " << pre.iterations << " vs plain " << plain.iterations;
    EXPECT_LE(vt::rel_diff(vt::matvec(m, pre.x), b), 1e-6) << "true residual";
}

INSTANTIATE_TEST_SUITE_P(
    Grids, Preconditioning,
    ::testing::Combine(
        ::testing::Values(
            CgCase{"grid2d_random", [] { return vt::grid2d(40, 40, 51); }, true},
            CgCase{"grid2d_unit", [] { return vt::grid2d(35, 30, 52, vt::Weights::Unit); }, true},
            CgCase{"grid3d_random", [] { return vt::grid3d(12, 12, 12, 53); }, true},
            CgCase{"sddm_grid2d", [] { return vt::sddm(vt::grid2d(40, 40, 54), 55, 0.02); }, false},
            CgCase{"sddm_grid3d", [] { return vt::sddm(vt::grid3d(12, 12, 12, 56), 57, 0.02); }, false},
            CgCase{"sddm_random_graph", [] { return vt::sddm(vt::random_graph(1500, 6.0, 58), 59, 0.01); }, false}),
                       ::testing::Values(vt::plain_config(5), vt::split_config(2, 6), vt::split_config(3, 7))),
    [](const auto& tp) {
        return std::string(std::get<0>(tp.param).name) + "_" + vt::config_name(std::get<1>(tp.param));
    });

}  // namespace
