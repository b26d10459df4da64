// One factor over ranks: each rank's interior through the round loop's parts, the interface
// through its rounds, and the solve's passes split between them.
#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "parallel/rounds.hpp"
#include "vorlane/rank_elimination.hpp"

namespace vorlane {

namespace {

using rounds::Rounds;

// A share: a header, a record per interface vertex, then the entries of their lists and the
// ground's (initial entries still live, then fill).
enum Header : size_t { kFormat, kVertices, kAugmented, kN, kSplit, kScale, kGroundDegree, kGroundInitialKey,
                       kGroundKey, kGroundInitial, kGroundFill, kEntries, kHeaderSize };
enum Record : size_t { kId, kInitialKey, kKey, kDegree, kLength, kRecordSize };
constexpr size_t kEntrySize = 3;  // neighbour, weight of one copy, copies
constexpr double kShareFormat = 1.0;

// Thrown when an adjacency list cannot grow, caught where the error value is made.
struct ListFull {};

double threshold_of(const RankSummary& combined) {
    return threshold_scale(std::span<const double>(&combined.largest_diagonal, 1));
}

}  // namespace

std::optional<CsrError> RankFactor::check(const RankRows& rows) {
    const auto ptrs = rows.row_ptrs;
    if (ptrs.empty()) return csr_error::RowPtrsLength{1, 0};
    if (rows.cols.size() != rows.values.size()) return csr_error::LengthMismatch{rows.cols.size(), rows.values.size()};
    if (ptrs[0] != 0) return csr_error::FirstRowPtr{ptrs[0]};
    if (ptrs.back() != rows.cols.size()) return csr_error::LastRowPtr{ptrs.back(), rows.cols.size()};
    for (size_t i = 0; i + 1 < ptrs.size(); ++i) {
        if (ptrs[i] > ptrs[i + 1]) return csr_error::RowPtrsDecreasing{i, ptrs[i], ptrs[i + 1]};
    }
    if (rows.n > 4294967294u || rows.first + (ptrs.size() - 1) > rows.n) {
        return csr_error::DimensionOverflow{rows.first + ptrs.size() - 1};
    }
    for (size_t t = 0; t < rows.cols.size(); ++t) {
        if (rows.cols[t] >= rows.n) return csr_error::ColumnOutOfBounds{t, rows.cols[t], rows.n};
    }
    return std::nullopt;
}

namespace {

// This rank's graph: its rows and the other ranks' rows they name (ghosts, with no list of
// their own beyond those edges), numbered in the whole matrix's order, then the ground. Edges
// enter the lists in the whole matrix's order, so every owned list is the one the whole
// graph would hold.
template <Mode M>
struct RankGraph {
    BuiltGraph<M> built;
    std::vector<uint32_t> global;  // each vertex's number in the whole matrix
    uint64_t low = 0;              // ghosts before the owned rows
    uint64_t owned = 0;
    std::vector<uint64_t> initial_keys;
    std::vector<bool> grounded;  // owned rows with an edge to the ground
};

template <Mode M>
RankGraph<M> build_rank_graph(const RankRows& rows, double scale, bool augmented, uint32_t k) {
    const uint64_t m = rows.row_ptrs.size() - 1;
    const uint64_t first = rows.first;
    std::vector<uint32_t> ghosts;
    for (const uint32_t c : rows.cols) {
        if (c < first || c >= first + m) ghosts.push_back(c);
    }
    std::sort(ghosts.begin(), ghosts.end());
    ghosts.erase(std::unique(ghosts.begin(), ghosts.end()), ghosts.end());
    const uint64_t low = static_cast<uint64_t>(std::lower_bound(ghosts.begin(), ghosts.end(), first) - ghosts.begin());
    const uint64_t count = ghosts.size() + m;
    RankGraph<M> out{BuiltGraph<M>{Graph<M>(count), {}, count, scale}, {}, low, m, {}, std::vector<bool>(m, false)};
    out.global.resize(count);
    for (uint64_t g = 0; g < low; ++g) out.global[g] = ghosts[g];
    for (uint64_t i = 0; i < m; ++i) out.global[low + i] = static_cast<uint32_t>(first + i);
    for (uint64_t g = low; g < ghosts.size(); ++g) out.global[m + g] = ghosts[g];
    auto local_of = [&](uint32_t c) -> uint32_t {
        if (c >= first && c < first + m) return static_cast<uint32_t>(low + (c - first));
        const auto at = static_cast<uint64_t>(std::lower_bound(ghosts.begin(), ghosts.end(), c) - ghosts.begin());
        return static_cast<uint32_t>(at < low ? at : at + m);
    };

    // A ghost before the owned rows starts its edges to them, in its own row's order.
    std::vector<uint64_t> ghost_starts(low + 1, 0);
    std::vector<uint64_t> capacities(count, 0);
    for (uint64_t i = 0; i < m; ++i) {
        capacities[low + i] = rows.row_ptrs[i + 1] - rows.row_ptrs[i];
        for (uint64_t t = rows.row_ptrs[i]; t < rows.row_ptrs[i + 1]; ++t) {
            const uint32_t c = rows.cols[t];
            if (c >= first && c < first + m) continue;
            const uint32_t g = local_of(c);
            ++capacities[g];
            if (g < low) ++ghost_starts[g + 1];
        }
    }
    for (uint64_t g = 0; g < low; ++g) ghost_starts[g + 1] += ghost_starts[g];
    std::vector<std::pair<uint32_t, double>> early(ghost_starts[low]);  // (owned vertex, weight)
    {
        std::vector<uint64_t> next(ghost_starts.begin(), ghost_starts.end() - 1);
        for (uint64_t i = 0; i < m; ++i) {
            for (uint64_t t = rows.row_ptrs[i]; t < rows.row_ptrs[i + 1]; ++t) {
                const uint32_t c = rows.cols[t];
                if (c < first) early[next[local_of(c)]++] = {static_cast<uint32_t>(low + i), rows.values[t]};
            }
        }
    }
    Graph<M>& graph = out.built.graph;
    graph.adjacency.lay_out(capacities);
    auto add = [&](uint32_t a, uint32_t b, double w) {
        if (!graph.add_edge(a, b, w)) throw ListFull{};
    };
    for (uint64_t g = 0; g < low; ++g) {
        for (uint64_t t = ghost_starts[g]; t < ghost_starts[g + 1]; ++t) {
            if (early[t].second < 0.0) add(static_cast<uint32_t>(g), early[t].first, -early[t].second);
        }
    }
    std::vector<double>& degree = out.built.weighted_degree;
    degree.assign(count, 0.0);
    std::vector<double> excess(m, 0.0);
    for (uint64_t i = 0; i < m; ++i) {
        const uint64_t row = first + i;
        const auto v = static_cast<uint32_t>(low + i);
        for (uint64_t t = rows.row_ptrs[i]; t < rows.row_ptrs[i + 1]; ++t) {
            const uint32_t c = rows.cols[t];
            const double x = rows.values[t];
            if (c == row) {
                degree[v] = degree[v] + x;
                excess[i] = excess[i] + x;
            } else if (x < 0.0) {
                excess[i] = excess[i] + x;
                if (row < c) add(v, local_of(c), -x);
            }
        }
    }
    if (augmented) {
        const auto ground = static_cast<uint32_t>(count);
        uint64_t nonzero = 0;
        double total = 0.0;
        for (uint64_t i = 0; i < m; ++i) {
            if (excess[i] > 0.0 || excess[i] < 0.0) ++nonzero;
            total = total + excess[i];
        }
        graph.adjacency.add_list(nonzero);
        degree.push_back(total);
        out.global.push_back(static_cast<uint32_t>(rows.n));
        for (uint64_t i = 0; i < m; ++i) {
            const double w = excess[i] > 0.0 ? excess[i] : 0.0;
            if (w > 0.0) {
                add(static_cast<uint32_t>(low + i), ground, w);
                out.grounded[i] = true;
            }
        }
        out.built.n = count + 1;
    }
    graph.reset_eliminated();
    if constexpr (M == Mode::Split) {
        if (k >= 2) split_edges(graph, k);
    }
    out.initial_keys.resize(out.built.n);
    for (uint64_t v = 0; v < out.built.n; ++v) out.initial_keys[v] = edge_copies<M>(graph.adjacency[v]);
    return out;
}

// Appends the entries of a list that name live vertices, as (neighbour, weight, copies), and
// returns how many.
template <Mode M>
uint64_t put_live(std::vector<double>& out, const Rounds<M>& rounds, std::span<const AdjEntry<M>> list,
                  std::span<const uint32_t> global) {
    uint64_t live = 0;
    for (const auto& e : list) {
        if (rounds.is_eliminated(e.neighbour)) continue;
        double copies = 1.0;
        if constexpr (M == Mode::Split) copies = static_cast<double>(e.multiplicity);
        out.insert(out.end(), {static_cast<double>(global[e.neighbour]), e.weight, copies});
        ++live;
    }
    return live;
}

uint32_t clamp_key(uint64_t key) { return static_cast<uint32_t>(std::min<uint64_t>(key, kMaxKey)); }

// The owned side: eliminates the interior and writes the share.
template <Mode M>
std::optional<CoreError> eliminate_rank(const RankRows& rows, const RankSummary& combined, const CoreConfig& config,
                                        StopCheck stop, CoreFactor& interior, std::vector<uint32_t>& interface,
                                        std::vector<double>& share, bool augmented, double scale) {
    const uint32_t k = config.split_merge.value_or(1);
    RankGraph<M> rank = build_rank_graph<M>(rows, scale, augmented, k);
    const uint64_t m = rank.owned;
    const uint64_t low = rank.low;
    const uint64_t count = rank.built.n;
    // Parts: the owned rows one part, every ghost a part of its own, so that no ghost is interior.
    std::vector<uint32_t> parts(count - (augmented ? 1 : 0));
    for (uint64_t v = 0; v < parts.size(); ++v) {
        parts[v] = v >= low && v < low + m ? 0 : static_cast<uint32_t>(1 + (v < low ? v : v - m));
    }
    // One vertex is never eliminated: with no ground and no row cut, the whole matrix's last.
    uint32_t waiting = NO_VERTEX;
    if (!augmented && !(combined.cut > 0.0) && m > 0 && rows.first + m == rows.n) {
        waiting = static_cast<uint32_t>(low + m - 1);
    }
    ThreadPool pool(1);
    Rounds<M> rounds(rank.built, k, config.seed, RoundOptions{}, pool, rank.global);
    if (m > 0) {
        if (auto failed = rounds.interiors(parts, waiting, stop, nullptr)) return failed;
    }

    // The interior's steps, numbered by owned row, the ground after them.
    const auto apply_number = [&](uint32_t v) -> uint32_t {
        if (v >= low && v < low + m) return static_cast<uint32_t>(v - low);
        if (augmented && v == count - 1) return static_cast<uint32_t>(m);
        throw InternalFault("an interior column names another rank's vertex");
    };
    CoreFactor& steps = rounds.factor();
    for (uint32_t& v : steps.order) v = apply_number(v);
    for (uint32_t& r : steps.rows) r = apply_number(r);
    steps.n = m + 1;
    steps.original_n = m + 1;
    interior = std::move(steps);

    interface.clear();
    for (uint64_t i = 0; i < m; ++i) {
        if (!rounds.is_eliminated(static_cast<uint32_t>(low + i))) interface.push_back(static_cast<uint32_t>(i));
    }
    share.assign(kHeaderSize, 0.0);
    share[kFormat] = kShareFormat;
    share[kVertices] = static_cast<double>(interface.size());
    share[kAugmented] = augmented ? 1.0 : 0.0;
    share[kN] = static_cast<double>(rows.n);
    share[kSplit] = static_cast<double>(config.split_merge.value_or(0));
    share[kScale] = scale;
    // Records first, then the lists' entries, written in one pass over each list.
    std::vector<double> lists;
    for (const uint32_t i : interface) {
        const auto v = static_cast<uint32_t>(low + i);
        const auto& state = rounds.state(v);
        const uint64_t live = put_live<M>(lists, rounds, state.list(), rank.global);
        share.insert(share.end(), {static_cast<double>(rows.first + i),
                                   static_cast<double>(clamp_key(rank.initial_keys[v])),
                                   static_cast<double>(state.key), state.weighted_degree, static_cast<double>(live)});
    }
    share[kEntries] = static_cast<double>(lists.size() / kEntrySize);
    share.insert(share.end(), lists.begin(), lists.end());
    if (augmented) {
        const auto ground = static_cast<uint32_t>(count - 1);
        const auto& state = rounds.state(ground);
        share[kGroundDegree] = state.weighted_degree;
        share[kGroundInitialKey] = static_cast<double>(clamp_key(rank.initial_keys[ground]));
        share[kGroundKey] = static_cast<double>(state.key);
        // The ground's initial entries were appended before any fill, in row order, and
        // dropping dead entries keeps the order: the live ones come first, one per interface
        // row that had a ground edge.
        uint64_t initial = 0;
        for (const uint32_t i : interface) initial += rank.grounded[i] ? 1u : 0u;
        const uint64_t live = put_live<M>(share, rounds, state.list(), rank.global);
        share[kGroundInitial] = static_cast<double>(initial);
        share[kGroundFill] = static_cast<double>(live - initial);
    }
    return std::nullopt;
}

// A number of a share, which must be whole and below `below`.
uint64_t whole_number(double x, uint64_t below) {
    if (!(x >= 0.0 && x < static_cast<double>(below) && x == std::floor(x))) {
        throw InternalFault("a share holds " + std::to_string(x) + " where a count below " + std::to_string(below) +
                            " belongs");
    }
    return static_cast<uint64_t>(x);
}

// A share's numbers, checked to be whole, in range and consistent with its length.
struct ShareView {
    std::span<const double> data;
    uint64_t vertices = 0, entries = 0, ground_initial = 0, ground_fill = 0;

