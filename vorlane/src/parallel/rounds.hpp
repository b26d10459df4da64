// The round loop as a class, shared by the factorization in rounds and by the elimination of
// a matrix whose rows are spread over processes: choose (serial), eliminate (parallel), record
// (serial), edit (parallel), re-key (serial).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "block_store.hpp"
#include "elimination/clique_tree.hpp"
#include "elimination/star.hpp"
#include "graph.hpp"
#include "ordering.hpp"
#include "sampling.hpp"
#include "vorlane/internal_fault.hpp"
#include "vorlane/parallel_elimination.hpp"

namespace vorlane::rounds {

// Everything a round's edits change at one vertex, in one 32-byte record so that an edit
// costs one cache line: its adjacency list, weighted degree, key, and the entries of its list
// that still name live vertices. Entries to eliminated vertices stay in the list until they
// make up half of it: a round edits each list on one thread and never touches another
// vertex's entries, so no entry needs to know where its twin is.
template <class Entry>
struct VertexState {
    Entry* data = nullptr;
    uint32_t size = 0;
    uint32_t capacity = 0;
    double weighted_degree = 0.0;
    uint32_t key = 0;   // the live entries (plain mode) or the copies they stand for (split mode)
    uint32_t live = 0;  // the entries that name live vertices

    std::span<Entry> list() const { return {data, size}; }

    // Appends to the list, growing it from store; false when the list is at its 32-bit limit.
    bool push(const Entry& e, BlockStore<Entry>& store) {
        if (size == capacity) {
            if (capacity >= 0x80000000u) return false;
            const size_t grown = std::bit_ceil(std::max<size_t>(4, size_t{capacity} * 2));
            Entry* block = store.take(grown);
            std::copy_n(data, size, block);
            if (capacity > 0) store.give(data, capacity);
            data = block;
            capacity = static_cast<uint32_t>(grown);
        }
        data[size++] = e;
        return true;
    }
};
static_assert(sizeof(VertexState<AdjEntry<Mode::Plain>>) == 32);

// Keys are 32-bit, as in the queue; sums saturate.
inline uint32_t key_plus(uint32_t key, int64_t change) {
    return static_cast<uint32_t>(std::clamp<int64_t>(static_cast<int64_t>(key) + change, 0, kMaxKey));
}

// An edit of one neighbour's list, made by a vertex of the round.
struct Edit {
    enum Kind : uint32_t { Remove, Subtract, Fill };
    uint32_t target;
    uint32_t kind;
    // Remove and Subtract: the entries of the target's list that named the eliminated vertex
    // and the copies they stood for. Fill: the new edge's other end.
    uint32_t other;
    uint32_t copies;
    double weight;  // Subtract: the star weight; Fill: the edge's weight (one copy's in split mode)
};

// What one vertex of the round left for the record: its pivot and its column's place in its
// thread's buffers.
struct Step {
    uint32_t v;
    double pivot;
    uint64_t first;
    uint32_t length;
};

template <Mode M>
struct Worker {
    explicit Worker(uint64_t n, unsigned threads) : workspace(n), edits(threads) {}
    StarWorkspace workspace;
    CliqueSampler sampler;
    EliminationColumn column;
    std::vector<IncidentEdge> edges;
    std::vector<StarEntry> star;
    std::vector<uint32_t> multiplicities;
    std::vector<Step> steps;
    std::vector<uint32_t> rows;
    std::vector<double> coefficients;
    std::vector<std::vector<Edit>> edits;  // by the thread that applies them
    std::vector<uint32_t> neighbours;      // the round's live neighbours, in round order
    std::vector<uint32_t> compact;         // lists to compact at the end of the round's edits
    bool list_full = false;
};

// Adds the time since the last lap to a field of the stats, when there are stats.
class Clock {
public:
    explicit Clock(RoundStats* stats) : stats_(stats) {
        if (stats_ != nullptr) last_ = std::chrono::steady_clock::now();
    }
    void lap(double RoundStats::*field) {
        if (stats_ == nullptr) return;
        const auto now = std::chrono::steady_clock::now();
        stats_->*field += std::chrono::duration<double>(now - last_).count();
        last_ = now;
    }

private:
    RoundStats* stats_;
    std::chrono::steady_clock::time_point last_;
};

constexpr uint32_t kNoRound = 0xFFFFFFFFu;
// Vertices a round looks at, per vertex it may take, before it settles for fewer: bounds the
// choice on dense graphs, where every candidate excludes most others.
constexpr uint64_t kLooksPerPick = 8;
// Rounds between two stop checks, and steps of a part's interior.
constexpr uint64_t kStopCheckRounds = 16;
constexpr uint64_t kStopCheckSteps = 4096;

template <Mode M>
class Rounds {
public:
    using Entry = AdjEntry<M>;

