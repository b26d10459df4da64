// The minimum-degree bucket queue and the batched key changes, checked against a model that
// keeps every bucket as an explicit list and against a naive minimum search.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <limits>
#include <map>
#include <new>
#include <vector>

#include "alloc_probe.hpp"
#include "helpers.hpp"
#include "ordering.hpp"
#include "vorlane/builder.hpp"

namespace {

using vorlane::DegreeDeltas;
using vorlane::EliminationQueue;
using vorlane::kMaxKey;
using vorlane::NO_VERTEX;

// The queue as the rules describe it, with every bucket an explicit list (front = head).
class ModelQueue {
public:
    ModelQueue(uint64_t n, const std::vector<uint64_t>& keys, uint64_t k) : key_(n) {
        w_ = std::max<uint64_t>(k * n, 1);
        max_ = 2 * w_;
        uint64_t lowest = UINT64_MAX;
        for (uint32_t v = 0; v < n; ++v) {
            key_[v] = static_cast<uint32_t>(std::min<uint64_t>(keys[v], kMaxKey));
            const uint64_t b = bucket_of(key_[v]);
            buckets_[b].push_front(v);
            lowest = std::min(lowest, b);
        }
        live_ = n;
        min_bucket_ = n == 0 ? 0 : lowest;
    }

    uint64_t bucket_of(uint64_t key) const { return key <= w_ ? key : std::min(max_, w_ + key / w_); }

    uint32_t pop() {
        if (live_ == 0) return NO_VERTEX;
        auto it = buckets_.lower_bound(min_bucket_);
        while (it != buckets_.end() && it->second.empty()) ++it;
        if (it == buckets_.end()) return NO_VERTEX;
        min_bucket_ = it->first;
        const uint32_t v = it->second.front();
        it->second.pop_front();
        --live_;
        key_[v] = NO_VERTEX;
        return v;
    }

    void update(uint32_t v, int64_t change) {
        if (key_[v] == NO_VERTEX) return;
        const uint32_t old = key_[v];
        // The exact sum, clamped to 0 .. kMaxKey.
        uint32_t now = old;
        if (change > 0) {
            now = static_cast<uint64_t>(change) >= kMaxKey - old ? kMaxKey : old + static_cast<uint32_t>(change);
        } else if (change < 0) {
            const uint64_t drop = static_cast<uint64_t>(-(change + 1)) + 1;
            now = drop >= old ? 0 : old - static_cast<uint32_t>(drop);
        }
        if (now == old) return;
        const uint64_t ob = bucket_of(old), nb = bucket_of(now);
        key_[v] = now;
        if (ob == nb) return;
        auto& from = buckets_[ob];
        from.erase(std::find(from.begin(), from.end(), v));
        buckets_[nb].push_front(v);
        if (nb < min_bucket_) min_bucket_ = nb;
    }

