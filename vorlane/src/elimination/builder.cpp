// The factorization pipeline and its elimination loop, in plain and split mode.
#include "vorlane/builder.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

#include "graph.hpp"
#include "vorlane/internal_fault.hpp"
#include "ordering.hpp"
#include "sampling.hpp"
#include "elimination/clique_tree.hpp"
#include "saturating.hpp"
#include "elimination/star.hpp"

namespace vorlane {

namespace {

// What a step reads and writes at each neighbour of the vertex it eliminates, in one 32-byte
// record per vertex, so that a neighbour costs one cache line instead of three: its list's
// bookkeeping, weighted degree and pending key change. (The queue node stays apart: a
// 64-byte record holding it too was faster on expanders but slower on grids, where
// neighbouring vertices share the lines of smaller records.)
template <Mode M>
struct VertexRecord {
    typename AdjacencyLists<AdjEntry<M>>::Header list;
    double weighted_degree = 0.0;
    int64_t delta = 0;
};
static_assert(sizeof(VertexRecord<Mode::Plain>) == 32 && sizeof(VertexRecord<Mode::Split>) == 32);

// One field of every record.
template <class T, class Record>
Strided<T> field(LargeVector<Record>& records, T Record::*member) {
    if (records.empty()) return {};
    return Strided<T>(&(records.data()->*member), sizeof(Record));
}

// Steps between two stop checks: a few milliseconds of elimination at most.
constexpr uint64_t kStopCheckSteps = 1024;

bool stop_requested(const StopCheck& stop) { return stop.should_stop != nullptr && stop.should_stop(stop.context); }

template <Mode M>
Expected<CoreFactor, CoreError> eliminate_all(const CsrView& csr, CliqueSampler& sampler, uint32_t k,
                                              const StopCheck& stop) {
    auto built = build_graph<M>(csr);
    if (!built) return unexpected(std::move(built).error());
    if (stop_requested(stop)) return unexpected<CoreError>(Interrupted{});
    Graph<M>& graph = built->graph;
    const uint64_t n = built->n;
    LargeVector<VertexRecord<M>> records(n);
    graph.adjacency.place_headers(field(records, &VertexRecord<M>::list));
    const Strided<double> weighted_degree = field(records, &VertexRecord<M>::weighted_degree);
    for (uint64_t v = 0; v < n; ++v) weighted_degree[v] = built->weighted_degree[v];
    std::vector<double>().swap(built->weighted_degree);
    // Thresholds follow the matrix's scale; the scale is a power of two, so these products are
    // exact and a matrix times 2^k gives the same decisions.
    const double pivot_threshold = kPivotThreshold * built->scale;
    sampler.negligible = kDegenerateThreshold * built->scale;

    if constexpr (M == Mode::Split) {
        if (k >= 2) split_edges(graph, k);
    }

    std::vector<uint64_t> keys(n);
    uint64_t total_keys = 0;
    uint64_t total_entries = 0;
    for (uint64_t v = 0; v < n; ++v) {
        keys[v] = edge_copies<M>(graph.adjacency[v]);
        total_keys = saturating_add(total_keys, keys[v]);
        total_entries += graph.adjacency[v].size();
    }
    EliminationQueue queue(n, keys, M == Mode::Split ? k : 1);
    std::vector<uint64_t>().swap(keys);

    CoreFactor factor = reserve_factor(n, std::min(total_keys, total_entries));
    DegreeDeltas deltas(field(records, &VertexRecord<M>::delta));
    StarWorkspace workspace(n);
    std::vector<IncidentEdge> edges;
    std::vector<StarEntry> star;
    std::vector<uint32_t> multiplicities;
    EliminationColumn column;

    const uint64_t steps = n > 0 ? n - 1 : 0;
    for (uint64_t s = 0; s < steps; ++s) {
        if (s % kStopCheckSteps == kStopCheckSteps - 1 && stop_requested(stop)) {
            return unexpected<CoreError>(Interrupted{});
        }
        const uint32_t v = queue.pop_min();
        if (v == NO_VERTEX) break;
        if (graph.adjacency[v].empty()) {
            if (!factor.push_step(v, weighted_degree[v], pivot_threshold, {}, {})) {
                return unexpected<CoreError>(FactorTooLarge{});
            }
            continue;
        }
        // The next vertex is most likely the one now heading the lowest bucket: start
        // loading its list while this step runs.
        const uint32_t next = queue.peek_min();
        if (next != NO_VERTEX) graph.adjacency.prefetch_header(next);
        graph.gather(v, edges);
        // The rest of the step touches each neighbour's record, scattered over memory:
        // start those loads now so they overlap.
        graph.prefetch_removal(v, 0);
        for (const IncidentEdge& e : edges) queue.prefetch(e.neighbor);
        if constexpr (M == Mode::Split) {
            build_split_star(workspace, edges, star, multiplicities, k);
        } else {
            build_star(workspace, edges, star);
        }
        graph.prefetch_removal(v, 1);
        for (const auto& [u, count] : workspace.surplus()) {
            queue.update_key(u, -static_cast<int64_t>(count));
        }
        if (star.empty()) {
            if (!factor.push_step(v, weighted_degree[v], pivot_threshold, {}, {})) {
                return unexpected<CoreError>(FactorTooLarge{});
            }
            graph.remove_vertex(v);
            continue;
        }
        if constexpr (M == Mode::Split) {
            eliminate_split_star(star, multiplicities, sampler, column, weighted_degree[v]);
        } else {
            eliminate_star(star, sampler, column, weighted_degree[v]);
        }
        graph.prefetch_removal(v, 2);
        if (!factor.push_step(v, column.diagonal, pivot_threshold, column.rows, column.coefficients)) {
            return unexpected<CoreError>(FactorTooLarge{});
        }
        graph.prefetch_removal(v, 3);
        if (next != NO_VERTEX) graph.adjacency.prefetch_list(next);
        graph.remove_vertex(v);
        for (const StarEntry& e : star) {
            weighted_degree[e.neighbor] = weighted_degree[e.neighbor] - e.weight;
        }
        if constexpr (M == Mode::Split) {
            if (!insert_split_fill(column.fill, graph, weighted_degree, deltas)) {
                return unexpected<CoreError>(ListTooLong{});
            }
            for (size_t j = 0; j < star.size(); ++j) {
                deltas.add(star[j].neighbor, -static_cast<int64_t>(multiplicities[j]));
            }
        } else {
            if (!insert_fill(column.fill, graph, weighted_degree, deltas)) return unexpected<CoreError>(ListTooLong{});
            for (const StarEntry& e : star) deltas.add(e.neighbor, -1);
        }
        deltas.flush(queue);
    }
    if (factor.n_steps() != steps) {
        throw InternalFault("elimination queue ran empty after " + std::to_string(factor.n_steps()) + " of " +
                            std::to_string(steps) + " steps");
    }
    factor.n = n;
    factor.original_n = csr.n();
    factor.prepare_solve();
    return factor;
}

}  // namespace

// Columns hold one to three entries per adjacency entry on the graphs measured. Reserved
// address space costs nothing until it is written, while outgrowing the reservation copies
// every column so far into fresh memory; so three times the entries are asked for, and the
// entries alone when that much address space is refused. (In split mode a key counts copies
// but a column holds one entry per distinct neighbour, so entries is the smaller of the
// key total and the adjacency entry count.)
CoreFactor reserve_factor(uint64_t steps, uint64_t entries) {
    try {
        return CoreFactor::with_capacity(steps, std::min(saturating_mul(entries, uint64_t{3}), kMaxFactorEntries));
    } catch (const std::bad_alloc&) {
        return CoreFactor::with_capacity(steps, entries);
    }
}

Expected<CoreFactor, CoreError> build_factor(std::span<const uint32_t> row_ptrs,
                                             std::span<const uint32_t> col_indices,
                                             std::span<const double> values, uint32_t n,
                                             const CoreConfig& config, StopCheck stop) {
    try {
        // Owned copies: validation and elimination read memory nobody else can change meanwhile.
        const std::vector<uint32_t> own_row_ptrs(row_ptrs.begin(), row_ptrs.end());
        const std::vector<uint32_t> own_cols(col_indices.begin(), col_indices.end());
        const std::vector<double> own_values(values.begin(), values.end());
        auto csr = CsrView::create(own_row_ptrs, own_cols, own_values, n);
        if (!csr) return unexpected<CoreError>(InvalidCsr{csr.error()});
        if (config.split_merge && *config.split_merge == 0) {
            return unexpected<CoreError>(InvalidConfig{SplitMergeZero{0}});
        }
        CliqueSampler sampler = seed_sampler(config.seed);
        if (config.split_merge) {
            return eliminate_all<Mode::Split>(*csr, sampler, *config.split_merge, stop);
        }
        return eliminate_all<Mode::Plain>(*csr, sampler, 1, stop);
    } catch (const std::bad_alloc&) {
        return unexpected<CoreError>(OutOfMemory{});
    } catch (const std::length_error&) {
        // A standard container asked for more elements than it can ever hold.
        return unexpected<CoreError>(OutOfMemory{});
    }
}

}  // namespace vorlane