    // streams, when given, names each vertex's random stream (its number in a larger matrix);
    // else a vertex's stream is its own number.
    Rounds(BuiltGraph<M>& built, uint32_t k, uint64_t seed, const RoundOptions& options, ThreadPool& pool,
           std::span<const uint32_t> streams = {})
        : graph_(built.graph), n_(built.n), k_(k), seed_(seed), options_(options), pool_(pool), streams_(streams) {
        vertices_ = LargeVector<VertexState<Entry>>(n_);
        stores_.resize(pool.size());
        std::vector<uint64_t> keys(n_);
        uint64_t total_entries = 0;
        for (uint64_t v = 0; v < n_; ++v) {
            const auto list = graph_.adjacency[v];
            keys[v] = edge_copies<M>(list);
            vertices_[v] = {list.begin(), static_cast<uint32_t>(list.size()), static_cast<uint32_t>(list.capacity()),
                            built.weighted_degree[v], static_cast<uint32_t>(std::min<uint64_t>(keys[v], kMaxKey)),
                            static_cast<uint32_t>(list.size())};
            total_entries += list.size();
        }
        queue_.emplace(n_, keys, M == Mode::Split ? k : 1);
        std::vector<double>().swap(built.weighted_degree);
        eliminated_.assign((n_ + 63) / 64, 0);
        chosen_in_.assign(n_, kNoRound);
        compact_in_.assign(n_, kNoRound);
        pivot_threshold_ = kPivotThreshold * built.scale;
        negligible_ = kDegenerateThreshold * built.scale;
        for (unsigned w = 0; w < pool.size(); ++w) workers_.emplace_back(n_, pool.size());
        factor_ = reserve_factor(n_, total_entries);
    }

    Expected<CoreFactor, CoreError> run(std::span<const uint32_t> parts, const StopCheck& stop, RoundStats* stats) {
        if (!parts.empty()) {
            if (auto failed = interiors(parts, kLastIfAllInterior, stop, stats)) return unexpected(std::move(*failed));
        }
        if (auto failed = finish(stop, stats)) return unexpected(std::move(*failed));
        return std::move(factor_);
    }

    // Eliminates the parts' interiors (see eliminate_interiors); waiting is the vertex held
    // back, NO_VERTEX for none or kLastIfAllInterior for the last one when every vertex is
    // interior.
    std::optional<CoreError> interiors(std::span<const uint32_t> parts, uint32_t waiting, const StopCheck& stop,
                                       RoundStats* stats) {
        Clock clock(stats);
        if (auto failed = eliminate_interiors(parts, waiting, stop)) return failed;
        clock.lap(&RoundStats::interior_seconds);
        if (stats != nullptr) stats->interior_steps = factor_.n_steps();
        return std::nullopt;
    }

