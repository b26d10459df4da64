// Star construction: merging gathered edges per neighbour on the sort path (up to 32 edges)
// and the dense path (more), surplus counts, split-mode capping, and the star order.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "helpers.hpp"
#include "elimination/star.hpp"

namespace {

using vorlane::IncidentEdge;
using vorlane::StarEntry;
using Surplus = std::vector<std::pair<uint32_t, uint32_t>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr uint32_t kU32Max = 0xFFFFFFFFu;

bool lighter(double wa, uint32_t na, double wb, uint32_t nb) {
    if (std::isnan(wa) || std::isnan(wb)) {
        if (std::isnan(wa) && std::isnan(wb)) return na < nb;
        return std::isnan(wb);
    }
    if (wa < wb) return true;
    if (wb < wa) return false;
    return na < nb;
}

struct ModelStar {
    std::vector<StarEntry> star;
    std::vector<uint32_t> multiplicities;  // split mode only
    Surplus surplus;
};

struct Merged {
    uint32_t neighbor;
    double weight;
    uint64_t copies;  // plain: entries; split: summed multiplicity
};

// Merges per neighbour in gathered order (the order entries to one neighbour are summed in).
std::vector<Merged> merge(const std::vector<IncidentEdge>& edges, bool split) {
    std::vector<Merged> merged;
    std::map<uint32_t, size_t> at;
    for (const auto& e : edges) {
        const auto it = at.find(e.neighbor);
        if (it == at.end()) {
            at.emplace(e.neighbor, merged.size());
            merged.push_back({e.neighbor, e.weight, split ? e.multiplicity : 1u});
        } else {
            Merged& m = merged[it->second];
            m.weight = m.weight + e.weight;
            m.copies += split ? e.multiplicity : 1u;
        }
    }
    // Up to 32 edges the surplus comes out by ascending neighbour, beyond by first occurrence.
    if (edges.size() <= 32) {
        std::sort(merged.begin(), merged.end(),
                  [](const Merged& a, const Merged& b) { return a.neighbor < b.neighbor; });
    }
    return merged;
}

ModelStar model_plain(const std::vector<IncidentEdge>& edges) {
    ModelStar out;
    for (const auto& m : merge(edges, false)) {
        out.star.push_back({m.neighbor, m.weight});
        if (m.copies > 1) {
            out.surplus.emplace_back(m.neighbor, static_cast<uint32_t>(std::min<uint64_t>(m.copies - 1, kU32Max)));
        }
    }
    std::sort(out.star.begin(), out.star.end(),
              [](const StarEntry& a, const StarEntry& b) {
                  return lighter(a.weight, a.neighbor, b.weight, b.neighbor);
              });
    return out;
}

ModelStar model_split(const std::vector<IncidentEdge>& edges, uint32_t k) {
    ModelStar out;
    std::vector<std::pair<StarEntry, uint32_t>> entries;
    for (const auto& m : merge(edges, true)) {
        uint32_t copies = static_cast<uint32_t>(std::min<uint64_t>(m.copies, kU32Max));
        if (copies > k) {
            out.surplus.emplace_back(m.neighbor, copies - k);
            copies = k;
        }
        entries.push_back({{m.neighbor, m.weight}, copies});
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return lighter(a.first.weight / a.second, a.first.neighbor, b.first.weight / b.second, b.first.neighbor);
    });
    for (const auto& [e, c] : entries) {
        out.star.push_back(e);
        out.multiplicities.push_back(c);
    }
    return out;
}

::testing::AssertionResult same_star(const std::vector<StarEntry>& got, const std::vector<StarEntry>& want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << "star has " << got.size() << " entries, want " << want.size();
    }
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].neighbor != want[i].neighbor ||
            std::bit_cast<uint64_t>(got[i].weight) != std::bit_cast<uint64_t>(want[i].weight)) {
            return ::testing::AssertionFailure() << "entry " << i << ": (" << got[i].neighbor << ", " << got[i].weight
                                                 << ") want (" << want[i].neighbor << ", " << want[i].weight << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// Random gathered lists: few distinct neighbours among many vertices, so that repeats abound.
std::vector<IncidentEdge> random_edges(vt::Rng& rng, size_t m, uint32_t n, bool dyadic) {
    std::vector<uint32_t> pool(1 + rng.below(std::min<uint64_t>(m + 1, 40)));
    for (auto& u : pool) u = static_cast<uint32_t>(rng.below(n));
    std::vector<IncidentEdge> edges(m);
    for (auto& e : edges) {
        e.neighbor = pool[rng.below(pool.size())];
        e.weight = dyadic ? static_cast<double>(1 + rng.below(16)) / 8.0 : rng.uniform(1e-3, 5.0);
        e.multiplicity = static_cast<uint32_t>(1 + rng.below(5));
    }
    return edges;
}

TEST(PlainStar, MatchesModelOnBothPathsWithOneReusedWorkspace) {
    const uint32_t n = 500;
    vorlane::StarWorkspace ws(n);
    std::vector<StarEntry> star;
    vt::Rng rng(1);
    int dense = 0, sorted = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const size_t m = rng.below(90);
        auto edges = random_edges(rng, m, n, rng.chance(0.3));
        for (auto& e : edges) e.multiplicity = 1;
        const ModelStar want = model_plain(edges);
        vorlane::build_star(ws, edges, star);
        ASSERT_TRUE(same_star(star, want.star)) << "trial " << trial << " m " << m;
        ASSERT_EQ(ws.surplus(), want.surplus) << "trial " << trial << " m " << m;
        (m > 32 ? dense : sorted) += 1;
    }
    EXPECT_GT(dense, 100);
    EXPECT_GT(sorted, 100);
}

