// The exact diagonal of a Laplacian's pseudo-inverse, against a dense inverse.
#include <gtest/gtest.h>

#include <cmath>

#include "helpers.hpp"
#include "problems.hpp"
#include "vorlane/exact_inverse.hpp"

namespace {

using vt::Csr;
using Kind = vorlane::ExactInverseError::Kind;

vorlane::Expected<std::vector<double>, vorlane::ExactInverseError> pinv_diagonal(const Csr& m,
                                                                                 double budget = 1e15) {
    auto view = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    if (!view) throw std::runtime_error("test matrix is not valid CSR");
    return vorlane::laplacian_pinv_diagonal(*view, budget);
}

// L^+ of a connected graph's Laplacian: (L + J/n)^-1 = L^+ + J/n, inverted by Gauss-Jordan
// elimination (the matrix is positive definite: no pivoting needed).
vt::Dense dense_pinv(const Csr& m) {
    const size_t n = m.n;
    vt::Dense a = vt::to_dense(m);
    vt::Dense inv(n, vt::Vec(n, 0.0));
    for (size_t i = 0; i < n; ++i) {
        for (double& x : a[i]) x += 1.0 / double(n);
        inv[i][i] = 1.0;
    }
    for (size_t c = 0; c < n; ++c) {
        const double p = a[c][c];
        for (size_t j = 0; j < n; ++j) {
            a[c][j] /= p;
            inv[c][j] /= p;
        }
        for (size_t r = 0; r < n; ++r) {
            const double f = r == c ? 0.0 : a[r][c];
            if (f == 0.0) continue;
            for (size_t j = 0; j < n; ++j) {
                a[r][j] -= f * a[c][j];
                inv[r][j] -= f * inv[c][j];
            }
        }
    }
    for (auto& row : inv) {
        for (double& x : row) x -= 1.0 / double(n);
    }
    return inv;
}

std::vector<double> dense_pinv_diagonal(const Csr& m) {
    const vt::Dense p = dense_pinv(m);
    std::vector<double> d(m.n);
    for (size_t i = 0; i < m.n; ++i) d[i] = p[i][i];
    return d;
}

struct Case {
    std::string name;
    std::function<Csr()> build;
    // Relative: with weights over twelve decades the dense reference itself loses digits.
    double tolerance = 1e-9;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ExactInverse : public ::testing::TestWithParam<Case> {};

// Shapes that stay sparse to the end (path, star, tree), that fill in (grids, random graphs),
// that turn dense early and compact the lists many times (the denser random graphs), and
// weights spanning twelve decades.
INSTANTIATE_TEST_SUITE_P(
    Shapes, ExactInverse,
    ::testing::Values(Case{"two_vertices", [] { return vorlane_problems::path(2, 1); }},
                      Case{"path_30", [] { return vorlane_problems::path(30, 2); }},
                      Case{"star_40", [] { return vorlane_problems::star(40, 4); }},
                      Case{"tree_60", [] { return vorlane_problems::random_tree(60, 5); }},
                      Case{"grid2d_unit_15x13",
                           [] { return vorlane_problems::grid2d(15, 13, 6, vorlane_problems::Weights::Unit); }},
                      Case{"grid3d_6x6x6", [] { return vorlane_problems::grid3d(6, 6, 6, 8); }},
                      Case{"grid2d_contrast_14x14",
                           [] { return vorlane_problems::grid2d(14, 14, 3, vorlane_problems::Weights::Contrast); },
                           1e-5},
                      Case{"random_120", [] { return vorlane_problems::random_graph(120, 8.0, 9); }},
                      Case{"random_dense_50", [] { return vorlane_problems::random_graph(50, 30.0, 10); }},
                      Case{"random_400_deg_40", [] { return vorlane_problems::random_graph(400, 40.0, 12); }}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_P(ExactInverse, MatchesTheDenseInverse) {
    const Csr m = GetParam().build();
    const auto d = pinv_diagonal(m);
    ASSERT_TRUE(d) << vorlane::message(d.error());
    const std::vector<double> expected = dense_pinv_diagonal(m);
    ASSERT_EQ(d->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR((*d)[i], expected[i], GetParam().tolerance * std::abs(expected[i])) << "vertex " << i;
    }
}

TEST_P(ExactInverse, SolvesFromTheSameFactor) {
    const Csr m = GetParam().build();
    // Any b: its mean is removed first, as L^+ does.
    std::vector<double> b(m.n), x(m.n);
    for (uint32_t i = 0; i < m.n; ++i) b[i] = x[i] = std::sin(1.0 + i);
    auto view = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    ASSERT_TRUE(vorlane::laplacian_pinv_diagonal(*view, 1e15, {}, x));
    const vt::Vec expected = vt::matvec(dense_pinv(m), b);
    double largest = 0.0;
    for (double value : expected) largest = std::max(largest, std::abs(value));
    for (uint32_t i = 0; i < m.n; ++i) EXPECT_NEAR(x[i], expected[i], GetParam().tolerance * largest) << i;
}

TEST_P(ExactInverse, SameBitsEveryRun) {
    const Csr m = GetParam().build();
    EXPECT_EQ(*pinv_diagonal(m), *pinv_diagonal(m));
}

TEST(ExactInverseEdges, EmptyAndSingleVertex) {
    EXPECT_TRUE(pinv_diagonal(Csr{})->empty());
    EXPECT_EQ(*pinv_diagonal(vorlane_problems::csr_from_triplets(1, {})), std::vector<double>{0.0});
}

TEST(ExactInverseEdges, SolveOfTheWrongLengthIsRefused) {
    const Csr m = vorlane_problems::path(5, 1);
    auto view = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    std::vector<double> b(4, 1.0);
    const auto d = vorlane::laplacian_pinv_diagonal(*view, 1e15, {}, b);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().kind, Kind::SolveLength);
}

TEST(ExactInverseEdges, DuplicateEntriesAreSummed) {
    // The edge 0-1 of weight 3 given as 1 + 2, and a path 1-2 of weight 1.
    const Csr m = vorlane_problems::csr_from_triplets(
        3, {{0, 0, 3.0}, {0, 1, -1.0}, {0, 1, -2.0}, {1, 0, -3.0}, {1, 1, 4.0}, {1, 2, -1.0}, {2, 1, -1.0}, {2, 2, 1.0}},
        false);
    const auto d = pinv_diagonal(m);
    ASSERT_TRUE(d) << vorlane::message(d.error());
    const std::vector<double> expected = dense_pinv_diagonal(m);
    for (size_t i = 0; i < 3; ++i) EXPECT_NEAR((*d)[i], expected[i], 1e-12);
}

struct Refusal {
    std::string name;
    std::function<Csr()> build;
    Kind kind;
    uint64_t vertex;
};
void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class ExactInverseRefuses : public ::testing::TestWithParam<Refusal> {};

INSTANTIATE_TEST_SUITE_P(
    Inputs, ExactInverseRefuses,
    ::testing::Values(
        Refusal{"disconnected",
                [] { return vorlane_problems::disjoint_union(vorlane_problems::path(4, 1), vorlane_problems::path(3, 2)); },
                Kind::NotPositive, 0},
        Refusal{"asymmetric_values",
                [] {
                    return vorlane_problems::csr_from_triplets(
                        2, {{0, 0, 1.0}, {0, 1, -1.0}, {1, 0, -2.0}, {1, 1, 2.0}}, false);
                },
                Kind::NotSymmetric, 0},
        Refusal{"asymmetric_pattern",
                [] {
                    return vorlane_problems::csr_from_triplets(3, {{0, 0, 1.0}, {0, 1, -1.0}, {1, 1, 1.0}, {1, 2, -1.0},
                                                                   {2, 1, -1.0}, {2, 2, 1.0}},
                                                               false);
                },
                Kind::NotSymmetric, 1},
        Refusal{"grounded_row", [] { return vorlane_problems::sddm(vorlane_problems::path(5, 1), 2, 1.0); },
                Kind::RowSumNotZero, 0},
        Refusal{"indefinite",
                [] {
                    // A triangle with one negative weight large enough to make L indefinite.
                    return vorlane_problems::laplacian_from_edges(3, {{0, 1, 1.0}, {1, 2, 1.0}, {0, 2, -2.0}});
                },
                Kind::NotPositive, 99}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_P(ExactInverseRefuses, WithItsReason) {
    const auto d = pinv_diagonal(GetParam().build());
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().kind, GetParam().kind) << vorlane::message(d.error());
    if (GetParam().vertex != 99 && GetParam().kind != Kind::NotPositive) {
        EXPECT_EQ(d.error().vertex, GetParam().vertex);
    }
    EXPECT_FALSE(vorlane::message(d.error()).empty());
}

TEST(ExactInverseEdges, BudgetStopsEarlyAndIsEnoughWhenLarge) {
    const Csr m = vorlane_problems::random_graph(300, 20.0, 3);
    const auto stopped = pinv_diagonal(m, 1000.0);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, Kind::OverBudget);
    EXPECT_TRUE(pinv_diagonal(m, 1e9));
}

// Stop is asked in each phase: the sparse elimination (a long path), the dense factorization
// (a nearly complete graph is dense from the start) and the dense inversion after it, and the
// sparse inversion (whose last column asks last).
TEST(ExactInverseEdges, StopCheckInterruptsEveryPhase) {
    struct Countdown {
        int64_t left;
        int64_t asked = 0;
    };
    const auto run = [](const Csr& m, Countdown& c) {
        auto view = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
        vorlane::StopCheck stop{[](void* p) {
                                    auto* countdown = static_cast<Countdown*>(p);
                                    ++countdown->asked;
                                    return --countdown->left < 0;
                                },
                                &c};
        return vorlane::laplacian_pinv_diagonal(*view, 1e15, stop);
    };
    const Csr path = vorlane_problems::path(5000, 1);
    const Csr dense = vorlane_problems::random_graph(300, 299.0, 4);
    const Csr grid = vorlane_problems::grid2d(60, 60, 2);
    Countdown never{INT64_MAX};
    ASSERT_TRUE(run(grid, never));
    for (const auto& [m, questions] : {std::pair{&path, int64_t{0}}, {&dense, int64_t{0}}, {&dense, int64_t{80}},
                                       {&grid, never.asked - 1}}) {
        Countdown countdown{questions};
        const auto d = run(*m, countdown);
        ASSERT_FALSE(d) << "n " << m->n << " after " << questions;
        EXPECT_EQ(d.error().kind, Kind::Interrupted);
    }
}

}  // namespace
