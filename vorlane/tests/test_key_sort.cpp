// The key sort against std::sort over orders that trip up partitioning: sorted, reversed,
// organ-pipe, many equal keys, and keys differing only in their low or high half.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "helpers.hpp"
#include "key_sort.hpp"

namespace {

using vorlane::SortKey;

enum class Pattern { Random, Sorted, Reversed, OrganPipe, FewDistinct, LowHalfOnly, HighHalfOnly };

std::vector<SortKey> make_keys(Pattern p, size_t n, vt::Rng& rng) {
    std::vector<SortKey> keys(n);
    for (size_t i = 0; i < n; ++i) {
        const SortKey high = rng.next();
        const SortKey low = rng.next();
        switch (p) {
            case Pattern::FewDistinct: keys[i] = (SortKey{rng.below(3)} << 64) | rng.below(2); break;
            case Pattern::LowHalfOnly: keys[i] = (SortKey{7} << 64) | low; break;
            case Pattern::HighHalfOnly: keys[i] = high << 64; break;
            default: keys[i] = (high << 64) | low; break;
        }
    }
    if (p == Pattern::Sorted || p == Pattern::OrganPipe) std::sort(keys.begin(), keys.end());
    if (p == Pattern::Reversed) std::sort(keys.rbegin(), keys.rend());
    if (p == Pattern::OrganPipe) std::reverse(keys.begin() + static_cast<long>(n / 2), keys.end());
    return keys;
}

class KeySort : public ::testing::TestWithParam<Pattern> {};

TEST_P(KeySort, MatchesStdSortAtEverySize) {
    vt::Rng rng(static_cast<uint64_t>(GetParam()) + 1);
    for (const size_t n : std::vector<size_t>{0, 1, 2, 3, 15, 16, 17, 33, 100, 257, 1000, 5000}) {
        std::vector<SortKey> keys = make_keys(GetParam(), n, rng);
        std::vector<SortKey> expect = keys;
        std::sort(expect.begin(), expect.end());
        vorlane::sort_keys(keys.data(), keys.size());
        ASSERT_TRUE(keys == expect) << "n = " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, KeySort,
                         ::testing::Values(Pattern::Random, Pattern::Sorted, Pattern::Reversed, Pattern::OrganPipe,
                                           Pattern::FewDistinct, Pattern::LowHalfOnly, Pattern::HighHalfOnly));

}  // namespace