TEST(SplitStar, MatchesModelOnBothPathsWithOneReusedWorkspace) {
    const uint32_t n = 500;
    vorlane::StarWorkspace ws(n);
    std::vector<StarEntry> star;
    std::vector<uint32_t> mult;
    vt::Rng rng(2);
    for (int trial = 0; trial < 1500; ++trial) {
        const size_t m = rng.below(90);
        const auto k = static_cast<uint32_t>(1 + rng.below(4));
        auto edges = random_edges(rng, m, n, rng.chance(0.3));
        const ModelStar want = model_split(edges, k);
        vorlane::build_split_star(ws, edges, star, mult, k);
        ASSERT_TRUE(same_star(star, want.star)) << "trial " << trial << " m " << m << " k " << k;
        ASSERT_EQ(mult, want.multiplicities) << "trial " << trial;
        ASSERT_EQ(ws.surplus(), want.surplus) << "trial " << trial;
    }
}

// The star does not depend on the order edges were gathered in; with dyadic weights every
// merged sum is exact, so the stars agree entry for entry whichever path builds them.
TEST(PlainStar, GatheredOrderDoesNotMatter) {
    vorlane::StarWorkspace ws(300);
    vt::Rng rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        const size_t m = 2 + rng.below(70);
        auto edges = random_edges(rng, m, 300, trial % 2 == 0);
        for (auto& e : edges) e.multiplicity = 1;
        auto shuffled = edges;
        rng.shuffle(shuffled);
        std::vector<StarEntry> a, b;
        vorlane::build_star(ws, edges, a);
        const Surplus sa = ws.surplus();
        vorlane::build_star(ws, shuffled, b);
        std::map<uint32_t, uint32_t> ca(sa.begin(), sa.end()), cb(ws.surplus().begin(), ws.surplus().end());
        EXPECT_EQ(ca, cb) << "trial " << trial;
        ASSERT_EQ(a.size(), b.size());
        if (trial % 2 == 0) {
            EXPECT_TRUE(same_star(a, b)) << "trial " << trial;
        } else {
            std::map<uint32_t, double> wa, wb;
            for (const auto& e : a) wa[e.neighbor] = e.weight;
            for (const auto& e : b) wb[e.neighbor] = e.weight;
            for (const auto& [u, w] : wa) EXPECT_NEAR(wb.at(u), w, 1e-12 * w) << "trial " << trial;
        }
    }
}

// The same 32- and 33-edge lists to three neighbours whose first occurrences descend.
TEST(PlainStar, SurplusOrderSwitchesBetweenThirtyTwoAndThirtyThreeEdges) {
    vorlane::StarWorkspace ws(40);
    std::vector<StarEntry> star;
    const uint32_t cycle[3] = {30, 20, 10};
    for (size_t m : {32u, 33u}) {
        std::vector<IncidentEdge> edges;
        for (size_t i = 0; i < m; ++i) edges.push_back({1.0, cycle[i % 3], 1});
        vorlane::build_star(ws, edges, star);
        ASSERT_EQ(star.size(), 3u);
        const uint32_t c30 = static_cast<uint32_t>((m + 2) / 3) - 1;
        const uint32_t c20 = static_cast<uint32_t>((m + 1) / 3) - 1;
        const uint32_t c10 = static_cast<uint32_t>(m / 3) - 1;
        if (m == 32) {
            EXPECT_EQ(ws.surplus(), (Surplus{{10, c10}, {20, c20}, {30, c30}}));
        } else {
            EXPECT_EQ(ws.surplus(), (Surplus{{30, c30}, {20, c20}, {10, c10}}));
        }
    }
}

