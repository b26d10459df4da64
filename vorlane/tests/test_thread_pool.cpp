// The pool runs one call per thread, meets again before returning, survives reuse and passes
// exceptions back to the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "vorlane/thread_pool.hpp"

namespace {

class ThreadPoolSizes : public ::testing::TestWithParam<unsigned> {};

TEST_P(ThreadPoolSizes, EveryThreadRunsOnceAndPartsCoverTheRange) {
    vorlane::ThreadPool pool(GetParam());
    EXPECT_EQ(pool.size(), std::max(GetParam(), 1u));
    std::vector<uint64_t> hits(1000, 0);
    for (int repeat = 0; repeat < 200; ++repeat) {
        std::vector<int> ran(pool.size(), 0);
        pool.run([&](unsigned w) {
            ++ran[w];
            const auto [begin, end] = pool.part(hits.size(), w);
            for (uint64_t i = begin; i < end; ++i) ++hits[i];
        });
        for (int r : ran) ASSERT_EQ(r, 1);
    }
    for (uint64_t h : hits) ASSERT_EQ(h, 200u);
}

TEST_P(ThreadPoolSizes, AnExceptionReachesTheCallerAndThePoolGoesOn) {
    vorlane::ThreadPool pool(GetParam());
    const unsigned last = pool.size() - 1;
    EXPECT_THROW(pool.run([&](unsigned w) {
        if (w == last) throw std::runtime_error("worker failed");
    }),
                 std::runtime_error);
    std::atomic<unsigned> count{0};
    pool.run([&](unsigned) { ++count; });
    EXPECT_EQ(count.load(), pool.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ThreadPoolSizes, ::testing::Values(0u, 1u, 2u, 5u));

}  // namespace
