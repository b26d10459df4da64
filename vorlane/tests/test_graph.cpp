// Graph construction from CSR (edges, weighted degrees, ground vertex, list order) and the
// edits elimination makes: add_edge, gather, remove_vertex with its mirrored swap-removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <tuple>
#include <vector>

#include "graph.hpp"
#include "helpers.hpp"

namespace {

using vorlane::Graph;
using vorlane::Mode;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Row {
    std::vector<std::pair<uint32_t, double>> entries;
};

// CSR from rows given entry by entry, in stored order.
vt::Csr rows_csr(const std::vector<Row>& rows) {
    vt::Csr m;
    m.n = static_cast<uint32_t>(rows.size());
    for (const auto& r : rows) {
        for (const auto& [j, x] : r.entries) {
            m.col_indices.push_back(j);
            m.values.push_back(x);
        }
        m.row_ptrs.push_back(static_cast<uint32_t>(m.col_indices.size()));
    }
    return m;
}

template <Mode M>
vorlane::BuiltGraph<M> build(const vt::Csr& m) {
    const auto view = vorlane::CsrView::create(m.rp(), m.ci(), m.va(), m.n);
    if (!view) throw std::runtime_error(vorlane::message(view.error()));
    auto built = vorlane::build_graph<M>(view.value());
    if (!built) throw std::runtime_error(vorlane::message(built.error()));
    return std::move(built).value();
}

// (neighbour, weight) of a list, in list order.
template <Mode M>
std::vector<std::pair<uint32_t, double>> list_of(const Graph<M>& g, uint32_t v) {
    std::vector<std::pair<uint32_t, double>> out;
    for (const auto& e : g.adjacency[v]) out.emplace_back(e.neighbour, e.weight);
    return out;
}

template <Mode M>
uint32_t multiplicity(const vorlane::AdjEntry<M>& e) {
    if constexpr (M == Mode::Split) {
        return e.multiplicity;
    } else {
        return 1;
    }
}

// Every entry names a live vertex other than its own, and its mirror names it back.
template <Mode M>
::testing::AssertionResult mirrors_consistent(const Graph<M>& g) {
    for (uint32_t a = 0; a < g.size(); ++a) {
        if (g.is_eliminated(a)) {
            if (!g.adjacency[a].empty()) return ::testing::AssertionFailure() << "eliminated " << a << " keeps entries";
            continue;
        }
        const auto& la = g.adjacency[a];
        for (uint32_t p = 0; p < la.size(); ++p) {
            const auto& e = la[p];
            if (e.neighbour == a) return ::testing::AssertionFailure() << "self entry at " << a;
            if (e.neighbour >= g.size()) return ::testing::AssertionFailure() << "neighbour out of range";
            if (g.is_eliminated(e.neighbour)) {
                return ::testing::AssertionFailure() << a << " names eliminated " << e.neighbour;
            }
            const auto& lb = g.adjacency[e.neighbour];
            if (e.mirror >= lb.size()) return ::testing::AssertionFailure() << "mirror out of range at " << a;
            const auto& twin = lb[e.mirror];
            if (twin.neighbour != a || twin.mirror != p) {
                return ::testing::AssertionFailure() << "entry " << a << "[" << p << "] -> " << e.neighbour << "["
                                                     << e.mirror << "] does not point back";
            }
            if (std::bit_cast<uint64_t>(twin.weight) != std::bit_cast<uint64_t>(e.weight) ||
                multiplicity<M>(twin) != multiplicity<M>(e)) {
                return ::testing::AssertionFailure() << "twins of " << a << "-" << e.neighbour << " differ";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

template <class T>
class GraphModes : public ::testing::Test {};
template <Mode M>
struct ModeTag {
    static constexpr Mode value = M;
};
using BothModes = ::testing::Types<ModeTag<Mode::Plain>, ModeTag<Mode::Split>>;
TYPED_TEST_SUITE(GraphModes, BothModes);

TYPED_TEST(GraphModes, TwoByTwoWithExcessGetsGroundEdge) {
    constexpr Mode M = TypeParam::value;
    const auto b = build<M>(rows_csr({{{{0, 2.0}, {1, -1.0}}}, {{{0, -1.0}, {1, 1.0}}}}));
    EXPECT_EQ(b.n, 3u);
    EXPECT_EQ(b.weighted_degree, (std::vector<double>{2.0, 1.0, 1.0}));
    ASSERT_EQ(b.graph.size(), 3u);
    // Edge (0,1) first, then row 0's ground edge; each names the other's position.
    const auto& l0 = b.graph.adjacency[0];
    ASSERT_EQ(l0.size(), 2u);
    EXPECT_EQ(std::tie(l0[0].neighbour, l0[0].weight, l0[0].mirror), std::make_tuple(1u, 1.0, 0u));
    EXPECT_EQ(std::tie(l0[1].neighbour, l0[1].weight, l0[1].mirror), std::make_tuple(2u, 1.0, 0u));
    ASSERT_EQ(b.graph.adjacency[1].size(), 1u);
    EXPECT_EQ(b.graph.adjacency[1][0].mirror, 0u);
    ASSERT_EQ(b.graph.adjacency[2].size(), 1u);
    EXPECT_EQ(b.graph.adjacency[2][0].neighbour, 0u);
    EXPECT_EQ(b.graph.adjacency[2][0].mirror, 1u);
    for (uint32_t v = 0; v < 3; ++v) {
        EXPECT_FALSE(b.graph.is_eliminated(v));
        for (const auto& e : b.graph.adjacency[v]) EXPECT_EQ(multiplicity<M>(e), 1u);
    }
    EXPECT_TRUE(mirrors_consistent(b.graph));
}

TYPED_TEST(GraphModes, NegativeExcessRowLowersGroundDegreeWithoutEdge) {
    constexpr Mode M = TypeParam::value;
    const auto b = build<M>(rows_csr({{{{0, 1.0}, {1, -2.0}}}, {{{0, -2.0}, {1, 3.0}}}}));
    EXPECT_EQ(b.n, 3u);
    EXPECT_EQ(b.weighted_degree, (std::vector<double>{1.0, 3.0, 0.0}));
    EXPECT_EQ(list_of(b.graph, 0), (std::vector<std::pair<uint32_t, double>>{{1, 2.0}}));
    EXPECT_EQ(list_of(b.graph, 1), (std::vector<std::pair<uint32_t, double>>{{0, 2.0}, {2, 1.0}}));
    EXPECT_EQ(list_of(b.graph, 2), (std::vector<std::pair<uint32_t, double>>{{1, 1.0}}));
    EXPECT_TRUE(mirrors_consistent(b.graph));
}

TYPED_TEST(GraphModes, ParallelEntriesStayParallelAndBothCountInExcess) {
    constexpr Mode M = TypeParam::value;
    // Row 0 stores (0,1) twice; row 1 stores the mirror once with the total.
    const auto b = build<M>(rows_csr({{{{1, -1.0}, {0, 3.0}, {1, -2.0}}}, {{{1, 3.0}, {0, -3.0}}}}));
    EXPECT_EQ(b.n, 2u);
    EXPECT_EQ(list_of(b.graph, 0), (std::vector<std::pair<uint32_t, double>>{{1, 1.0}, {1, 2.0}}));
    EXPECT_EQ(list_of(b.graph, 1), (std::vector<std::pair<uint32_t, double>>{{0, 1.0}, {0, 2.0}}));
    EXPECT_TRUE(mirrors_consistent(b.graph));
}

TYPED_TEST(GraphModes, NonNegativeAndNaNOffDiagonalsAreIgnored) {
    constexpr Mode M = TypeParam::value;
    const auto b = build<M>(rows_csr({
        {{{1, 2.0}, {2, kNaN}, {1, 0.0}, {1, -0.0}, {0, 1.0}}},
        {{{1, 0.0}, {0, 2.0}}},
        {{{2, kNaN}}},
    }));
    // Only row 0 has an excess (1); row 2's NaN excess gives no edge but reaches the ground's degree.
    ASSERT_EQ(b.n, 4u);
    EXPECT_EQ(b.weighted_degree[0], 1.0);
    EXPECT_EQ(b.weighted_degree[1], 0.0);
    EXPECT_TRUE(std::isnan(b.weighted_degree[2]));
    EXPECT_TRUE(std::isnan(b.weighted_degree[3]));
    EXPECT_EQ(list_of(b.graph, 0), (std::vector<std::pair<uint32_t, double>>{{3, 1.0}}));
    EXPECT_TRUE(b.graph.adjacency[1].empty());
    EXPECT_TRUE(b.graph.adjacency[2].empty());
    EXPECT_EQ(list_of(b.graph, 3), (std::vector<std::pair<uint32_t, double>>{{0, 1.0}}));
}

TYPED_TEST(GraphModes, UpperTriangleOnlyIsAnotherMatrix) {
    constexpr Mode M = TypeParam::value;
    // [[2, -1], [., 1]]: row 1 misses the -1, so its excess is 1 and it gets a ground edge.
    const auto b = build<M>(rows_csr({{{{0, 1.0}, {1, -1.0}}}, {{{1, 1.0}}}}));
    ASSERT_EQ(b.n, 3u);
    EXPECT_EQ(list_of(b.graph, 0), (std::vector<std::pair<uint32_t, double>>{{1, 1.0}}));
    EXPECT_EQ(list_of(b.graph, 1), (std::vector<std::pair<uint32_t, double>>{{0, 1.0}, {2, 1.0}}));
    EXPECT_EQ(b.weighted_degree, (std::vector<double>{1.0, 1.0, 1.0}));
    // Lower triangle only: no edge at all, row 1's excess is 0 and row 0's is 1.
    const auto lower = build<M>(rows_csr({{{{0, 1.0}}}, {{{0, -1.0}, {1, 1.0}}}}));
    ASSERT_EQ(lower.n, 3u);
    EXPECT_EQ(list_of(lower.graph, 0), (std::vector<std::pair<uint32_t, double>>{{2, 1.0}}));
    EXPECT_TRUE(lower.graph.adjacency[1].empty());
    EXPECT_EQ(lower.weighted_degree[2], 1.0);
}

TYPED_TEST(GraphModes, EmptyMatrixGivesEmptyGraph) {
    constexpr Mode M = TypeParam::value;
    const auto b = build<M>(vt::Csr{});
    EXPECT_EQ(b.n, 0u);
    EXPECT_EQ(b.graph.size(), 0u);
    EXPECT_TRUE(b.weighted_degree.empty());
}

struct ThresholdCase {
    const char* name;
    std::vector<Row> rows;
    uint64_t internal_n;
};

void PrintTo(const ThresholdCase& c, std::ostream* os) { *os << c.name; }

class AugmentationThreshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(AugmentationThreshold, LargestAbsoluteRowExcessDecides) {
    const auto& c = GetParam();
    const auto m = rows_csr(c.rows);
    EXPECT_EQ(build<Mode::Plain>(m).n, c.internal_n);
    EXPECT_EQ(build<Mode::Split>(m).n, c.internal_n);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AugmentationThreshold,
    ::testing::Values(
        ThresholdCase{"excess_exactly_threshold", {{{{0, 1e-10}}}}, 2},
        // The threshold is 1e-10 times the largest diagonal entry rounded down to a power of two.
        ThresholdCase{"small_units", {{{{0, 0.99e-10}}}}, 2},
        ThresholdCase{"excess_at_scaled_threshold",
                      {{{{0, 0x1p20}, {1, -0x1p20}}}, {{{1, 0x1p20}, {0, -0x1p20}}}, {{{2, 1e-10 * 0x1p20}}}},
                      4},
        ThresholdCase{"excess_below_scaled_threshold",
                      {{{{0, 0x1p20}, {1, -0x1p20}}},
                       {{{1, 0x1p20}, {0, -0x1p20}}},
                       {{{2, std::nextafter(1e-10 * 0x1p20, 0.0)}}}},
                      3},
        ThresholdCase{"negative_excess_at_threshold", {{{{0, -1e-10}}}}, 2},
        ThresholdCase{"zero_rows", {{{{0, 1.0}, {1, -1.0}}}, {{{1, 1.0}, {0, -1.0}}}}, 2},
        ThresholdCase{"residues_below_threshold", {{{{0, 1.0 + 5e-11}, {1, -1.0}}}, {{{1, 1.0 - 5e-11}, {0, -1.0}}}},
                      2},
        ThresholdCase{"nan_excess_never_augments", {{{{0, kNaN}}}, {{{1, 0.0}}}}, 2},
        ThresholdCase{"diagonal_only", {{{{0, 2.0}}}, {{{1, 0.5}}}}, 3},
        ThresholdCase{"empty_rows", {{}, {}}, 2}),
    [](const auto& tp) { return std::string(tp.param.name); });

// The expected lists, written from the order rule: for vertex j, first the edges from rows
// i < j in ascending i (each row in stored order), then its own row's edges to larger
// columns in stored order, then its ground edge.
struct ModelGraph {
    uint64_t n = 0;
    std::vector<double> weighted_degree;
    std::vector<std::vector<std::pair<uint32_t, double>>> lists;
};

ModelGraph model_build(const vt::Csr& m) {
    const uint32_t n = m.n;
    ModelGraph g;
    g.weighted_degree.assign(n, 0.0);
    std::vector<double> excess(n, 0.0);
    std::vector<std::vector<std::pair<uint32_t, double>>> from_earlier(n), own(n);
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t k = m.row_ptrs[i]; k < m.row_ptrs[i + 1]; ++k) {
            const uint32_t j = m.col_indices[k];
            const double x = m.values[k];
            if (j == i) {
                g.weighted_degree[i] += x;
                excess[i] += x;
            } else if (x < 0) {
                excess[i] += x;
                if (i < j) {
                    own[i].emplace_back(j, -x);
                    from_earlier[j].emplace_back(i, -x);
                }
            }
        }
    }
    double largest = 0.0, total = 0.0;
    for (double e : excess) {
        if (std::abs(e) > largest) largest = std::abs(e);
        total += e;
    }
    const bool ground = largest >= 1e-10 * vt::threshold_scale(m);
    g.n = n + (ground ? 1 : 0);
    g.lists.resize(g.n);
    for (uint32_t j = 0; j < n; ++j) {
        g.lists[j] = from_earlier[j];
        g.lists[j].insert(g.lists[j].end(), own[j].begin(), own[j].end());
        if (ground && excess[j] > 0) {
            g.lists[j].emplace_back(n, excess[j]);
            g.lists[n].emplace_back(j, excess[j]);
        }
    }
    if (ground) g.weighted_degree.push_back(total);
    return g;
}

// Random matrices with unsorted rows, duplicates, both signs and missing mirrors.
vt::Csr messy_matrix(uint32_t n, uint64_t seed) {
    vt::Rng rng(seed);
    std::vector<Row> rows(n);
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t len = rng.below(7);
        for (uint64_t t = 0; t < len; ++t) {
            const auto j = static_cast<uint32_t>(rng.below(n));
            double x = rng.uniform(-2.0, 1.0);
            if (rng.chance(0.05)) x = 0.0;
            rows[i].entries.emplace_back(j, x);
        }
        if (rng.chance(0.5)) rows[i].entries.emplace_back(i, rng.uniform(0.0, 6.0));
    }
    return rows_csr(rows);
}

TYPED_TEST(GraphModes, ListOrderAndDegreesMatchTheOrderRule) {
    constexpr Mode M = TypeParam::value;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        const auto m = messy_matrix(static_cast<uint32_t>(5 + seed % 17), seed);
        const ModelGraph want = model_build(m);
        const auto got = build<M>(m);
        ASSERT_EQ(got.n, want.n) << "seed " << seed;
        ASSERT_EQ(got.graph.size(), want.n);
        for (uint32_t v = 0; v < want.n; ++v) {
            EXPECT_EQ(list_of(got.graph, v), want.lists[v]) << "seed " << seed << " vertex " << v;
        }
        ASSERT_EQ(got.weighted_degree.size(), want.weighted_degree.size());
        for (size_t v = 0; v < want.weighted_degree.size(); ++v) {
            // The same sums in the same order: equal to the last bit.
            EXPECT_EQ(std::bit_cast<uint64_t>(got.weighted_degree[v]),
                      std::bit_cast<uint64_t>(want.weighted_degree[v]))
                << "seed " << seed << " vertex " << v;
        }
        EXPECT_TRUE(mirrors_consistent(got.graph)) << "seed " << seed;
    }
}

TEST(GraphBuild, LaplaciansAreNotAugmented) {
    for (const auto& p : vt::standard_problems()) {
        if (!p.laplacian) continue;
        const vt::Csr m = p.build();
        const auto b = build<Mode::Plain>(m);
        EXPECT_EQ(b.n, m.n) << p.name;
    }
}

// A multiset model of the live edges: per vertex, the (neighbour, weight, multiplicity) triples.
using EdgeKey = std::tuple<uint32_t, uint64_t, uint32_t>;

template <Mode M>
std::multiset<EdgeKey> entries_of(const Graph<M>& g, uint32_t v) {
    std::multiset<EdgeKey> s;
    for (const auto& e : g.adjacency[v]) s.emplace(e.neighbour, std::bit_cast<uint64_t>(e.weight), multiplicity<M>(e));
    return s;
}

TYPED_TEST(GraphModes, LongRandomEditSequencesKeepMirrorsAndMatchModel) {
    constexpr Mode M = TypeParam::value;
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        vt::Rng rng(seed * 7919);
        const uint32_t n = 40;
        Graph<M> g(n);
        g.reset_eliminated();
        std::vector<std::multiset<EdgeKey>> model(n);
        std::vector<uint32_t> live(n);
        std::iota(live.begin(), live.end(), 0u);
        const uint32_t hub = 3;
        int released = 0;
        for (int op = 0; op < 2500 && live.size() > 1; ++op) {
            const double roll = rng.uniform();
            const bool hub_full = !g.is_eliminated(hub) && g.adjacency[hub].size() > 100;
            if (!hub_full && roll < 0.8) {
                uint32_t a = live[rng.below(live.size())];
                uint32_t b = live[rng.below(live.size())];
                if (rng.chance(0.3) && !g.is_eliminated(hub)) a = hub;
                if (a == b) continue;
                const double w = rng.chance(0.1) ? 0.0 : rng.uniform(0.0, 3.0);
                const size_t ia = g.adjacency[a].size(), ib = g.adjacency[b].size();
                g.add_edge(a, b, w);
                // Appended at the very end of both lists, naming each other's positions.
                ASSERT_EQ(g.adjacency[a].size(), ia + 1);
                ASSERT_EQ(g.adjacency[a][ia].mirror, ib);
                ASSERT_EQ(g.adjacency[b][ib].mirror, ia);
                uint32_t mult = 1;
                if constexpr (M == Mode::Split) {
                    EXPECT_EQ(g.adjacency[a][ia].multiplicity, 1u);
                    // Rewrite the copy count of both twins, as the driver's split does.
                    if (rng.chance(0.5)) {
                        mult = static_cast<uint32_t>(1 + rng.below(5));
                        g.adjacency[a][ia].multiplicity = mult;
                        g.adjacency[b][ib].multiplicity = mult;
                    }
                }
                model[a].emplace(b, std::bit_cast<uint64_t>(w), mult);
                model[b].emplace(a, std::bit_cast<uint64_t>(w), mult);
            } else if (hub_full || roll < 0.83) {
                const size_t pick = hub_full
                                        ? static_cast<size_t>(std::find(live.begin(), live.end(), hub) - live.begin())
                                        : rng.below(live.size());
                const uint32_t v = live[pick];
                // The hub stays until its list is long enough for its storage to be released.
                if (v == hub && !hub_full) continue;
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(pick));
                const size_t capacity = g.adjacency[v].capacity();
                g.remove_vertex(v);
                EXPECT_TRUE(g.is_eliminated(v));
                EXPECT_TRUE(g.adjacency[v].empty());
                if (capacity > 64) {
                    ++released;
                    EXPECT_EQ(g.adjacency[v].capacity(), 0u) << "storage of a long list is released";
                } else {
                    EXPECT_EQ(g.adjacency[v].capacity(), capacity) << "a short list keeps its storage";
                }
                for (const auto& [u, w, mult] : model[v]) {
                    auto& mu = model[u];
                    mu.erase(mu.find(EdgeKey{v, w, mult}));
                }
                model[v].clear();
            }
            if (op % 10 == 0) {
                ASSERT_TRUE(mirrors_consistent(g)) << "seed " << seed << " op " << op;
                for (uint32_t v = 0; v < n; ++v) ASSERT_EQ(entries_of(g, v), model[v]) << "vertex " << v;
            }
        }
        ASSERT_TRUE(mirrors_consistent(g));
        for (uint32_t v = 0; v < n; ++v) ASSERT_EQ(entries_of(g, v), model[v]) << "vertex " << v;
        EXPECT_GT(released, 0) << "seed " << seed << " never removed a long list";
    }
}

