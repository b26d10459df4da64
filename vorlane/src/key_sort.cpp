// Introsort on 128-bit keys: branch-free partitioning, insertion sort for short runs.
#include "key_sort.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace vorlane {

namespace {

constexpr size_t kShortRun = 16;

void insertion_sort(SortKey* a, size_t n) {
    for (size_t i = 1; i < n; ++i) {
        const SortKey x = a[i];
        size_t j = i;
        while (j > 0 && x < a[j - 1]) {
            a[j] = a[j - 1];
            --j;
        }
        a[j] = x;
    }
}

void introsort(SortKey* a, size_t n, unsigned depth) {
    while (n > kShortRun) {
        if (depth == 0) {
            std::sort(a, a + n);
            return;
        }
        --depth;
        // Median of three as the pivot, parked at the end while the rest is partitioned.
        const size_t mid = n / 2;
        if (a[mid] < a[0]) std::swap(a[mid], a[0]);
        if (a[n - 1] < a[mid]) std::swap(a[n - 1], a[mid]);
        if (a[mid] < a[0]) std::swap(a[mid], a[0]);
        std::swap(a[mid], a[n - 1]);
        const SortKey pivot = a[n - 1];
        // [0, lo) holds keys below the pivot and [lo, i) the others; every key is written
        // back whichever side it belongs to, and only lo depends on the comparison.
        size_t lo = 0;
        for (size_t i = 0; i + 1 < n; ++i) {
            const SortKey x = a[i];
            const size_t below = x < pivot ? 1 : 0;
            a[i] = a[lo];
            a[lo] = x;
            lo += below;
        }
        std::swap(a[lo], a[n - 1]);
        // Recurse into the shorter side, loop on the longer: the stack stays logarithmic.
        const size_t right = n - lo - 1;
        if (lo < right) {
            introsort(a, lo, depth);
            a += lo + 1;
            n = right;
        } else {
            introsort(a + lo + 1, right, depth);
            n = lo;
        }
    }
    insertion_sort(a, n);
}

}  // namespace

void sort_keys(SortKey* keys, size_t n) {
    introsort(keys, n, 2 * static_cast<unsigned>(std::bit_width(n)));
}

}  // namespace vorlane