    // Eliminates every live vertex but one in rounds.
    std::optional<CoreError> finish(const StopCheck& stop, RoundStats* stats) {
        const uint64_t steps = n_ > 0 ? n_ - 1 : 0;
        uint64_t round = 0;
        while (factor_.n_steps() < steps) {
            if (round % kStopCheckRounds == kStopCheckRounds - 1 && stop.should_stop != nullptr &&
                stop.should_stop(stop.context)) {
                return CoreError{Interrupted{}};
            }
            Clock clock(stats);
            if (stats != nullptr) stats->round_starts.push_back(factor_.n_steps());
            choose(static_cast<uint32_t>(round), steps - factor_.n_steps());
            if (chosen_.empty()) {
                throw InternalFault("a round found no vertex after " + std::to_string(factor_.n_steps()) + " of " +
                                    std::to_string(steps) + " steps");
            }
            clock.lap(&RoundStats::serial_seconds);
            pool_.run([&](unsigned w) { eliminate(w); });
            clock.lap(&RoundStats::parallel_seconds);
            if (!record()) return CoreError{FactorTooLarge{}};
            clock.lap(&RoundStats::serial_seconds);
            pool_.run([&](unsigned w) { edit(w, static_cast<uint32_t>(round)); });
            clock.lap(&RoundStats::parallel_seconds);
            for (const auto& worker : workers_) {
                if (worker.list_full) return CoreError{ListTooLong{}};
            }
            rekey();
            clock.lap(&RoundStats::serial_seconds);
            ++round;
        }
        if (stats != nullptr) stats->round_starts.push_back(factor_.n_steps());
        factor_.n = n_;
        return std::nullopt;
    }

    // Rebuilds the queue as the whole matrix's queue would stand for these vertices: queued
    // with their keys before any elimination (initial), in buckets sized for a matrix of
    // bucket_n vertices, then moved to their present keys in vertex order. The order among a
    // subset of a queue's vertices only depends on what happened to them, so the rounds that
    // follow choose as they would have over the whole matrix.
    void requeue(std::span<const uint64_t> initial, std::span<const uint32_t> keys, uint64_t bucket_n) {
        queue_.emplace(n_, initial, M == Mode::Split ? k_ : 1, bucket_n);
        for (uint32_t v = 0; v < n_; ++v) {
            vertices_[v].key = keys[v];
            if (queue_->key(v) != keys[v]) {
                queue_->update_key(v, static_cast<int64_t>(keys[v]) - static_cast<int64_t>(queue_->key(v)));
            }
        }
    }

    const VertexState<Entry>& state(uint32_t v) const { return vertices_[v]; }
    CoreFactor& factor() { return factor_; }

    // The bitset is written by several threads at once while parts' interiors are eliminated
    // (each its own vertices' bits, words shared), so every access is atomic; relaxed, as the
    // pool's hand-offs order everything else.
    bool is_eliminated(uint32_t v) const {
        return (std::atomic_ref<uint64_t>(eliminated_[v >> 6]).load(std::memory_order_relaxed) >> (v & 63)) & 1u;
    }

    static constexpr uint32_t kLastIfAllInterior = NO_VERTEX - 1;

private:
    void mark_eliminated(uint32_t v) {
        std::atomic_ref<uint64_t>(eliminated_[v >> 6]).fetch_or(uint64_t{1} << (v & 63), std::memory_order_relaxed);
    }