TEST(PlainStar, ExamplesFromTheRules) {
    vorlane::StarWorkspace ws(20);
    std::vector<StarEntry> star{{99, 9.0}};
    // Three entries to one neighbour merge into one of weight 7 with two surplus copies.
    std::vector<IncidentEdge> triple{{1.0, 4, 1}, {2.0, 4, 1}, {4.0, 4, 1}};
    vorlane::build_star(ws, triple, star);
    EXPECT_TRUE(same_star(star, {{4, 7.0}}));
    EXPECT_EQ(ws.surplus(), (Surplus{{4, 2}}));

    // Equal weights: the smaller index first.
    std::vector<IncidentEdge> tie{{2.0, 9, 1}, {2.0, 4, 1}, {1.0, 12, 1}};
    vorlane::build_star(ws, tie, star);
    EXPECT_TRUE(same_star(star, {{12, 1.0}, {4, 2.0}, {9, 2.0}}));
    EXPECT_TRUE(ws.surplus().empty());

    // NaN after every number; -0.0 and +0.0 compare equal and fall back to the index.
    std::vector<IncidentEdge> odd{{kNaN, 1, 1}, {1.0, 5, 1}, {-0.0, 8, 1}, {0.0, 3, 1}, {kNaN, 0, 1}};
    vorlane::build_star(ws, odd, star);
    ASSERT_EQ(star.size(), 5u);
    EXPECT_EQ(star[0].neighbor, 3u);
    EXPECT_EQ(star[1].neighbor, 8u);
    EXPECT_EQ(star[2].neighbor, 5u);
    EXPECT_EQ(star[3].neighbor, 0u);
    EXPECT_EQ(star[4].neighbor, 1u);

    // One edge: one entry. No edge: empty star and empty surplus.
    std::vector<IncidentEdge> one{{3.5, 7, 1}};
    vorlane::build_star(ws, one, star);
    EXPECT_TRUE(same_star(star, {{7, 3.5}}));
    vorlane::build_star(ws, triple, star);
    std::vector<IncidentEdge> none;
    vorlane::build_star(ws, none, star);
    EXPECT_TRUE(star.empty());
    EXPECT_TRUE(ws.surplus().empty());
}

TEST(SplitStar, ExamplesFromTheRules) {
    vorlane::StarWorkspace ws(20);
    std::vector<StarEntry> star{{99, 9.0}};
    std::vector<uint32_t> mult{77, 78};

    // k = 2: multiplicities 2, 2, 1 merge into 5, capped to 2 with 3 surplus copies.
    std::vector<IncidentEdge> merged{{1.0, 6, 2}, {1.5, 6, 2}, {0.25, 6, 1}};
    vorlane::build_split_star(ws, merged, star, mult, 2);
    EXPECT_TRUE(same_star(star, {{6, 2.75}}));
    EXPECT_EQ(mult, (std::vector<uint32_t>{2}));
    EXPECT_EQ(ws.surplus(), (Surplus{{6, 3}}));

    // Ordered by weight per copy: 6 over 3 copies (2 each) before 3 over 1 copy.
    std::vector<IncidentEdge> per_copy{{3.0, 1, 1}, {6.0, 2, 3}};
    vorlane::build_split_star(ws, per_copy, star, mult, 3);
    EXPECT_TRUE(same_star(star, {{2, 6.0}, {1, 3.0}}));
    EXPECT_EQ(mult, (std::vector<uint32_t>{3, 1}));
    EXPECT_TRUE(ws.surplus().empty());

    // The cap comes first: 6 over 6 copies capped to 2 is 3 per copy, heavier than 2.5.
    std::vector<IncidentEdge> capped{{2.0, 4, 2}, {2.5, 9, 1}, {2.0, 4, 2}, {2.0, 4, 2}};
    vorlane::build_split_star(ws, capped, star, mult, 2);
    EXPECT_TRUE(same_star(star, {{9, 2.5}, {4, 6.0}}));
    EXPECT_EQ(mult, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(ws.surplus(), (Surplus{{4, 4}}));

    // A single edge is still capped.
    std::vector<IncidentEdge> single{{5.0, 11, 7}};
    vorlane::build_split_star(ws, single, star, mult, 3);
    EXPECT_TRUE(same_star(star, {{11, 5.0}}));
    EXPECT_EQ(mult, (std::vector<uint32_t>{3}));
    EXPECT_EQ(ws.surplus(), (Surplus{{11, 4}}));

    std::vector<IncidentEdge> none;
    vorlane::build_split_star(ws, none, star, mult, 3);
    EXPECT_TRUE(star.empty());
    EXPECT_TRUE(mult.empty());
    EXPECT_TRUE(ws.surplus().empty());
}

TEST(SplitStar, MergedMultiplicitySaturatesOnBothPaths) {
    vorlane::StarWorkspace ws(64);
    std::vector<StarEntry> star;
    std::vector<uint32_t> mult;
    for (size_t m : {2u, 33u}) {
        std::vector<IncidentEdge> edges(m, IncidentEdge{1.0, 5, kU32Max});
        edges.push_back({100.0, 6, 1});
        vorlane::build_split_star(ws, edges, star, mult, 3);
        ASSERT_EQ(star.size(), 2u);
        EXPECT_EQ(star[0].neighbor, 5u) << "per copy " << static_cast<double>(m) / 3.0 << " before 100";
        EXPECT_EQ(mult, (std::vector<uint32_t>{3, 1}));
        EXPECT_EQ(ws.surplus(), (Surplus{{5, kU32Max - 3}})) << "m " << m;
        // Nothing of the saturated neighbour is left behind for the next star.
        std::vector<IncidentEdge> again(40, IncidentEdge{1.0, 5, 1});
        vorlane::build_split_star(ws, again, star, mult, 100);
        EXPECT_EQ(mult, (std::vector<uint32_t>{40}));
        EXPECT_TRUE(ws.surplus().empty());
    }
}

}  // namespace