    uint64_t whole(size_t at, uint64_t below) const { return whole_number(data[at], below); }
    std::span<const double> record(uint64_t i) const { return data.subspan(kHeaderSize + i * kRecordSize, kRecordSize); }
    std::span<const double> entry(uint64_t e) const {
        return data.subspan(kHeaderSize + vertices * kRecordSize + e * kEntrySize, kEntrySize);
    }
};

ShareView view_share(std::span<const double> data, uint64_t n, bool augmented, uint32_t split, double scale) {
    ShareView s{data};
    if (data.size() < kHeaderSize || data[kFormat] != kShareFormat || data[kN] != static_cast<double>(n) ||
        data[kAugmented] != (augmented ? 1.0 : 0.0) || data[kSplit] != static_cast<double>(split) ||
        data[kScale] != scale) {
        throw InternalFault("a share from another matrix or another configuration");
    }
    constexpr uint64_t kBelow = uint64_t{1} << 52;
    s.vertices = s.whole(kVertices, n + 1);
    s.entries = s.whole(kEntries, kBelow);
    s.ground_initial = s.whole(kGroundInitial, kBelow);
    s.ground_fill = s.whole(kGroundFill, kBelow);
    const uint64_t expected =
        kHeaderSize + s.vertices * kRecordSize + (s.entries + s.ground_initial + s.ground_fill) * kEntrySize;
    if (data.size() != expected) throw InternalFault("a share's length does not match its counts");
    uint64_t listed = 0;
    for (uint64_t i = 0; i < s.vertices; ++i) listed += s.whole(kHeaderSize + i * kRecordSize + kLength, kBelow);
    if (listed != s.entries) throw InternalFault("a share's lists do not add up to its entries");
    return s;
}

template <Mode M>
AdjEntry<M> entry_of(std::span<const double> e, uint32_t neighbour, uint32_t k) {
    AdjEntry<M> out{};
    out.weight = e[1];
    out.neighbour = neighbour;
    if constexpr (M == Mode::Split) out.multiplicity = static_cast<uint32_t>(whole_number(e[2], uint64_t{k} + 1));
    return out;
}

// The interface's side: every rank's share into one graph, numbered by position among the
// interface vertices with the ground last, eliminated in rounds.
template <Mode M>
std::optional<CoreError> eliminate_shares(std::span<const ShareView> shares, uint64_t n, bool augmented, uint32_t k,
                                          uint64_t seed, double scale, const RoundOptions& options, ThreadPool& pool,
                                          StopCheck stop, std::vector<uint32_t>& ids, CoreFactor& factor,
                                          RoundStats& stats) {
    ids.clear();
    for (const ShareView& share : shares) {
        for (uint64_t i = 0; i < share.vertices; ++i) {
            const auto id = static_cast<uint32_t>(share.whole(kHeaderSize + i * kRecordSize + kId, n));
            if (!ids.empty() && id <= ids.back()) throw InternalFault("interface vertices out of order");
            ids.push_back(id);
        }
    }
    const uint64_t count = ids.size() + (augmented ? 1 : 0);
    const auto compact = [&](std::span<const double> e) -> uint32_t {
        const uint64_t global = whole_number(e[0], n + 1);
        if (global == n && augmented) return static_cast<uint32_t>(count - 1);
        const auto at = std::lower_bound(ids.begin(), ids.end(), global);
        if (at == ids.end() || *at != global) throw InternalFault("an interface list names a vertex off the interface");
        return static_cast<uint32_t>(at - ids.begin());
    };
    std::vector<uint64_t> capacities(count, 0);
    std::vector<double> degree(count, 0.0);
    std::vector<uint64_t> initial(count, 0);
    std::vector<uint32_t> keys(count, 0);
    uint64_t at = 0;
    double ground_degree = 0.0;
    uint64_t ground_initial = 0;
    uint64_t ground_key = 0;
    for (const ShareView& share : shares) {
        for (uint64_t i = 0; i < share.vertices; ++i, ++at) {
            const size_t record = kHeaderSize + i * kRecordSize;
            initial[at] = clamp_key(share.whole(record + kInitialKey, uint64_t{1} << 52));
            keys[at] = clamp_key(share.whole(record + kKey, uint64_t{1} << 52));
            degree[at] = share.data[record + kDegree];
            capacities[at] = share.whole(record + kLength, uint64_t{1} << 52);
        }
        if (augmented) {
            capacities[count - 1] += share.ground_initial + share.ground_fill;
            ground_degree = ground_degree + share.data[kGroundDegree];
            ground_initial += share.whole(kGroundInitialKey, uint64_t{1} << 52);
            ground_key += share.whole(kGroundKey, uint64_t{1} << 52);
        }
    }
    if (augmented) {
        degree[count - 1] = ground_degree;
        initial[count - 1] = clamp_key(ground_initial);
        keys[count - 1] = clamp_key(ground_key);
    }
    Graph<M> graph(count);
    graph.adjacency.lay_out(capacities);
    at = 0;
    for (const ShareView& share : shares) {
        uint64_t e = 0;
        for (uint64_t i = 0; i < share.vertices; ++i, ++at) {
            const auto length = static_cast<uint64_t>(share.record(i)[kLength]);
            for (uint64_t j = 0; j < length; ++j, ++e) {
                const auto entry = share.entry(e);
                graph.adjacency[at].push_back(entry_of<M>(entry, compact(entry), k));
            }
        }
    }
    // The ground's list: every rank's live initial entries, then every rank's fill.
    if (augmented) {
        for (const bool fill : {false, true}) {
            for (const ShareView& share : shares) {
                const uint64_t begin = share.entries + (fill ? share.ground_initial : 0);
                const uint64_t end = begin + (fill ? share.ground_fill : share.ground_initial);
                for (uint64_t e = begin; e < end; ++e) {
                    const auto entry = share.entry(e);
                    graph.adjacency[count - 1].push_back(entry_of<M>(entry, compact(entry), k));
                }
            }
        }
    }
    graph.reset_eliminated();
    std::vector<uint32_t> streams(ids);
    if (augmented) streams.push_back(static_cast<uint32_t>(n));
    BuiltGraph<M> built{std::move(graph), std::move(degree), count, scale};
    RoundOptions checked = options;
    checked.parts = {};
    if (!(checked.degree_factor >= 1.0)) checked.degree_factor = 1.0;
    checked.round_size = std::max<uint32_t>(checked.round_size, 1);
    Rounds<M> rounds(built, k, seed, checked, pool, streams);
    rounds.requeue(initial, keys, n + (augmented ? 1 : 0));
    stats = RoundStats{};
    if (auto failed = rounds.finish(stop, &stats)) return failed;
    factor = std::move(rounds.factor());
    factor.n = count;
    factor.original_n = count;
    return std::nullopt;
}

CoreFactor renumbered(const CoreFactor& f, uint64_t n, uint64_t original_n, auto&& number) {
    CoreFactor out = f;
    for (uint32_t& v : out.order) v = number(v);
    for (uint32_t& r : out.rows) r = number(r);
    out.n = n;
    out.original_n = original_n;
    out.position.clear();
    out.position_rows.clear();
    return out;
}

}  // namespace

RankSummary summarize(const RankRows& rows) {
    RankSummary out;
    if (rows.row_ptrs.empty()) return out;
    const uint64_t m = rows.row_ptrs.size() - 1;
    for (uint64_t i = 0; i < m; ++i) {
        const uint64_t row = rows.first + i;
        double diagonal = 0.0;
        double excess = 0.0;
        for (uint64_t t = rows.row_ptrs[i]; t < rows.row_ptrs[i + 1]; ++t) {
            const uint64_t c = rows.cols[t];
            const double x = rows.values[t];
            if (c == row) {
                diagonal = diagonal + x;
                excess = excess + x;
            } else if (x < 0.0) {
                excess = excess + x;
            }
            if (c < rows.first || c >= rows.first + m) out.cut = 1.0;
        }
        if (std::isfinite(diagonal)) out.largest_diagonal = std::max(out.largest_diagonal, std::fabs(diagonal));
        if (std::fabs(excess) > out.largest_excess) out.largest_excess = std::fabs(excess);
    }
    return out;
}

Expected<RankFactor, CoreError> RankFactor::eliminate_interior(const RankRows& rows, const RankSummary& combined,
                                                               const CoreConfig& config, StopCheck stop) {
    try {
        if (config.split_merge && *config.split_merge == 0) {
            return unexpected<CoreError>(InvalidConfig{SplitMergeZero{0}});
        }
        if (auto bad = check(rows)) return unexpected<CoreError>(InvalidCsr{*bad});
        RankFactor f;
        f.n_ = rows.n;
        f.first_ = rows.first;
        f.rows_ = rows.row_ptrs.size() - 1;
        f.split_ = config.split_merge;
        f.seed_ = config.seed;
        f.scale_ = threshold_of(combined);
        f.augmented_ = !(combined.largest_excess < kAugmentThreshold * f.scale_);
        if (f.augmented_ && rows.n > 4294967293u) {
            return unexpected<CoreError>(InvalidCsr{csr_error::DimensionOverflow{rows.n + 1}});
        }
        const auto failed =
            config.split_merge
                ? eliminate_rank<Mode::Split>(rows, combined, config, stop, f.interior_, f.interface_, f.share_,
                                              f.augmented_, f.scale_)
                : eliminate_rank<Mode::Plain>(rows, combined, config, stop, f.interior_, f.interface_, f.share_,
                                              f.augmented_, f.scale_);
        if (failed) return unexpected(*failed);
        return f;
    } catch (const ListFull&) {
        return unexpected<CoreError>(ListTooLong{});
    } catch (const std::bad_alloc&) {
        return unexpected<CoreError>(OutOfMemory{});
    } catch (const std::length_error&) {
        return unexpected<CoreError>(OutOfMemory{});
    }
}

std::optional<CoreError> RankFactor::eliminate_interface(std::span<const std::span<const double>> shares,
                                                         const RoundOptions& options, ThreadPool& pool,
                                                         StopCheck stop) {
    try {
        const uint32_t split = split_.value_or(0);
        std::vector<ShareView> views;
        message_sizes_.clear();
        for (const auto share : shares) {
            views.push_back(view_share(share, n_, augmented_, split, scale_));
            message_sizes_.push_back(views.back().vertices + 2);
        }
        if (split_) {
            return eliminate_shares<Mode::Split>(views, n_, augmented_, *split_, seed_, scale_, options, pool, stop,
                                                 interface_vertices_, interface_factor_, rounds_);
        }
        return eliminate_shares<Mode::Plain>(views, n_, augmented_, 1, seed_, scale_, options, pool, stop,
                                             interface_vertices_, interface_factor_, rounds_);
    } catch (const std::bad_alloc&) {
        return CoreError{OutOfMemory{}};
    } catch (const std::length_error&) {
        return CoreError{OutOfMemory{}};
    }
}

void RankFactor::forward(std::span<double> x, std::span<double> message) const {
    double sum = 0.0;
    for (uint64_t i = 0; i < rows_; ++i) sum = sum + x[i];
    x[rows_] = 0.0;
    forward_pass(interior_, x);
    for (size_t i = 0; i < interface_.size(); ++i) message[i] = x[interface_[i]];
    message[interface_.size()] = x[rows_];
    message[interface_.size() + 1] = sum;
}

void RankFactor::solve_interface(std::span<double> messages) const {
    const uint64_t count = interface_factor_.n;
    std::vector<double> y(count, 0.0);
    // The ground's right-hand side makes the total zero; then come the interiors' forward
    // contributions to it.
    double total = 0.0;
    double contributions = 0.0;
    size_t at = 0;
    uint64_t v = 0;
    for (const uint64_t size : message_sizes_) {
        for (uint64_t i = 0; i + 2 < size; ++i) y[v++] = messages[at + i];
        contributions = contributions + messages[at + size - 2];
        total = total + messages[at + size - 1];
        at += size;
    }
    if (augmented_) y[count - 1] = -total + contributions;
    forward_pass(interface_factor_, y);
    backward_pass(interface_factor_, y);
    at = 0;
    v = 0;
    for (const uint64_t size : message_sizes_) {
        for (uint64_t i = 0; i + 2 < size; ++i) messages[at + i] = y[v++];
        messages[at + size - 2] = augmented_ ? y[count - 1] : 0.0;
        messages[at + size - 1] = 0.0;
        at += size;
    }
}

void RankFactor::backward(std::span<const double> reply, std::span<double> x) const {
    for (size_t i = 0; i < interface_.size(); ++i) x[interface_[i]] = reply[i];
    x[rows_] = reply[interface_.size()];
    backward_pass(interior_, x);
    if (augmented_) {
        const double c = x[rows_];
        for (uint64_t i = 0; i < rows_; ++i) x[i] = x[i] - c;
    }
}

CoreFactor RankFactor::interior_steps() const {
    return renumbered(interior_, n_ + (augmented_ ? 1 : 0), n_, [&](uint32_t v) {
        return static_cast<uint32_t>(v < rows_ ? first_ + v : n_);
    });
}

CoreFactor RankFactor::interface_steps() const {
    return renumbered(interface_factor_, n_ + (augmented_ ? 1 : 0), n_, [&](uint32_t v) {
        return v < interface_vertices_.size() ? interface_vertices_[v] : static_cast<uint32_t>(n_);
    });
}

}  // namespace vorlane
