// Clique-tree elimination of one star: the factor column against the closed forms, the shape
// and expected weight of the random fill, the degenerate split star, and fill insertion.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <map>
#include <vector>

#include "helpers.hpp"
#include "elimination/clique_tree.hpp"

namespace {

using vorlane::CliqueSampler;
using vorlane::EliminationColumn;
using vorlane::FillEdge;
using vorlane::StarEntry;

std::array<uint64_t, 4> state(const CliqueSampler& s) { return {s.s0, s.s1, s.s2, s.s3}; }

CliqueSampler advanced(CliqueSampler s, uint64_t outputs) {
    for (uint64_t i = 0; i < outputs; ++i) s.next64();
    return s;
}

::testing::AssertionResult close(double got, double want, double rel = 1e-12) {
    if (std::abs(got - want) <= rel * std::abs(want)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " vs " << want << " (rel " << std::abs(got - want) / std::abs(want)
                                         << ")";
}

// A star sorted lightest first with distinct neighbour labels.
std::vector<StarEntry> random_star(vt::Rng& rng, size_t len, double lo = 1e-3, double hi = 10.0) {
    std::vector<double> w(len);
    for (double& x : w) x = rng.uniform(lo, hi);
    std::sort(w.begin(), w.end());
    std::vector<uint32_t> labels(len);
    for (size_t i = 0; i < len; ++i) labels[i] = static_cast<uint32_t>(7 * i + 3);
    rng.shuffle(labels);
    std::vector<StarEntry> star(len);
    for (size_t i = 0; i < len; ++i) star[i] = {labels[i], w[i]};
    return star;
}

struct PairCase {
    double a;
    double b;
};

void PrintTo(const PairCase& c, std::ostream* os) { *os << "(" << c.a << ", " << c.b << ")"; }

class TwoNeighbourStar : public ::testing::TestWithParam<PairCase> {};

TEST_P(TwoNeighbourStar, ClosedFormInBothModes) {
    const auto [a, b] = GetParam();
    const std::vector<StarEntry> star{{4, a}, {9, b}};
    const std::vector<uint32_t> ones{1, 1};
    const double fill_weight = a * b / (a + b);
    for (bool split : {false, true}) {
        CliqueSampler s = vorlane::seed_sampler(5);
        const CliqueSampler before = s;
        EliminationColumn col;
        if (split) {
            vorlane::eliminate_split_star(star, ones, s, col, 123.0);
        } else {
            vorlane::eliminate_star(star, s, col, 123.0);
        }
        EXPECT_EQ(col.rows, (std::vector<uint32_t>{4, 9}));
        ASSERT_EQ(col.coefficients.size(), 2u);
        EXPECT_TRUE(close(col.coefficients[0], a / (a + b)));
        EXPECT_EQ(col.coefficients[1], 1.0);
        EXPECT_TRUE(close(col.diagonal, b * b / (a + b)));
        if (fill_weight > 1e-14 * 1.001) {
            ASSERT_EQ(col.fill.size(), 1u) << "split " << split;
            EXPECT_EQ(col.fill[0].source, 4u);
            EXPECT_EQ(col.fill[0].target, 9u);
            EXPECT_TRUE(close(col.fill[0].weight, fill_weight));
            EXPECT_EQ(state(s), state(advanced(before, 1)));
        } else {
            EXPECT_TRUE(col.fill.empty()) << "split " << split;
            EXPECT_EQ(state(s), state(before)) << "a negligible fill weight draws nothing";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Weights, TwoNeighbourStar,
                         ::testing::Values(PairCase{1, 1}, PairCase{0.5, 2}, PairCase{1e-3, 1e3}, PairCase{3, 3e10},
                                           PairCase{1e-15, 1}, PairCase{2e-14, 1e6}));

TEST(CliqueTree, SingleNeighbourTakesTheDriversDegree) {
    const std::vector<StarEntry> star{{6, 2.5}};
    for (bool split : {false, true}) {
        CliqueSampler s = vorlane::seed_sampler(1);
        const CliqueSampler before = s;
        EliminationColumn col{{1, 2}, {0.5, 0.5}, {{1, 2, 3.0}}, 9.0};
        if (split) {
            vorlane::eliminate_split_star(star, std::vector<uint32_t>{3}, s, col, 7.25);
        } else {
            vorlane::eliminate_star(star, s, col, 7.25);
        }
        EXPECT_EQ(col.rows, (std::vector<uint32_t>{6}));
        EXPECT_EQ(col.coefficients, (std::vector<double>{1.0}));
        EXPECT_TRUE(col.fill.empty());
        EXPECT_EQ(col.diagonal, 7.25);
        EXPECT_EQ(state(s), state(before));
    }
}

TEST(CliqueTree, EmptySplitStarKeepsOnlyTheDegree) {
    CliqueSampler s = vorlane::seed_sampler(1);
    EliminationColumn col{{1}, {1.0}, {{1, 2, 3.0}}, 9.0};
    vorlane::eliminate_split_star({}, {}, s, col, -4.0);
    EXPECT_TRUE(col.rows.empty());
    EXPECT_TRUE(col.coefficients.empty());
    EXPECT_TRUE(col.fill.empty());
    EXPECT_EQ(col.diagonal, -4.0);
}

TEST(CliqueTree, PlainColumnMatchesClosedFormsAndFillRunsForward) {
    vt::Rng rng(11);
    CliqueSampler s = vorlane::seed_sampler(21);
    EliminationColumn col;
    for (int trial = 0; trial < 400; ++trial) {
        const size_t len = 2 + rng.below(60);
        const auto star = random_star(rng, len);
        const CliqueSampler before = s;
        vorlane::eliminate_star(star, s, col, -1.0);

        std::vector<double> suffix(len + 1, 0.0);
        for (size_t j = len; j-- > 0;) suffix[j] = suffix[j + 1] + star[j].weight;
        const double total = suffix[0];
        std::vector<double> running;
        double acc = 0.0;
        for (const auto& e : star) running.push_back(acc = acc + e.weight);
        EXPECT_EQ(s.prefix, running) << "prefix holds the running sums of the whole star";

        ASSERT_EQ(col.rows.size(), len);
        std::map<uint32_t, size_t> position;
        for (size_t j = 0; j < len; ++j) {
            EXPECT_EQ(col.rows[j], star[j].neighbor);
            position[star[j].neighbor] = j;
        }
        for (size_t j = 0; j + 1 < len; ++j) {
            EXPECT_TRUE(close(col.coefficients[j], star[j].weight / suffix[j], 1e-10))
                << "trial " << trial << " j " << j;
        }
        EXPECT_EQ(col.coefficients.back(), 1.0);
        EXPECT_TRUE(close(col.diagonal, star.back().weight * star.back().weight / total, 1e-10));

        // One draw per neighbour but the last, from earlier to later, in star order.
        EXPECT_EQ(state(s), state(advanced(before, len - 1))) << "trial " << trial;
        EXPECT_LE(col.fill.size(), len - 1);
        size_t last_source = 0;
        for (size_t i = 0; i < col.fill.size(); ++i) {
            const FillEdge& f = col.fill[i];
            const size_t ps = position.at(f.source), pt = position.at(f.target);
            EXPECT_LT(ps, pt);
            if (i > 0) {
                EXPECT_GT(ps, last_source) << "each neighbour draws once, in star order";
            }
            last_source = ps;
            EXPECT_TRUE(close(f.weight, star[ps].weight * suffix[ps + 1] / total, 1e-9));
        }
    }
}

TEST(CliqueTree, SplitColumnEqualsPlainColumnAndDrawsOncePerCopy) {
    vt::Rng rng(12);
    CliqueSampler plain_s = vorlane::seed_sampler(3), split_s = vorlane::seed_sampler(3);
    EliminationColumn plain, split;
    for (int trial = 0; trial < 300; ++trial) {
        const size_t len = 2 + rng.below(40);
        const auto star = random_star(rng, len);
        std::vector<uint32_t> ones(len, 1), mult(len);
        for (auto& m : mult) m = static_cast<uint32_t>(1 + rng.below(4));

        // All multiplicities 1: the same draws as plain mode, weights by the split formula.
        split_s = plain_s;
        vorlane::eliminate_star(star, plain_s, plain, 0.0);
        vorlane::eliminate_split_star(star, ones, split_s, split, 0.0);
        EXPECT_EQ(split.rows, plain.rows);
        EXPECT_TRUE(vt::same_bits(split.coefficients, plain.coefficients));
        EXPECT_EQ(std::bit_cast<uint64_t>(split.diagonal), std::bit_cast<uint64_t>(plain.diagonal));
        ASSERT_EQ(split.fill.size(), plain.fill.size());
        for (size_t i = 0; i < plain.fill.size(); ++i) {
            EXPECT_EQ(split.fill[i].source, plain.fill[i].source);
            EXPECT_EQ(split.fill[i].target, plain.fill[i].target);
            EXPECT_TRUE(close(split.fill[i].weight, plain.fill[i].weight, 1e-9));
        }
        EXPECT_EQ(state(split_s), state(plain_s));

        // Several copies: m_j independent draws for neighbour j, each of weight w_j R_j / (W m_j).
        const CliqueSampler before = split_s;
        vorlane::eliminate_split_star(star, mult, split_s, split, 0.0);
        uint64_t copies = 0;
        for (size_t j = 0; j + 1 < len; ++j) copies += mult[j];
        EXPECT_EQ(state(split_s), state(advanced(before, copies)));
        std::vector<double> suffix(len + 1, 0.0);
        for (size_t j = len; j-- > 0;) suffix[j] = suffix[j + 1] + star[j].weight;
        std::map<uint32_t, size_t> position;
        for (size_t j = 0; j < len; ++j) position[star[j].neighbor] = j;
        std::vector<uint32_t> drawn(len, 0);
        size_t last_source = 0;
        for (const auto& f : split.fill) {
            const size_t ps = position.at(f.source), pt = position.at(f.target);
            EXPECT_LT(ps, pt);
            EXPECT_GE(ps, last_source);
            last_source = ps;
            ++drawn[ps];
            EXPECT_TRUE(close(f.weight, star[ps].weight * suffix[ps + 1] / (suffix[0] * mult[ps]), 1e-9));
        }
        for (size_t j = 0; j < len; ++j) EXPECT_LE(drawn[j], j + 1 < len ? mult[j] : 0u);
    }
}

// Over many eliminations of one star, the fill between neighbours j and k carries on average
// the weight w_j w_k / W of the exact clique.
TEST(CliqueTree, ExpectedFillWeightMatchesTheExactClique) {
    const std::vector<StarEntry> star{{10, 0.5}, {11, 1.0}, {12, 1.5}, {13, 2.0}, {14, 3.0}};
    const std::vector<uint32_t> mult{2, 3, 1, 2, 1};
    const double total = 8.0;
    for (bool split : {false, true}) {
        CliqueSampler s = vorlane::seed_sampler(split ? 77 : 78);
        EliminationColumn col;
        std::map<std::pair<uint32_t, uint32_t>, double> sum;
        const int trials = 20000;
        for (int t = 0; t < trials; ++t) {
            if (split) {
                vorlane::eliminate_split_star(star, mult, s, col, 0.0);
            } else {
                vorlane::eliminate_star(star, s, col, 0.0);
            }
            for (const auto& f : col.fill) sum[{f.source, f.target}] += f.weight;
        }
        for (size_t j = 0; j < star.size(); ++j) {
            for (size_t k = j + 1; k < star.size(); ++k) {
                const double want = star[j].weight * star[k].weight / total;
                const double got = sum[{star[j].neighbor, star[k].neighbor}] / trials;
                EXPECT_NEAR(got, want, 0.05 * want) << (split ? "split " : "plain ") << j << "-" << k;
            }
        }
    }
}

TEST(CliqueTree, DegenerateSplitStarSharesEvenlyAndDrawsNothing) {
    for (const auto& weights : std::vector<std::vector<double>>{{2e-15, 3e-15, 4e-15}, {0.5e-14, 0.5e-14}}) {
        std::vector<StarEntry> star;
        for (size_t i = 0; i < weights.size(); ++i) star.push_back({static_cast<uint32_t>(i + 1), weights[i]});
        const std::vector<uint32_t> mult(weights.size(), 2);
        CliqueSampler s = vorlane::seed_sampler(9);
        s.prefix = {42.0, 43.0};
        const CliqueSampler before = s;
        EliminationColumn col;
        vorlane::eliminate_split_star(star, mult, s, col, 6.5);
        const double share = 1.0 / static_cast<double>(weights.size());
        EXPECT_EQ(col.coefficients, std::vector<double>(weights.size(), share));
        EXPECT_EQ(col.rows.size(), weights.size());
        EXPECT_EQ(col.diagonal, 6.5);
        EXPECT_TRUE(col.fill.empty());
        EXPECT_EQ(state(s), state(before));
        EXPECT_EQ(s.prefix, before.prefix);
    }
}

template <vorlane::Mode M>
void check_fill_insertion() {
    vorlane::Graph<M> g(6);
    g.reset_eliminated();
    g.add_edge(0, 1, 1.0);
    g.add_edge(1, 2, 2.0);
    std::vector<double> wd{1, 3, 2, 0, 0, 0};
    vorlane::DegreeDeltas deltas(6);
    deltas.add(2, -1);
    const std::vector<FillEdge> fill{{1, 3, 0.25}, {3, 2, 0.5}, {1, 3, 0.125}, {4, 4, 1.5}, {2, 1, 4.0}};
    if constexpr (M == vorlane::Mode::Split) {
        vorlane::insert_split_fill(fill, g, wd, deltas);
    } else {
        vorlane::insert_fill(fill, g, wd, deltas);
    }
    // New entries at the ends of both lists, each naming the other's position.
    auto expect_entry = [&](uint32_t a, size_t pos, uint32_t b, size_t mirror, double w) {
        ASSERT_GT(g.adjacency[a].size(), pos);
        const auto& e = g.adjacency[a][pos];
        EXPECT_EQ(e.neighbour, b) << a << "[" << pos << "]";
        EXPECT_EQ(e.mirror, mirror) << a << "[" << pos << "]";
        EXPECT_EQ(e.weight, w) << a << "[" << pos << "]";
        if constexpr (M == vorlane::Mode::Split) {
            EXPECT_EQ(e.multiplicity, 1u);
        }
    };
    ASSERT_EQ(g.adjacency[1].size(), 5u);
    expect_entry(1, 2, 3, 0, 0.25);
    expect_entry(3, 0, 1, 2, 0.25);
    expect_entry(3, 1, 2, 1, 0.5);
    expect_entry(2, 1, 3, 1, 0.5);
    expect_entry(1, 3, 3, 2, 0.125);
    expect_entry(3, 2, 1, 3, 0.125);
    expect_entry(2, 2, 1, 4, 4.0);
    expect_entry(1, 4, 2, 2, 4.0);
    // A self edge only touches the degree and the pending change.
    EXPECT_TRUE(g.adjacency[4].empty());
    EXPECT_EQ(wd, (std::vector<double>{1, 3 + 0.25 + 0.125 + 4.0, 2 + 0.5 + 4.0, 0.25 + 0.5 + 0.125, 3.0, 0}));
    // Vertex 2's change went back to zero at (3, 2), so (2, 1) lists it again.
    EXPECT_EQ(deltas.touched(), (std::vector<uint32_t>{2, 1, 3, 4, 2}));
    EXPECT_EQ(deltas.pending(1), 3);
    EXPECT_EQ(deltas.pending(2), 1);
    EXPECT_EQ(deltas.pending(3), 3);
    EXPECT_EQ(deltas.pending(4), 2);
}

TEST(FillInsertion, PlainEntriesMirrorAndDegreesAndKeysFollow) { check_fill_insertion<vorlane::Mode::Plain>(); }
TEST(FillInsertion, SplitEntriesMirrorAndCarryOneCopy) { check_fill_insertion<vorlane::Mode::Split>(); }

}  // namespace