    // Eliminates the interior of every part (the vertices whose neighbours all lie in their
    // part, the ground vertex aside) before any round: each part on one thread, by the
    // sequential minimum-degree rule over its own interior, its fill staying inside the part,
    // so parts never touch each other's vertices. The ground vertex, which several parts
    // reach, takes its edits after, in part order. Steps are recorded in part order.
    std::optional<CoreError> eliminate_interiors(std::span<const uint32_t> parts, uint32_t waiting,
                                                 const StopCheck& stop) {
        const uint32_t count = *std::max_element(parts.begin(), parts.end()) + 1;
        std::vector<std::vector<uint32_t>> interior(count);
        local_of_.assign(n_, NO_VERTEX);
        uint64_t interior_total = 0;
        for (uint32_t v = 0; v < parts.size(); ++v) {
            bool inside = true;
            for (const Entry& e : vertices_[v].list()) {
                if (e.neighbour < parts.size() && parts[e.neighbour] != parts[v]) inside = false;
            }
            if (!inside) continue;
            local_of_[v] = static_cast<uint32_t>(interior[parts[v]].size());
            interior[parts[v]].push_back(v);
            ++interior_total;
        }
        // One vertex is never eliminated: when every vertex is interior, the last one waits.
        if (waiting == kLastIfAllInterior) {
            waiting = interior_total == n_ && n_ > 0 ? static_cast<uint32_t>(n_ - 1) : NO_VERTEX;
        }
        if (waiting != NO_VERTEX && local_of_[waiting] != NO_VERTEX) {
            // The held vertex is always the last of its part's interior (numbers ascend).
            if (interior[parts[waiting]].back() != waiting) throw InternalFault("the waiting vertex is not its part's last");
            interior[parts[waiting]].pop_back();
            local_of_[waiting] = NO_VERTEX;
        }
        struct PartRun {
            unsigned worker = 0;
            size_t first_step = 0;
            size_t end_step = 0;
            std::vector<Edit> ground;
        };
        std::vector<PartRun> runs(count);
        std::atomic<bool> stopping{false};
        for (auto& worker : workers_) {
            worker.steps.clear();
            worker.rows.clear();
            worker.coefficients.clear();
        }
        pool_.run([&](unsigned w) {
            for (uint32_t p = w; p < count; p += pool_.size()) {
                runs[p].worker = w;
                eliminate_part(w, interior[p], parts, runs[p].ground, runs[p].first_step, runs[p].end_step,
                               w == 0 ? &stop : nullptr, stopping);
            }
        });
        if (stopping.load()) return CoreError{Interrupted{}};
        for (const auto& worker : workers_) {
            if (worker.list_full) return CoreError{ListTooLong{}};
        }
        bool full = false;
        for (const PartRun& run : runs) {
            const Worker<M>& worker = workers_[run.worker];
            for (size_t i = run.first_step; i < run.end_step; ++i) {
                const Step& step = worker.steps[i];
                const std::span<const uint32_t> rows(worker.rows.data() + step.first, step.length);
                const std::span<const double> coefficients(worker.coefficients.data() + step.first, step.length);
                if (!factor_.push_step(step.v, step.pivot, pivot_threshold_, rows, coefficients)) {
                    return CoreError{FactorTooLarge{}};
                }
            }
            bool half_dead = false;
            for (const Edit& e : run.ground) half_dead = apply(e, stores_[0], full, kNoRound) || half_dead;
            if (half_dead) drop_eliminated(vertices_[run.ground.front().target]);
        }
        if (full) return CoreError{ListTooLong{}};
        // The rounds' queue learns what the interiors' elimination did.
        EliminationQueue& queue = *queue_;
        for (uint32_t v = 0; v < n_; ++v) {
            if (is_eliminated(v)) {
                queue.remove(v);
            } else if (queue.key(v) != vertices_[v].key) {
                queue.update_key(v, static_cast<int64_t>(vertices_[v].key) - static_cast<int64_t>(queue.key(v)));
            }
        }
        return std::nullopt;
    }