TYPED_TEST(GraphModes, RemovingEveryVertexOfBuiltGraphsKeepsMirrors) {
    constexpr Mode M = TypeParam::value;
    for (const auto& p : vt::standard_problems()) {
        const vt::Csr m = p.build();
        auto b = build<M>(m);
        vt::Rng rng(m.n + 17);
        std::vector<uint32_t> order(b.graph.size());
        std::iota(order.begin(), order.end(), 0u);
        rng.shuffle(order);
        for (size_t i = 0; i < order.size(); ++i) {
            const uint32_t v = order[i];
            std::vector<std::multiset<EdgeKey>> before;
            for (uint32_t u = 0; u < b.graph.size(); ++u) before.push_back(entries_of(b.graph, u));
            b.graph.remove_vertex(v);
            for (uint32_t u = 0; u < b.graph.size(); ++u) {
                if (u == v || b.graph.is_eliminated(u)) continue;
                // u lost exactly its entries naming v.
                auto want = before[u];
                for (auto it = want.begin(); it != want.end();) it = std::get<0>(*it) == v ? want.erase(it) : ++it;
                ASSERT_EQ(entries_of(b.graph, u), want) << p.name << " removing " << v;
            }
            ASSERT_TRUE(mirrors_consistent(b.graph)) << p.name << " after removing " << v;
        }
    }
}

