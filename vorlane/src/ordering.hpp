// Greedy minimum-degree ordering: a bucket queue of vertex keys and the per-step key changes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "vorlane/large_alloc.hpp"
#include "saturating.hpp"
#include "strided.hpp"

namespace vorlane {

// Marks the absence of a vertex, and a vertex that has left the queue.
inline constexpr uint32_t NO_VERTEX = 0xFFFFFFFFu;
inline constexpr uint32_t kMaxKey = 0xFFFFFFFEu;

struct QueueNode {
    uint32_t prev;
    uint32_t next;
    uint32_t key;
};

// Keys up to linear_limit each have a bucket; larger keys share coarse buckets of width
// linear_limit, and the last bucket takes everything from linear_limit squared upward.
// Within a bucket the most recently inserted vertex comes out first.
//
// The bucket heads are held in pages created when a vertex first lands in them, so memory
// follows the keys that occur rather than the bucket count, which grows with k * n.
class EliminationQueue {
public:
    // Queues vertices 0..n-1 with the given keys (clamped to kMaxKey). k is the split
    // multiplier (1 in plain mode). The buckets are those of a queue of bucket_n vertices (n by
    // default): a queue of some of a larger graph's vertices can keep that graph's buckets.
    // Throws std::bad_alloc when the buckets cannot be allocated.
    EliminationQueue(uint64_t n, std::span<const uint64_t> initial_keys, uint64_t k, uint64_t bucket_n);
    EliminationQueue(uint64_t n, std::span<const uint64_t> initial_keys, uint64_t k)
        : EliminationQueue(n, initial_keys, k, n) {}

    // Removes and returns the head of the lowest non-empty bucket, or NO_VERTEX when empty.
    uint32_t pop_min();
    // The vertex pop_min would return now if no key changed, or NO_VERTEX when the lowest
    // bucket is empty. Looks at one bucket only, so it is a cheap guess, not a search.
    uint32_t peek_min() const { return live_count_ == 0 ? NO_VERTEX : head(min_bucket_); }
    // Removes a queued vertex, wherever it is; ignored for popped vertices.
    void remove(uint32_t v);
    // The lowest non-empty bucket, or stored_buckets() when the queue is empty.
    uint64_t lowest_bucket();
    // The vertices of one bucket, head first: first_in(b), then next_in_bucket of each.
    uint32_t first_in(uint64_t bucket) const { return bucket < bucket_limit_ ? head(bucket) : NO_VERTEX; }
    uint32_t next_in_bucket(uint32_t v) const { return nodes_[v].next; }
    // Adds change to a queued vertex's key (clamped to 0..kMaxKey); ignored for popped vertices.
    void update_key(uint32_t v, int64_t change);
    uint64_t bucket_of(uint64_t key) const;

    uint64_t min_bucket() const { return min_bucket_; }
    uint64_t live_count() const { return live_count_; }
    uint64_t linear_limit() const { return linear_limit_; }
    uint64_t max_bucket() const { return max_bucket_; }
    // Number of addressable buckets: those above the one of kMaxKey can never be used.
    uint64_t stored_buckets() const { return bucket_limit_; }
    uint32_t key(uint32_t v) const { return nodes_[v].key; }
    // Hints that v's node will be read and written soon.
    void prefetch(uint32_t v) const { __builtin_prefetch(&nodes_[v], 1); }
    // Hints that v's bucket neighbours, which moving v to another bucket relinks, will be
    // written soon.
    void prefetch_links(uint32_t v) const {
        const QueueNode& node = nodes_[v];
        if (node.key == NO_VERTEX) return;
        if (node.prev != NO_VERTEX) __builtin_prefetch(&nodes_[node.prev], 1);
        if (node.next != NO_VERTEX) __builtin_prefetch(&nodes_[node.next], 1);
    }

private:
    static constexpr unsigned kPageBits = 12;
    static constexpr uint64_t kPageSize = uint64_t{1} << kPageBits;

    uint32_t head(uint64_t bucket) const {
        const auto& page = pages_[bucket >> kPageBits];
        return page ? page[bucket & (kPageSize - 1)] : NO_VERTEX;
    }
    // The page of bucket, created (all empty) on first use.
    uint32_t& head_slot(uint64_t bucket);
    void push_front(uint64_t bucket, uint32_t v);

    LargeVector<QueueNode> nodes_;
    std::vector<std::unique_ptr<uint32_t[]>> pages_;
    uint64_t bucket_limit_ = 0;
    uint64_t min_bucket_ = 0;
    uint64_t live_count_ = 0;
    uint64_t linear_limit_ = 1;
    uint64_t max_bucket_ = 2;
};

// Collects one elimination step's key changes and applies them in one batch.
class DegreeDeltas {
public:
    explicit DegreeDeltas(uint64_t n) : own_delta_(n, 0), delta_(own_delta_) {}
    // Keeps the pending changes in the given fields, which must all be zero.
    explicit DegreeDeltas(Strided<int64_t> delta) : delta_(delta) {}

    void add(uint32_t v, int64_t change) {
        if (delta_[v] == 0) touched_.push_back(v);
        delta_[v] = saturating_add(delta_[v], change);
    }
    // Applies every pending change through update_key, in the order vertices were first touched.
    void flush(EliminationQueue& queue);

    int64_t pending(uint32_t v) const { return delta_[v]; }
    const std::vector<uint32_t>& touched() const { return touched_; }

private:
    LargeVector<int64_t> own_delta_;
    Strided<int64_t> delta_;
    std::vector<uint32_t> touched_;
};

}  // namespace vorlane