    // Thread w eliminates one part's interior. Polls stop (when given) every few thousand
    // steps and tells the other threads through stopping.
    void eliminate_part(unsigned w, std::span<const uint32_t> inside, std::span<const uint32_t> parts,
                        std::vector<Edit>& ground, size_t& first_step, size_t& end_step, const StopCheck* stop,
                        std::atomic<bool>& stopping) {
        Worker<M>& me = workers_[w];
        me.sampler.negligible = negligible_;
        first_step = end_step = me.steps.size();
        if (inside.empty()) return;
        std::vector<uint64_t> keys(inside.size());
        for (size_t i = 0; i < inside.size(); ++i) keys[i] = vertices_[inside[i]].key;
        EliminationQueue queue(inside.size(), keys, M == Mode::Split ? k_ : 1);
        for (size_t s = 0; s < inside.size(); ++s) {
            if (s % kStopCheckSteps == kStopCheckSteps - 1) {
                if (stop != nullptr && stop->should_stop != nullptr && stop->should_stop(stop->context)) {
                    stopping.store(true);
                }
                if (stopping.load(std::memory_order_relaxed)) break;
            }
            const uint32_t v = inside[queue.pop_min()];
            mark_eliminated(v);
            me.neighbours.clear();
            // Edits apply as they come: they touch v's neighbours, never v's own list, which
            // the elimination is reading.
            me.steps.push_back(eliminate_one(me, v, [&](const Edit& e) {
                const uint32_t u = e.target;
                if (u >= parts.size()) {
                    ground.push_back(e);
                    return;
                }
                if (apply(e, stores_[w], me.list_full, kNoRound) &&
                    std::find(me.compact.begin(), me.compact.end(), u) == me.compact.end()) {
                    me.compact.push_back(u);
                }
                const uint32_t local = local_of_[u];
                if (local != NO_VERTEX && queue.key(local) != NO_VERTEX) {
                    queue.update_key(local,
                                     static_cast<int64_t>(vertices_[u].key) - static_cast<int64_t>(queue.key(local)));
                }
            }));
            for (const uint32_t u : me.compact) drop_eliminated(vertices_[u]);
            me.compact.clear();
        }
        end_step = me.steps.size();
    }

    // Walks the buckets upward from the least key and takes each vertex that no vertex taken
    // before excludes, each taken vertex excluding its live neighbours.
    void choose(uint32_t round, uint64_t steps_left) {
        chosen_.clear();
        EliminationQueue& queue = *queue_;
        const uint64_t lowest = queue.lowest_bucket();
        if (lowest >= queue.stored_buckets()) return;
        const uint32_t least = queue.key(queue.first_in(lowest));
        const double bound = std::floor(options_.degree_factor * static_cast<double>(least));
        const auto limit_key = static_cast<uint64_t>(std::clamp<double>(bound, least, kMaxKey));
        const uint64_t last_bucket = queue.bucket_of(limit_key);
        const uint64_t picks = std::min<uint64_t>(options_.round_size, steps_left);
        uint64_t looks = 0;
        for (uint64_t b = lowest; b <= last_bucket && chosen_.size() < picks; ++b) {
            for (uint32_t v = queue.first_in(b); v != NO_VERTEX && chosen_.size() < picks;
                 v = queue.next_in_bucket(v)) {
                if (++looks > kLooksPerPick * picks && !chosen_.empty()) break;
                if (chosen_in_[v] == round || queue.key(v) > limit_key) continue;
                chosen_.push_back(v);
                chosen_in_[v] = round;
                for (const Entry& e : vertices_[v].list()) chosen_in_[e.neighbour] = round;
            }
        }
        for (const uint32_t v : chosen_) queue.remove(v);
    }

    // Thread w eliminates its share of the round, in round order, from the graph as the
    // round found it.
    void eliminate(unsigned w) {
        Worker<M>& me = workers_[w];
        me.steps.clear();
        me.rows.clear();
        me.coefficients.clear();
        me.neighbours.clear();
        for (auto& out : me.edits) out.clear();
        me.sampler.negligible = negligible_;
        const auto [begin, end] = pool_.part(chosen_.size(), w);
        for (uint64_t i = begin; i < end; ++i) {
            me.steps.push_back(eliminate_one(me, chosen_[i], [&](const Edit& e) { send(me, e); }));
        }
    }