TYPED_TEST(GraphModes, ListStorageIsReleasedOnlyAboveSixtyFourEntries) {
    constexpr Mode M = TypeParam::value;
    for (size_t reserve : {1u, 10u, 64u, 65u, 200u}) {
        Graph<M> g(3);
        g.reset_eliminated();
        g.adjacency[0].reserve(reserve);
        for (uint32_t i = 0; i < 5; ++i) g.add_edge(0, 1 + i % 2, 1.0);
        const size_t capacity = g.adjacency[0].capacity();
        ASSERT_GE(capacity, reserve);
        g.remove_vertex(0);
        if (capacity > 64) {
            EXPECT_EQ(g.adjacency[0].capacity(), 0u) << "reserved " << capacity;
        } else {
            EXPECT_EQ(g.adjacency[0].capacity(), capacity) << "reserved " << capacity;
        }
        EXPECT_TRUE(g.adjacency[1].empty());
        EXPECT_TRUE(g.adjacency[2].empty());
    }
}

TYPED_TEST(GraphModes, GatherKeepsPositiveLiveEntriesInListOrder) {
    constexpr Mode M = TypeParam::value;
    Graph<M> g(6);
    g.reset_eliminated();
    g.add_edge(0, 1, 1.5);
    g.add_edge(0, 2, 0.0);
    g.add_edge(0, 3, -1.0);
    g.add_edge(0, 4, kNaN);
    g.add_edge(0, 5, 3.0);
    g.add_edge(0, 1, 0.1);
    g.add_edge(0, 2, 1e-300);
    g.add_edge(0, 3, kInf);
    // Vertex 5 counts as eliminated for gather even though its twin entries are still there.
    g.eliminated[0] |= uint64_t{1} << 5;
    if constexpr (M == Mode::Split) g.adjacency[0][5].multiplicity = 3;

    std::vector<vorlane::IncidentEdge> out{{9.0, 9, 9}, {8.0, 8, 8}};
    g.gather(0, out);
    ASSERT_EQ(out.size(), 4u);
    const double second = M == Mode::Split ? 0.1 * 3.0 : 0.1;
    const std::vector<std::tuple<double, uint32_t, uint32_t>> want{
        {1.5, 1, 1}, {second, 1, M == Mode::Split ? 3u : 1u}, {1e-300, 2, 1}, {kInf, 3, 1}};
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(std::bit_cast<uint64_t>(out[i].weight), std::bit_cast<uint64_t>(std::get<0>(want[i]))) << i;
        EXPECT_EQ(out[i].neighbor, std::get<1>(want[i])) << i;
        EXPECT_EQ(out[i].multiplicity, std::get<2>(want[i])) << i;
    }

    // A vertex whose entries all weigh 0 gathers nothing, and the output is emptied first.
    Graph<M> zero(3);
    zero.reset_eliminated();
    zero.add_edge(0, 1, 0.0);
    zero.add_edge(0, 2, -0.0);
    zero.gather(0, out);
    EXPECT_TRUE(out.empty());
}

TEST(GraphBuild, SplitLayoutStartsWithOneCopyPerEntry) {
    const auto b = build<Mode::Split>(vt::sddm(vt::grid2d(4, 5, 3), 4));
    for (uint32_t v = 0; v < b.graph.size(); ++v) {
        for (const auto& e : b.graph.adjacency[v]) EXPECT_EQ(e.multiplicity, 1u);
    }
    EXPECT_TRUE(mirrors_consistent(b.graph));
}

}  // namespace
