// Bucket queue operations and the batched application of key changes.
#include "ordering.hpp"

#include <algorithm>
#include <limits>

namespace vorlane {

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();


}  // namespace

EliminationQueue::EliminationQueue(uint64_t n, std::span<const uint64_t> initial_keys, uint64_t k,
                                   uint64_t bucket_n) {
    const uint64_t w = k * bucket_n;  // k and bucket_n are both below 2^33, so the product fits
    linear_limit_ = w == 0 ? 1 : w;
    max_bucket_ = saturating_mul(linear_limit_, uint64_t{2});
    const uint64_t bucket_count = max_bucket_ == kU64Max ? kU64Max : max_bucket_ + 1;
    // No key exceeds kMaxKey, so buckets past bucket_of(kMaxKey) always stay empty.
    bucket_limit_ = std::min(bucket_count, bucket_of(kMaxKey) + 1);
    pages_.resize((bucket_limit_ + kPageSize - 1) >> kPageBits);
    nodes_.resize(n);

    uint64_t lowest = kU64Max;
    for (uint64_t v = 0; v < n; ++v) {
        const auto key = static_cast<uint32_t>(std::min<uint64_t>(initial_keys[v], kMaxKey));
        nodes_[v].key = key;
        const uint64_t b = bucket_of(key);
        push_front(b, static_cast<uint32_t>(v));
        lowest = std::min(lowest, b);
    }
    live_count_ = n;
    min_bucket_ = n == 0 ? 0 : lowest;
}

uint64_t EliminationQueue::bucket_of(uint64_t key) const {
    const uint64_t w = linear_limit_;
    if (key <= w) return key;
    return std::min(max_bucket_, w + key / w);
}

uint32_t& EliminationQueue::head_slot(uint64_t bucket) {
    auto& page = pages_[bucket >> kPageBits];
    if (!page) {
        page = std::make_unique_for_overwrite<uint32_t[]>(kPageSize);
        std::fill_n(page.get(), kPageSize, NO_VERTEX);
    }
    return page[bucket & (kPageSize - 1)];
}

void EliminationQueue::push_front(uint64_t bucket, uint32_t v) {
    uint32_t& slot = head_slot(bucket);
    const uint32_t old_head = slot;
    nodes_[v].prev = NO_VERTEX;
    nodes_[v].next = old_head;
    if (old_head != NO_VERTEX) nodes_[old_head].prev = v;
    slot = v;
}

uint64_t EliminationQueue::lowest_bucket() {
    if (live_count_ == 0) return bucket_limit_;
    uint64_t b = min_bucket_;
    while (b < bucket_limit_) {
        if (!pages_[b >> kPageBits]) {
            b = (b | (kPageSize - 1)) + 1;  // a page never created holds no vertex
        } else if (head(b) == NO_VERTEX) {
            ++b;
        } else {
            break;
        }
    }
    if (b < bucket_limit_) min_bucket_ = b;
    return b;
}

uint32_t EliminationQueue::pop_min() {
    const uint64_t b = lowest_bucket();
    if (b >= bucket_limit_) return NO_VERTEX;
    uint32_t& slot = head_slot(b);
    const uint32_t v = slot;
    const uint32_t next = nodes_[v].next;
    slot = next;
    if (next != NO_VERTEX) nodes_[next].prev = NO_VERTEX;
    --live_count_;
    nodes_[v].key = NO_VERTEX;
    return v;
}

void EliminationQueue::update_key(uint32_t v, int64_t change) {
    QueueNode& node = nodes_[v];
    if (node.key == NO_VERTEX) return;
    const uint32_t old_key = node.key;
    const int64_t sum = saturating_add(static_cast<int64_t>(old_key), change);
    const auto new_key = static_cast<uint32_t>(std::clamp<int64_t>(sum, 0, kMaxKey));
    if (new_key == old_key) return;
    const uint64_t old_bucket = bucket_of(old_key);
    const uint64_t new_bucket = bucket_of(new_key);
    node.key = new_key;
    if (old_bucket == new_bucket) return;

    if (node.prev == NO_VERTEX) {
        head_slot(old_bucket) = node.next;
    } else {
        nodes_[node.prev].next = node.next;
    }
    if (node.next != NO_VERTEX) nodes_[node.next].prev = node.prev;
    push_front(new_bucket, v);
    if (new_bucket < min_bucket_) min_bucket_ = new_bucket;
}

void EliminationQueue::remove(uint32_t v) {
    QueueNode& node = nodes_[v];
    if (node.key == NO_VERTEX) return;
    if (node.prev == NO_VERTEX) {
        head_slot(bucket_of(node.key)) = node.next;
    } else {
        nodes_[node.prev].next = node.next;
    }
    if (node.next != NO_VERTEX) nodes_[node.next].prev = node.prev;
    --live_count_;
    node.key = NO_VERTEX;
}

void DegreeDeltas::flush(EliminationQueue& queue) {
    // Most touched vertices change bucket; their bucket neighbours are scattered over the
    // nodes, so start those loads before the relinking needs them.
    for (const uint32_t u : touched_) queue.prefetch_links(u);
    for (const uint32_t u : touched_) {
        const int64_t d = delta_[u];
        delta_[u] = 0;
        if (d != 0) queue.update_key(u, d);
    }
    touched_.clear();
}

}  // namespace vorlane