    // Eliminates v from the graph as it stands, into the worker's column buffers, and hands
    // every edit it makes to its neighbours' lists to sink, in a fixed order.
    template <class Sink>
    Step eliminate_one(Worker<M>& me, uint32_t v, Sink&& sink) {
        me.edges.clear();
        for (const Entry& e : vertices_[v].list()) {
            if (is_eliminated(e.neighbour)) continue;
            me.neighbours.push_back(e.neighbour);
            // Split mode removes entry by entry (a star entry does not say how many entries
            // it merged); plain mode counts star entries and surplus below.
            if constexpr (M == Mode::Split) {
                sink(Edit{e.neighbour, Edit::Remove, 1, e.multiplicity, 0.0});
            } else if (!(e.weight > 0.0)) {
                sink(Edit{e.neighbour, Edit::Remove, 1, 1, 0.0});
            }
            if (!(e.weight > 0.0)) {
                continue;
            } else if constexpr (M == Mode::Split) {
                me.edges.push_back(
                    IncidentEdge{e.weight * static_cast<double>(e.multiplicity), e.neighbour, e.multiplicity});
            } else {
                me.edges.push_back(IncidentEdge{e.weight, e.neighbour, 1});
            }
        }
        const double degree = vertices_[v].weighted_degree;
        Step step{v, degree, me.rows.size(), 0};
        if (me.edges.empty()) return step;
        if constexpr (M == Mode::Split) {
            build_split_star(me.workspace, me.edges, me.star, me.multiplicities, k_);
        } else {
            build_star(me.workspace, me.edges, me.star);
        }
        me.sampler.start_stream(seed_, streams_.empty() ? v : streams_[v]);
        if constexpr (M == Mode::Split) {
            eliminate_split_star(me.star, me.multiplicities, me.sampler, me.column, degree);
        } else {
            eliminate_star(me.star, me.sampler, me.column, degree);
        }
        step.pivot = me.column.diagonal;
        step.length = static_cast<uint32_t>(me.column.rows.size());
        me.rows.insert(me.rows.end(), me.column.rows.begin(), me.column.rows.end());
        me.coefficients.insert(me.coefficients.end(), me.column.coefficients.begin(), me.column.coefficients.end());
        const uint32_t removed = M == Mode::Split ? 0 : 1;
        for (const StarEntry& e : me.star) sink(Edit{e.neighbor, Edit::Subtract, removed, removed, e.weight});
        if constexpr (M == Mode::Plain) {
            for (const auto& [u, count] : me.workspace.surplus()) sink(Edit{u, Edit::Remove, count, count, 0.0});
        }
        for (const FillEdge& f : me.column.fill) {
            sink(Edit{f.source, Edit::Fill, f.target, 0, f.weight});
            sink(Edit{f.target, Edit::Fill, f.source, 0, f.weight});
        }
        return step;
    }

    // The thread that edits a vertex's list: blocks of 64 vertices dealt out in turn, so that
    // neighbouring vertices' records stay on one thread.
    unsigned editor_of(uint32_t v) const { return static_cast<unsigned>((v >> 6) % pool_.size()); }

    void send(Worker<M>& me, const Edit& edit) { me.edits[editor_of(edit.target)].push_back(edit); }

    // Appends the round's steps to the factor in round order and marks their vertices.
    bool record() {
        for (const Worker<M>& worker : workers_) {
            for (const Step& s : worker.steps) {
                const std::span<const uint32_t> rows(worker.rows.data() + s.first, s.length);
                const std::span<const double> coefficients(worker.coefficients.data() + s.first, s.length);
                if (!factor_.push_step(s.v, s.pivot, pivot_threshold_, rows, coefficients)) return false;
            }
        }
        for (const uint32_t v : chosen_) mark_eliminated(v);
        return true;
    }