    uint32_t key(uint32_t v) const { return key_[v]; }
    uint64_t live() const { return live_; }
    uint64_t min_bucket() const { return min_bucket_; }
    uint64_t w() const { return w_; }

private:
    uint64_t w_ = 1, max_ = 2, live_ = 0, min_bucket_ = 0;
    std::vector<uint32_t> key_;
    std::map<uint64_t, std::deque<uint32_t>> buckets_;
};

// The batched changes as the rules describe them.
struct ModelDeltas {
    std::vector<int64_t> delta;
    std::vector<uint32_t> touched;
    explicit ModelDeltas(uint64_t n) : delta(n, 0) {}
    void add(uint32_t v, int64_t c) {
        if (delta[v] == 0) touched.push_back(v);
        delta[v] += c;
    }
    void flush(ModelQueue& q) {
        for (uint32_t u : touched) {
            const int64_t d = delta[u];
            delta[u] = 0;
            if (d != 0) q.update(u, d);
        }
        touched.clear();
    }
};

struct QueueCase {
    const char* name;
    uint32_t n;
    uint64_t k;
    uint64_t key_range;  // initial keys and typical changes are drawn below this
    uint64_t seed;
};

void PrintTo(const QueueCase& c, std::ostream* os) { *os << c.name; }

class QueueAgainstModel : public ::testing::TestWithParam<QueueCase> {};

TEST_P(QueueAgainstModel, RandomKeyChangesPopsAndFlushes) {
    const QueueCase& c = GetParam();
    vt::Rng rng(c.seed);
    std::vector<uint64_t> keys(c.n);
    for (auto& key : keys) key = rng.chance(0.02) ? kMaxKey + rng.below(1000) : rng.below(c.key_range);
    EliminationQueue q(c.n, keys, c.k);
    ModelQueue m(c.n, keys, c.k);
    DegreeDeltas d(c.n);
    ModelDeltas md(c.n);
    ASSERT_EQ(q.linear_limit(), m.w());
    ASSERT_EQ(q.max_bucket(), 2 * m.w());
    ASSERT_GE(q.stored_buckets(), q.bucket_of(kMaxKey) + 1) << "every reachable bucket must exist";
    ASSERT_LE(q.stored_buckets(), q.max_bucket() + 1);

    auto random_change = [&]() -> int64_t {
        const double r = rng.uniform();
        const auto range = static_cast<int64_t>(c.key_range);
        if (r < 0.6) return static_cast<int64_t>(rng.below(7)) - 3;
        if (r < 0.9) return static_cast<int64_t>(rng.below(static_cast<uint64_t>(2 * range + 1))) - range;
        if (r < 0.95) return rng.chance(0.5) ? (int64_t{1} << 40) : -(int64_t{1} << 40);
        return rng.chance(0.5) ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    };

    // Pops one vertex from both, and checks it against a naive search over the live keys:
    // nothing live sits in a lower bucket, and an exact bucket holds the minimum key.
    auto pop_both = [&](int op) -> uint32_t {
        uint64_t lowest_bucket = UINT64_MAX;
        uint32_t lowest_key = NO_VERTEX;
        std::vector<uint32_t> before(c.n);
        for (uint32_t u = 0; u < c.n; ++u) {
            before[u] = m.key(u);
            if (before[u] == NO_VERTEX) continue;
            lowest_bucket = std::min(lowest_bucket, m.bucket_of(before[u]));
            lowest_key = std::min(lowest_key, before[u]);
        }
        const uint32_t expect = m.pop();
        const uint32_t got = q.pop_min();
        EXPECT_EQ(got, expect) << "op " << op;
        if (got == NO_VERTEX) {
            EXPECT_EQ(lowest_key, NO_VERTEX) << "queue reported empty with live vertices";
            return got;
        }
        EXPECT_EQ(q.key(got), NO_VERTEX);
        EXPECT_EQ(m.bucket_of(before[got]), lowest_bucket) << "op " << op;
        if (before[got] <= m.w()) {
            EXPECT_EQ(before[got], lowest_key) << "op " << op;
        }
        return got;
    };

    // Pops are spread so that most of the run works on a well-filled queue.
    const int ops = 4000;
    const double pop_rate = 0.8 * c.n / ops;
    uint64_t pops = 0;
    for (int op = 0; op < ops; ++op) {
        if (rng.chance(pop_rate)) {
            if (pop_both(op) == NO_VERTEX) break;
            ++pops;
            ASSERT_FALSE(HasFailure());
            continue;
        }
        const auto v = static_cast<uint32_t>(rng.below(c.n));
        if (rng.chance(0.55)) {
            const int64_t change = random_change();
            q.update_key(v, change);
            m.update(v, change);
        } else {
            // One step's worth of batched changes, some cancelling out.
            const uint64_t count = 1 + rng.below(6);
            for (uint64_t i = 0; i < count; ++i) {
                const auto u = rng.chance(0.5) ? v : static_cast<uint32_t>(rng.below(c.n));
                // Batched changes come from edge counts: large, but far from the int64 range.
                int64_t change = rng.chance(0.3) ? -1 : random_change();
                change = std::clamp<int64_t>(change, -(int64_t{1} << 40), int64_t{1} << 40);
                d.add(u, change);
                md.add(u, change);
                ASSERT_EQ(d.touched(), md.touched);
            }
            d.flush(q);
            md.flush(m);
            ASSERT_TRUE(d.touched().empty());
            for (uint32_t u = 0; u < c.n; ++u) ASSERT_EQ(d.pending(u), 0);
        }
        ASSERT_EQ(q.min_bucket(), m.min_bucket()) << "op " << op;
        ASSERT_EQ(q.live_count(), m.live());
        for (uint32_t u = 0; u < c.n; ++u) ASSERT_EQ(q.key(u), m.key(u)) << "op " << op << " vertex " << u;
    }
    while (pop_both(-1) != NO_VERTEX) {
        ++pops;
        ASSERT_FALSE(HasFailure());
    }
    EXPECT_EQ(q.live_count(), 0u);
    EXPECT_EQ(pops, c.n);
    EXPECT_EQ(q.pop_min(), NO_VERTEX);
}

INSTANTIATE_TEST_SUITE_P(Shapes, QueueAgainstModel,
                         ::testing::Values(QueueCase{"exact_buckets_many_ties", 50, 1, 8, 1},
                                           QueueCase{"coarse_buckets", 50, 1, 5000, 2},
                                           QueueCase{"split_multiplier", 20, 3, 2000, 3},
                                           QueueCase{"keys_near_the_top", 8, 1, kMaxKey, 4},
                                           QueueCase{"single_vertex", 1, 1, 5, 5},
                                           QueueCase{"wide_split", 40, 1000, 100000, 6},
                                           QueueCase{"larger_exact", 300, 2, 60, 7}),
                         [](const auto& tp) { return std::string(tp.param.name); });

std::vector<uint32_t> drain(EliminationQueue& q) {
    std::vector<uint32_t> out;
    for (uint32_t v = q.pop_min(); v != NO_VERTEX; v = q.pop_min()) out.push_back(v);
    return out;
}

TEST(EliminationQueue, EmptyQueueHasThreeEmptyBuckets) {
    EliminationQueue q(0, std::vector<uint64_t>{}, 1);
    EXPECT_EQ(q.linear_limit(), 1u);
    EXPECT_EQ(q.max_bucket(), 2u);
    EXPECT_EQ(q.stored_buckets(), 3u);
    EXPECT_EQ(q.min_bucket(), 0u);
    EXPECT_EQ(q.live_count(), 0u);
    EXPECT_EQ(q.pop_min(), NO_VERTEX);
}

TEST(EliminationQueue, EqualKeysComeOutInDecreasingIndex) {
    EliminationQueue q(3, std::vector<uint64_t>{2, 1, 1}, 1);
    EXPECT_EQ(drain(q), (std::vector<uint32_t>{2, 1, 0}));
    EliminationQueue ties(5, std::vector<uint64_t>{0, 0, 0, 0, 0}, 4);
    EXPECT_EQ(drain(ties), (std::vector<uint32_t>{4, 3, 2, 1, 0}));
}

TEST(EliminationQueue, CoarseBucketsOfASmallQueue) {
    EliminationQueue q(3, std::vector<uint64_t>{4, 4, 9}, 1);
    ASSERT_EQ(q.linear_limit(), 3u);
    ASSERT_EQ(q.max_bucket(), 6u);
    const std::vector<std::pair<uint64_t, uint64_t>> mapping{{0, 0}, {1, 1}, {3, 3}, {4, 4}, {5, 4}, {6, 5},
                                                             {8, 5}, {9, 6}, {100, 6}, {kMaxKey, 6}};
    for (const auto& [key, bucket] : mapping) EXPECT_EQ(q.bucket_of(key), bucket) << "key " << key;
    // 4 -> 5 stays in bucket 4 and keeps its place behind vertex 1.
    q.update_key(0, 1);
    EXPECT_EQ(q.key(0), 5u);
    EXPECT_EQ(drain(q), (std::vector<uint32_t>{1, 0, 2}));

    // 4 -> 3 changes bucket, so vertex 0 now comes first.
    EliminationQueue moved(3, std::vector<uint64_t>{4, 4, 9}, 1);
    moved.update_key(0, -1);
    EXPECT_EQ(drain(moved), (std::vector<uint32_t>{0, 1, 2}));

    // Coarse bucket 5 holds keys 6 to 8; a move inside it keeps the order of insertion.
    EliminationQueue coarse(3, std::vector<uint64_t>{6, 8, 7}, 1);
    coarse.update_key(0, 2);
    EXPECT_EQ(drain(coarse), (std::vector<uint32_t>{2, 1, 0}));
}

TEST(EliminationQueue, KeysAreClampedToTheirRange) {
    const uint64_t too_big = uint64_t{1} << 40;
    EliminationQueue q(4, std::vector<uint64_t>{3, 3, too_big, 0xFFFFFFFFull}, 1);
    EXPECT_EQ(q.key(2), kMaxKey);
    EXPECT_EQ(q.key(3), kMaxKey);
    q.update_key(0, -100);
    EXPECT_EQ(q.key(0), 0u);
    q.update_key(1, int64_t{1} << 40);
    EXPECT_EQ(q.key(1), kMaxKey);
    q.update_key(0, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(q.key(0), 0u);
    q.update_key(1, std::numeric_limits<int64_t>::max());
    EXPECT_EQ(q.key(1), kMaxKey);
    q.update_key(2, -static_cast<int64_t>(kMaxKey) + 7);
    EXPECT_EQ(q.key(2), 7u);
    // Vertex 1 joined the last bucket after vertex 3, so it sits at the head.
    EXPECT_EQ(drain(q), (std::vector<uint32_t>{0, 2, 1, 3}));
}

TEST(EliminationQueue, ZeroChangesAndPoppedVerticesChangeNothing) {
    EliminationQueue q(4, std::vector<uint64_t>{1, 1, 1, 1}, 1);
    q.update_key(1, 0);  // a no-op must not move vertex 1 to the head
    EXPECT_EQ(q.pop_min(), 3u);
    q.update_key(3, -1);  // popped: ignored, not re-queued
    EXPECT_EQ(q.key(3), NO_VERTEX);
    EXPECT_EQ(q.live_count(), 3u);
    EXPECT_EQ(drain(q), (std::vector<uint32_t>{2, 1, 0}));
}

TEST(EliminationQueue, MovingIntoALowerBucketLowersMinBucket) {
    EliminationQueue q(3, std::vector<uint64_t>{5, 5, 5}, 1);
    EXPECT_EQ(q.min_bucket(), 4u);
    EXPECT_EQ(q.pop_min(), 2u);
    q.update_key(0, -4);
    EXPECT_EQ(q.min_bucket(), 1u);
    EXPECT_EQ(q.pop_min(), 0u);
    EXPECT_EQ(q.pop_min(), 1u);
    EXPECT_EQ(q.pop_min(), NO_VERTEX);
}

TEST(DegreeDeltas, CancelledChangeIsListedTwiceAndAppliedOnce) {
    EliminationQueue q(3, std::vector<uint64_t>{3, 3, 3}, 1);
    DegreeDeltas d(3);
    d.add(0, 1);
    d.add(0, -1);
    EXPECT_EQ(d.pending(0), 0);
    d.add(0, 2);
    EXPECT_EQ(d.touched(), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(d.pending(0), 2);
    d.flush(q);
    EXPECT_EQ(q.key(0), 5u);
    EXPECT_TRUE(d.touched().empty());
    EXPECT_EQ(d.pending(0), 0);
    // A change that cancels out leaves the vertex where it was.
    d.add(2, 4);
    d.add(2, -4);
    d.flush(q);
    EXPECT_EQ(q.key(2), 3u);
    EXPECT_EQ(drain(q), (std::vector<uint32_t>{2, 1, 0}));
}

TEST(DegreeDeltas, FlushAppliesChangesInOrderOfFirstTouch) {
    EliminationQueue q(3, std::vector<uint64_t>{1, 1, 1}, 1);
    DegreeDeltas d(3);
    d.add(0, 2);
    d.add(1, 1);
    d.add(1, 1);
    d.flush(q);
    // Both moved to bucket 3; vertex 1 was moved last, so it is the head.
    EXPECT_EQ(drain(q), (std::vector<uint32_t>{2, 1, 0}));
}

// Runs in a child process whose address space is capped, so that an attempt to allocate a
// huge bucket array fails quickly instead of exhausting the machine.
void cap_address_space(uint64_t bytes) {
    rlimit lim{bytes, bytes};
    if (setrlimit(RLIMIT_AS, &lim) != 0) std::exit(90);
}

void huge_split_queue_child() {
    cap_address_space(uint64_t{3} << 30);
    const uint64_t n = uint64_t{1} << 20;
    const uint64_t k = uint64_t{1} << 31;
    std::vector<uint64_t> keys(n);
    for (uint64_t v = 0; v < n; ++v) keys[v] = (v * 7919) % 1000 + 1;
    keys[12345] = 0;
    vt::reset_largest_allocation_request();
    try {
        EliminationQueue q(n, keys, k);
        if (q.linear_limit() != (uint64_t{1} << 51) || q.max_bucket() != (uint64_t{1} << 52)) std::exit(2);
        if (q.stored_buckets() > (uint64_t{1} << 32)) std::exit(3);
        if (q.pop_min() != 12345) std::exit(4);
        q.update_key(0, int64_t{1} << 40);
        if (q.key(0) != kMaxKey) std::exit(5);
    } catch (const std::bad_alloc&) {
        // Refusing is fine, as long as the request was for the reachable buckets only: no key
        // exceeds 0xFFFFFFFE, so more than 2^32 four-byte heads are never needed.
    }
    if (vt::largest_allocation_request() > (uint64_t{1} << 34)) std::exit(6);
    std::exit(0);
}

TEST(EliminationQueueDeathTest, HugeSplitTimesDimensionNeitherOverflowsNorAsksForAllBuckets) {
    if (!vt::allocation_probe_active()) GTEST_SKIP() << "address-space caps do not mix with the sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(huge_split_queue_child(), ::testing::ExitedWithCode(0), "");
}

void huge_split_factor_child() {
    cap_address_space(uint64_t{3} << 30);
    const vt::Csr m = vt::path(3, 1);
    const auto result = vorlane::build_factor(m.rp(), m.ci(), m.va(), m.n, vt::split_config(1u << 31));
    if (result.has_value()) {
        std::exit(vt::factor_invariants(result.value()) ? 0 : 7);
    }
    std::exit(std::holds_alternative<vorlane::OutOfMemory>(result.error()) ? 0 : 8);
}

TEST(EliminationQueueDeathTest, HugeSplitReportsMemoryExhaustionAsAValue) {
    if (!vt::allocation_probe_active()) GTEST_SKIP() << "address-space caps do not mix with the sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(huge_split_factor_child(), ::testing::ExitedWithCode(0), "");
}

TEST(EliminationQueue, LargeSplitKeepsOnlyReachableBuckets) {
    // w = 3 * 2^20: keys up to 0xFFFFFFFE reach bucket w + 1365 at most.
    EliminationQueue q(3, std::vector<uint64_t>{kMaxKey, 5, uint64_t{1} << 30}, uint64_t{1} << 20);
    const uint64_t w = 3ull << 20;
    EXPECT_EQ(q.linear_limit(), w);
    EXPECT_EQ(q.max_bucket(), 2 * w);
    EXPECT_EQ(q.bucket_of(kMaxKey), w + kMaxKey / w);
    EXPECT_GE(q.stored_buckets(), q.bucket_of(kMaxKey) + 1);
    EXPECT_EQ(q.bucket_of(uint64_t{1} << 30), w + (uint64_t{1} << 30) / w);
    q.update_key(1, static_cast<int64_t>(kMaxKey));
    EXPECT_EQ(q.key(1), kMaxKey);
    // Keys 2^30 and 0xFFFFFFFE fall in different coarse buckets; the two kMaxKey ones share one.
    EXPECT_EQ(drain(q), (std::vector<uint32_t>{2, 1, 0}));
}

}  // namespace

namespace {

TEST(DegreeDeltas, PendingChangeSaturatesInsteadOfWrapping) {
    vorlane::DegreeDeltas deltas(2);
    deltas.add(0, std::numeric_limits<int64_t>::max());
    deltas.add(0, 5);
    EXPECT_EQ(deltas.pending(0), std::numeric_limits<int64_t>::max());
    deltas.add(1, std::numeric_limits<int64_t>::min());
    deltas.add(1, -5);
    EXPECT_EQ(deltas.pending(1), std::numeric_limits<int64_t>::min());
}

}  // namespace
