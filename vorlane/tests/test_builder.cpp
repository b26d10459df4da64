// The factorization driver end to end: structural invariants of every factor, determinism,
// the elimination order's tie-breaking, the three kinds of step, pivots, modes and errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "helpers.hpp"
#include "vorlane/builder.hpp"
#include "vorlane/decomposition.hpp"

namespace {

using vorlane::CoreFactor;
using vt::Csr;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<vorlane::CoreConfig> all_configs(uint64_t seed) {
    return {vt::plain_config(seed), vt::split_config(1, seed), vt::split_config(2, seed), vt::split_config(3, seed)};
}

using StructureParam = std::tuple<vt::Problem, vorlane::CoreConfig>;

class FactorStructure : public ::testing::TestWithParam<StructureParam> {};

TEST_P(FactorStructure, InvariantsHold) {
    const auto& [problem, config] = GetParam();
    const Csr m = problem.build();
    const CoreFactor f = vt::must_factor(m, config);
    ASSERT_TRUE(vt::factor_invariants(f));
    EXPECT_EQ(f.original_n, m.n);
    const bool ground = vt::max_abs_row_sum(m) >= 1e-10 * vt::threshold_scale(m);
    EXPECT_EQ(f.n, m.n + (ground ? 1u : 0u));
    if (problem.laplacian) {
        EXPECT_EQ(f.n, m.n);
    }

    // Positive weights: every fraction lies in [0, 1] and every column's last one is 1.
    for (size_t s = 0; s < f.order.size(); ++s) {
        const uint32_t b = f.col_starts[s], e = f.col_starts[s + 1];
        for (uint32_t t = b; t < e; ++t) {
            EXPECT_GE(f.coefficients[t], 0.0);
            EXPECT_LE(f.coefficients[t], 1.0 + 1e-12);
        }
        if (e > b) {
            EXPECT_EQ(f.coefficients[e - 1], 1.0) << "step " << s;
        }
    }

    // A tree has a leaf at every step, so minimum degree never creates fill: one row a step.
    const bool tree = problem.name.starts_with("path") || problem.name.starts_with("star") ||
                      problem.name.starts_with("tree");
    if (tree) {
        for (size_t s = 0; s < f.order.size(); ++s) {
            EXPECT_EQ(f.col_starts[s + 1] - f.col_starts[s], 1u) << "step " << s;
        }
    }
}

TEST_P(FactorStructure, SameInputGivesBitIdenticalFactor) {
    const auto& [problem, config] = GetParam();
    const Csr m = problem.build();
    const CoreFactor a = vt::must_factor(m, config);
    const CoreFactor b = vt::must_factor(m, config);
    EXPECT_TRUE(vt::identical(a, b));
}

std::vector<StructureParam> structure_params() {
    std::vector<StructureParam> out;
    for (const auto& p : vt::standard_problems()) {
        for (const auto& c : all_configs(7)) out.emplace_back(p, c);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Problems, FactorStructure, ::testing::ValuesIn(structure_params()),
                         [](const auto& tp) {
                             return std::get<0>(tp.param).name + "_" + vt::config_name(std::get<1>(tp.param));
                         });

TEST(Determinism, DifferentSeedsGiveDifferentFactorsOfTheSameShape) {
    for (const Csr& m : {vt::grid2d(15, 15, 3), vt::sddm(vt::random_graph(150, 8.0, 4), 5)}) {
        for (const auto& split : {std::optional<uint32_t>{}, std::optional<uint32_t>{2}}) {
            const CoreFactor a = vt::must_factor(m, {split, 1});
            const CoreFactor b = vt::must_factor(m, {split, 2});
            EXPECT_EQ(a.n, b.n);
            EXPECT_EQ(a.n_steps(), b.n_steps());
            EXPECT_FALSE(vt::identical(a, b)) << "seed must matter when there is fill";
        }
    }
}

TEST(Determinism, CallsDoNotShareState) {
    // A factorization in between must not change the next one.
    const Csr m = vt::grid3d(5, 4, 6, 2);
    const CoreFactor first = vt::must_factor(m, vt::split_config(3, 9));
    vt::must_factor(vt::random_graph(80, 10.0, 1), vt::split_config(3, 9));
    vt::must_factor(vt::grid2d(10, 10, 1), vt::plain_config(9));
    EXPECT_TRUE(vt::identical(first, vt::must_factor(m, vt::split_config(3, 9))));
}

TEST(DriverEdges, EmptyMatrix) {
    for (const auto& c : all_configs(0)) {
        const CoreFactor f = vt::must_factor(Csr{}, c);
        EXPECT_EQ(f.n, 0u);
        EXPECT_EQ(f.original_n, 0u);
        EXPECT_EQ(f.n_steps(), 0u);
        EXPECT_EQ(f.col_starts, (std::vector<uint32_t>{0}));
        EXPECT_TRUE(f.rows.empty());
    }
}

struct SmallCase {
    std::string name;
    Csr matrix;
    uint64_t n;
    std::vector<uint32_t> order;
    std::vector<uint32_t> col_starts;
    std::vector<uint32_t> rows;
    std::vector<double> inv_diag;
};

// Small inputs whose whole factor follows from the rules by hand; the same in every mode.
std::vector<SmallCase> small_cases() {
    const double third = -1.0 / 3.0;
    return {
        {"one_zero_entry", vt::csr_from_triplets(1, {}), 1, {}, {0}, {}, {}},
        {"one_empty_row", Csr{1, {0, 0}, {}, {}}, 1, {}, {0}, {}, {}},
        {"one_positive_entry", vt::diagonal({5.0}), 2, {1}, {0, 1}, {0}, {0.2}},
        {"one_entry_at_threshold", vt::diagonal({1e-10}), 2, {1}, {0, 1}, {0}, {1e10}},
        {"one_entry_small_units", vt::diagonal({9e-11}), 2, {1}, {0, 1}, {0}, {1.0 / 9e-11}},
        {"diagonal_pair", vt::diagonal({2.0, 4.0}), 3, {1, 2}, {0, 1, 2}, {2, 0}, {0.25, 0.5}},
        {"three_path_ties", vt::path(3, 0, vt::Weights::Unit), 3, {2, 1}, {0, 1, 2}, {1, 0}, {1.0, 1.0}},
        // Negative excess: vertex 0 has no entry at all (an isolated step with its own degree),
        // the ground vertex takes the rest.
        {"negative_diagonal", vt::diagonal({-3.0, 2.0}), 3, {0, 2}, {0, 0, 1}, {1}, {third, -1.0}},
        // Zero pivot: the ground vertex has no edges and degree -2; vertex 1 then has degree 0.
        {"zero_pivot", vt::csr_from_triplets(2, {{0, 1, -1.0}, {1, 0, -1.0}}), 3, {2, 1}, {0, 0, 1}, {0}, {-0.5, 0.0}},
        // NaN diagonal: the NaN excess never triggers the ground vertex; the pivot is NaN.
        {"nan_pivot", Csr{2, {0, 2, 4}, {0, 1, 0, 1}, {1.0, -1.0, -1.0, kNaN}}, 2, {1}, {0, 1}, {0}, {0.0}},
        // Isolated pivots at the threshold, 1e-14 times 4 (the diagonal's largest entry 5 rounded
        // down to a power of two): at it gives 0, twice that its inverse.
        {"pivot_at_threshold", vt::diagonal({-1e-14 * 4, 5.0}), 3, {0, 2}, {0, 0, 1}, {1}, {0.0, 1.0 / (5.0 - 4e-14)}},
        {"pivot_above_threshold", vt::diagonal({-2e-14 * 4, 5.0}), 3, {0, 2}, {0, 0, 1}, {1},
         {-1.25e13, 1.0 / (5.0 - 8e-14)}},
        // A matrix of tiny entries has a tiny threshold; a pivot whose inverse overflows still gives 0.
        {"pivot_with_infinite_inverse", vt::diagonal({1e-300, 1e-310}), 3, {1, 2}, {0, 1, 2}, {2, 0}, {0.0, 1e300}},
    };
}

void PrintTo(const SmallCase& c, std::ostream* os) { *os << c.name; }

class SmallFactor : public ::testing::TestWithParam<SmallCase> {};

TEST_P(SmallFactor, WholeFactorByHand) {
    const SmallCase& c = GetParam();
    for (const auto& config : all_configs(4)) {
        const CoreFactor f = vt::must_factor(c.matrix, config);
        EXPECT_EQ(f.n, c.n) << vt::config_name(config);
        EXPECT_EQ(f.original_n, c.matrix.n);
        EXPECT_EQ(f.order, c.order) << vt::config_name(config);
        EXPECT_EQ(f.col_starts, c.col_starts) << vt::config_name(config);
        EXPECT_EQ(f.rows, c.rows) << vt::config_name(config);
        ASSERT_EQ(f.inv_diag.size(), c.inv_diag.size());
        for (size_t s = 0; s < c.inv_diag.size(); ++s) {
            if (c.inv_diag[s] == 0.0) {
                EXPECT_EQ(f.inv_diag[s], 0.0) << vt::config_name(config) << " step " << s;
            } else {
                EXPECT_NEAR(f.inv_diag[s], c.inv_diag[s], 1e-14 * std::abs(c.inv_diag[s]))
                    << vt::config_name(config) << " step " << s;
            }
        }
        for (double x : f.coefficients) EXPECT_EQ(x, 1.0);
        EXPECT_TRUE(vt::factor_invariants(f));
    }
}

INSTANTIATE_TEST_SUITE_P(Hand, SmallFactor, ::testing::ValuesIn(small_cases()),
                         [](const auto& tp) { return tp.param.name; });

TEST(DriverEdges, DiagonalMatrixJoinsEveryVertexToTheGround) {
    const std::vector<double> d{1.0, 2.0, 0.5, 4.0, 3.0, 1.5};
    const uint32_t g = 6;
    for (const auto& config : all_configs(1)) {
        const CoreFactor f = vt::must_factor(vt::diagonal(d), config);
        EXPECT_EQ(f.n, 7u);
        ASSERT_EQ(f.n_steps(), 6u);
        // Leaves go in decreasing index until the ground vertex's key drops to theirs; it then
        // heads its bucket and goes before vertex 0, which is never eliminated.
        EXPECT_EQ(f.order, (std::vector<uint32_t>{5, 4, 3, 2, 1, g})) << vt::config_name(config);
        EXPECT_EQ(f.rows, (std::vector<uint32_t>{g, g, g, g, g, 0}));
        for (size_t s = 0; s + 1 < 6; ++s) EXPECT_NEAR(f.inv_diag[s], 1.0 / d[f.order[s]], 1e-15);
        EXPECT_NEAR(f.inv_diag[5], 1.0 / d[0], 1e-14);
    }
}

TEST(DriverEdges, StarGraphLeavesGoFirstThenTheCentre) {
    for (const auto& config : all_configs(2)) {
        const CoreFactor f = vt::must_factor(vt::star(12, 5), config);
        ASSERT_EQ(f.n_steps(), 11u);
        const std::vector<uint32_t> order{11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 0};
        EXPECT_EQ(f.order, order) << vt::config_name(config);
        std::vector<uint32_t> rows(10, 0);
        rows.push_back(1);
        EXPECT_EQ(f.rows, rows) << vt::config_name(config);
    }
}

TEST(DriverEdges, IsolatedVerticesGoFirstWithEmptyColumnsAndZeroInversePivot) {
    // Grid 0..15, isolated 16..18 (explicit zero diagonal), path 19..23.
    const Csr m = vt::disjoint_union(vt::disjoint_union(vt::grid2d(4, 4, 12), vt::csr_from_triplets(3, {})),
                                     vt::path(5, 13));
    for (const auto& config : all_configs(3)) {
        const CoreFactor f = vt::must_factor(m, config);
        ASSERT_TRUE(vt::factor_invariants(f));
        ASSERT_GE(f.n_steps(), 3u);
        EXPECT_EQ(std::vector<uint32_t>(f.order.begin(), f.order.begin() + 3), (std::vector<uint32_t>{18, 17, 16}));
        EXPECT_EQ(std::vector<uint32_t>(f.col_starts.begin(), f.col_starts.begin() + 4),
                  (std::vector<uint32_t>{0, 0, 0, 0}));
        EXPECT_EQ(std::vector<double>(f.inv_diag.begin(), f.inv_diag.begin() + 3), (std::vector<double>{0, 0, 0}));
    }
}

TEST(DriverEdges, EdgesThatSplitToNothingGiveAnEmptyStar) {
    // 5e-324 split three ways rounds to zero: the vertex keeps its entries but gathers none.
    const double tiny = std::numeric_limits<double>::denorm_min();
    const Csr m = vt::csr_from_triplets(2, {{0, 1, -tiny}, {1, 0, -tiny}});
    const CoreFactor split = vt::must_factor(m, vt::split_config(3));
    EXPECT_EQ(split.n, 2u);
    EXPECT_EQ(split.order, (std::vector<uint32_t>{1}));
    EXPECT_EQ(split.col_starts, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(split.inv_diag, (std::vector<double>{0.0}));
    const CoreFactor plain = vt::must_factor(m, vt::plain_config());
    EXPECT_EQ(plain.rows, (std::vector<uint32_t>{0}));
    EXPECT_EQ(plain.inv_diag, (std::vector<double>{0.0}));
}

TEST(DriverEdges, ZeroSplitIsRefusedAfterValidation) {
    const Csr m = vt::grid2d(3, 3, 1);
    const auto result = vorlane::build_factor(m.rp(), m.ci(), m.va(), m.n, vt::split_config(0));
    ASSERT_FALSE(result.has_value());
    ASSERT_TRUE(std::holds_alternative<vorlane::InvalidConfig>(result.error()));
    EXPECT_EQ(vorlane::message(result.error()), "invalid factorization config: split_merge must be >= 1 (got 0)");
    const auto empty = vorlane::build_factor(std::vector<uint32_t>{0}, {}, {}, 0, vt::split_config(0));
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(vorlane::message(empty.error()), "invalid factorization config: split_merge must be >= 1 (got 0)");
}

// The first eliminated vertex of a grid is its last corner (degree 2, highest index); its
// column follows from the two matrix entries alone.
TEST(DriverEdges, FirstStepOfAGridFollowsFromItsTwoEdges) {
    const uint32_t nx = 6, ny = 5, n = nx * ny;
    const Csr m = vt::grid2d(nx, ny, 21);
    const auto dense = vt::to_dense(m);
    const uint32_t v = n - 1;
    double a = -dense[v][n - 2], b = -dense[v][n - 1 - ny];
    uint32_t na = n - 2, nb = n - 1 - ny;
    if (b < a) {
        std::swap(a, b);
        std::swap(na, nb);
    }
    for (const auto& config : all_configs(5)) {
        const CoreFactor f = vt::must_factor(m, config);
        ASSERT_GE(f.n_steps(), 1u);
        EXPECT_EQ(f.order[0], v);
        ASSERT_EQ(f.col_starts[1], 2u);
        EXPECT_EQ(f.rows[0], na);
        EXPECT_EQ(f.rows[1], nb);
        EXPECT_NEAR(f.coefficients[0], a / (a + b), 1e-14);
        EXPECT_NEAR(f.inv_diag[0], (a + b) / (b * b), 1e-13 * (a + b) / (b * b));
    }
}

// A path whose edges are stored as one to three parallel entries. Eliminating a vertex of a
// path leaves a path, so every star has at most two neighbours and its fill is not random:
// plain mode joins the two neighbours by one edge, split mode by one edge per capped copy of
// the first. The live multigraph is therefore known at every step, and each eliminated vertex
// must be one with the fewest live entries (copies, in split mode).
Csr parallel_path(uint32_t n, uint64_t seed) {
    vt::Rng rng(seed);
    Csr m;
    m.n = n;
    std::vector<uint64_t> copies(n, 0);
    std::vector<double> w(n, 0.0);
    for (uint32_t i = 0; i + 1 < n; ++i) {
        copies[i] = 1 + rng.below(3);
        w[i] = rng.uniform(0.5, 2.0);
    }
    for (uint32_t i = 0; i < n; ++i) {
        const double left = i > 0 ? w[i - 1] * static_cast<double>(copies[i - 1]) : 0.0;
        const double right = i + 1 < n ? w[i] * static_cast<double>(copies[i]) : 0.0;
        if (i > 0) {
            m.col_indices.push_back(i - 1);
            m.values.push_back(-left);
        }
        m.col_indices.push_back(i);
        m.values.push_back(left + right);
        for (uint64_t c = 0; c < copies[i] && i + 1 < n; ++c) {
            m.col_indices.push_back(i + 1);
            m.values.push_back(-w[i]);
        }
        m.row_ptrs.push_back(static_cast<uint32_t>(m.col_indices.size()));
    }
    return m;
}

TEST(Ordering, EachStepEliminatesAVertexOfLeastLiveDegree) {
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        const Csr m = parallel_path(30 + static_cast<uint32_t>(seed) * 3, seed);
        for (const auto& config : all_configs(seed)) {
            const uint32_t k = config.split_merge.value_or(1);
            // Live copies between each pair: k per stored entry of the upper triangle.
            std::vector<std::map<uint32_t, uint64_t>> graph(m.n);
            for (uint32_t i = 0; i < m.n; ++i) {
                for (uint32_t t = m.row_ptrs[i]; t < m.row_ptrs[i + 1]; ++t) {
                    const uint32_t j = m.col_indices[t];
                    if (j > i) {
                        graph[i][j] += k;
                        graph[j][i] += k;
                    }
                }
            }
            const CoreFactor f = vt::must_factor(m, config);
            ASSERT_EQ(f.n, m.n);
            std::vector<char> gone(m.n, 0);
            auto degree = [&](uint32_t u) {
                uint64_t d = 0;
                for (const auto& [x, c] : graph[u]) d += c;
                return d;
            };
            for (size_t s = 0; s < f.order.size(); ++s) {
                const uint32_t v = f.order[s];
                uint64_t least = UINT64_MAX;
                for (uint32_t u = 0; u < m.n; ++u) {
                    if (!gone[u]) least = std::min(least, degree(u));
                }
                ASSERT_EQ(degree(v), least) << vt::config_name(config) << " seed " << seed << " step " << s;
                const std::vector<uint32_t> rows(f.rows.begin() + f.col_starts[s],
                                                 f.rows.begin() + f.col_starts[s + 1]);
                ASSERT_EQ(rows.size(), graph[v].size()) << "one row per live neighbour";
                ASSERT_LE(rows.size(), 2u);
                if (rows.size() == 2) {
                    const uint64_t fill = config.split_merge ? std::min<uint64_t>(graph[v][rows[0]], k) : 1;
                    graph[rows[0]][rows[1]] += fill;
                    graph[rows[1]][rows[0]] += fill;
                }
                for (const auto& [u, c] : graph[v]) graph[u].erase(v);
                graph[v].clear();
                gone[v] = 1;
            }
        }
    }
}

// One copy per edge changes only how fill weights are rounded: the order, the columns'
// shape and the draws stay those of plain mode.
TEST(ModeRelations, SplitOfOneFollowsPlainMode) {
    for (const Csr& m :
         {vt::grid2d(14, 13, 31), vt::sddm(vt::grid3d(6, 6, 6, 32), 33), vt::random_graph(200, 7.0, 34)}) {
        const CoreFactor plain = vt::must_factor(m, vt::plain_config(8));
        const CoreFactor one = vt::must_factor(m, vt::split_config(1, 8));
        ASSERT_EQ(one.n, plain.n);
        EXPECT_EQ(one.order, plain.order);
        EXPECT_EQ(one.col_starts, plain.col_starts);
        EXPECT_EQ(one.rows, plain.rows);
        ASSERT_EQ(one.coefficients.size(), plain.coefficients.size());
        for (size_t i = 0; i < plain.coefficients.size(); ++i) {
            EXPECT_NEAR(one.coefficients[i], plain.coefficients[i], 1e-9) << i;
        }
        for (size_t s = 0; s < plain.inv_diag.size(); ++s) {
            EXPECT_NEAR(one.inv_diag[s], plain.inv_diag[s], 1e-9 * std::abs(plain.inv_diag[s])) << s;
        }
    }
}

// Four copies of a quarter of each weight: the first step sees exactly plain mode's star.
TEST(ModeRelations, SplitOfFourStartsExactlyLikePlainMode) {
    for (const Csr& m :
         {vt::grid2d(9, 11, 41), vt::sddm(vt::random_graph(120, 6.0, 42), 43), vt::random_tree(50, 44)}) {
        const CoreFactor plain = vt::must_factor(m, vt::plain_config(1));
        const CoreFactor four = vt::must_factor(m, vt::split_config(4, 1));
        ASSERT_GE(plain.n_steps(), 1u);
        EXPECT_EQ(four.order[0], plain.order[0]);
        EXPECT_EQ(four.col_starts[1], plain.col_starts[1]);
        for (uint32_t t = 0; t < plain.col_starts[1]; ++t) {
            EXPECT_EQ(four.rows[t], plain.rows[t]);
            EXPECT_EQ(std::bit_cast<uint64_t>(four.coefficients[t]), std::bit_cast<uint64_t>(plain.coefficients[t]));
        }
        EXPECT_EQ(std::bit_cast<uint64_t>(four.inv_diag[0]), std::bit_cast<uint64_t>(plain.inv_diag[0]));
    }
}

TEST(PushStep, InversePivotRule) {
    struct PivotCase {
        double p;
        double inv;
    };
    const std::vector<PivotCase> cases{{2.0, 0.5},
                                       {-4.0, -0.25},
                                       {1e-14, 0.0},
                                       {-1e-14, 0.0},
                                       {2e-14, 5e13},
                                       {std::nextafter(1e-14, 1.0), 1.0 / std::nextafter(1e-14, 1.0)},
                                       {0.0, 0.0},
                                       {-0.0, 0.0},
                                       {kNaN, 0.0},
                                       {std::numeric_limits<double>::infinity(), 0.0}};
    CoreFactor f = CoreFactor::with_capacity(cases.size(), 0);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(vorlane::inverse_pivot(cases[i].p, vorlane::kPivotThreshold), cases[i].inv) << "p = " << cases[i].p;
        f.push_step(static_cast<uint32_t>(i), cases[i].p, vorlane::kPivotThreshold, {}, {});
        EXPECT_EQ(f.inv_diag.back(), cases[i].inv) << "p = " << cases[i].p;
        EXPECT_FALSE(std::isnan(f.inv_diag.back()));
    }
    EXPECT_EQ(f.col_starts, std::vector<uint32_t>(cases.size() + 1, 0));
}

TEST(PushStep, ColumnsAppendAndOffsetsAdvance) {
    CoreFactor f = CoreFactor::with_capacity(4, 6);
    EXPECT_EQ(f.col_starts, (std::vector<uint32_t>{0}));
    EXPECT_TRUE(f.order.empty());
    EXPECT_GE(f.order.capacity(), 4u);
    EXPECT_GE(f.rows.capacity(), 6u);
    const std::vector<uint32_t> r1{7, 8, 9};
    const std::vector<double> c1{0.5, 0.25, 1.0};
    f.push_step(3, 2.0, vorlane::kPivotThreshold, r1, c1);
    f.push_step(4, 1.0, vorlane::kPivotThreshold, {}, {});  // an isolated step leaves the offset where it was
    const std::vector<uint32_t> r2{5, 6};
    const std::vector<double> c2{0.25, 1.0};
    f.push_step(1, 4.0, vorlane::kPivotThreshold, r2, c2);
    EXPECT_EQ(f.order, (std::vector<uint32_t>{3, 4, 1}));
    EXPECT_EQ(f.col_starts, (std::vector<uint32_t>{0, 3, 3, 5}));
    EXPECT_EQ(f.rows, (std::vector<uint32_t>{7, 8, 9, 5, 6}));
    EXPECT_EQ(f.coefficients, (std::vector<double>{0.5, 0.25, 1.0, 0.25, 1.0}));
    EXPECT_EQ(f.inv_diag, (std::vector<double>{0.5, 1.0, 0.25}));
    EXPECT_EQ(f.n_steps(), 3u);
}

}  // namespace