    // Thread w applies the round's edits to the lists it owns, in round order (threads' shares
    // are consecutive pieces of the round). Lists whose dead entries reach half are compacted
    // once the round's removals are all counted.
    void edit(unsigned w, uint32_t round) {
        Worker<M>& me = workers_[w];
        BlockStore<Entry>& store = stores_[w];
        // Edits land on scattered vertices: load a few edits ahead.
        constexpr size_t kAhead = 8;
        for (Worker<M>& from : workers_) {
            const std::vector<Edit>& edits = from.edits[w];
            for (size_t i = 0; i < edits.size(); ++i) {
                if (i + 2 * kAhead < edits.size()) __builtin_prefetch(&vertices_[edits[i + 2 * kAhead].target], 1);
                if (i + kAhead < edits.size() && edits[i + kAhead].kind == Edit::Fill) {
                    const VertexState<Entry>& later = vertices_[edits[i + kAhead].target];
                    __builtin_prefetch(later.data + later.size, 1);
                }
                const Edit& e = edits[i];
                if (apply(e, store, me.list_full, round) && compact_in_[e.target] != round) {
                    compact_in_[e.target] = round;
                    me.compact.push_back(e.target);
                }
            }
        }
        for (const uint32_t v : me.compact) drop_eliminated(vertices_[v]);
        me.compact.clear();
    }

    // Applies one edit to its target's record; true when the target's list has become half
    // dead (to be compacted once all removals in flight are counted).
    // In a part's interior (round kNoRound) every removal is counted when fill arrives, so a
    // full list a quarter dead drops its dead entries instead of growing.
    bool apply(const Edit& e, BlockStore<Entry>& store, bool& list_full, uint32_t round) {
        VertexState<Entry>& u = vertices_[e.target];
        if (e.kind == Edit::Fill) {
            if (round == kNoRound && u.size == u.capacity && u.size - u.live >= u.size / 4) drop_eliminated(u);
            Entry entry{};
            entry.weight = e.weight;
            entry.neighbour = e.other;
            if constexpr (M == Mode::Split) entry.multiplicity = 1;
            if (!u.push(entry, store)) list_full = true;
            u.weighted_degree = u.weighted_degree + e.weight;
            u.key = key_plus(u.key, 1);
            ++u.live;
            return false;
        }
        if (e.kind == Edit::Subtract) u.weighted_degree = u.weighted_degree - e.weight;
        u.key = key_plus(u.key, -static_cast<int64_t>(e.copies));
        u.live -= e.other;
        return u.size - u.live > u.size / 2;
    }

    // Drops the entries to eliminated vertices: all that are not live.
    void drop_eliminated(VertexState<Entry>& u) const {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < u.size; ++i) {
            if (!is_eliminated(u.data[i].neighbour)) u.data[kept++] = u.data[i];
        }
        u.size = kept;
    }

    // Moves every edited vertex to the bucket of its new key, in round order.
    void rekey() {
        EliminationQueue& queue = *queue_;
        for (const Worker<M>& worker : workers_) {
            for (const uint32_t u : worker.neighbours) {
                const uint32_t key = queue.key(u);
                if (key == NO_VERTEX) continue;
                const uint32_t fresh = vertices_[u].key;
                if (fresh != key) queue.update_key(u, static_cast<int64_t>(fresh) - static_cast<int64_t>(key));
            }
        }
    }

    Graph<M>& graph_;  // owns the initial lists' storage
    uint64_t n_;
    uint32_t k_;
    uint64_t seed_;
    RoundOptions options_;
    ThreadPool& pool_;
    std::span<const uint32_t> streams_;
    LargeVector<VertexState<Entry>> vertices_;
    std::vector<BlockStore<Entry>> stores_;  // one per thread: where its edits grow lists
    std::optional<EliminationQueue> queue_;
    mutable std::vector<uint64_t> eliminated_;
    std::vector<uint32_t> chosen_in_;
    std::vector<uint32_t> compact_in_;  // the round that last listed a vertex for compaction
    std::vector<uint32_t> local_of_;    // an interior vertex's number in its part's queue
    std::vector<uint32_t> chosen_;
    std::vector<Worker<M>> workers_;
    CoreFactor factor_;
    double pivot_threshold_ = 0.0;
    double negligible_ = 0.0;
};


}  // namespace vorlane::rounds
