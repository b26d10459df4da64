// The locality measure and reverse Cuthill-McKee on the checked matrix's structure.
#include "vorlane/renumbering.hpp"

#include <algorithm>
#include <limits>

namespace vorlane {

namespace {

constexpr uint32_t kUnplaced = std::numeric_limits<uint32_t>::max();
// How many places ahead in the queue rows are fetched: in a numbering without locality each
// row is a cache miss, and fetching ahead overlaps them.
constexpr uint64_t kAhead = 16;

bool far_apart(uint64_t a, uint64_t b) { return (a > b ? a - b : b - a) > kFarDistance; }

// Cuthill-McKee: breadth-first from a vertex of least degree in each component, neighbours
// taken by increasing degree. Returns the order reversed (distances, and so the far count,
// are those of the unreversed order), or nothing once more than `budget` off-diagonal
// entries are found far apart in it.
std::vector<uint32_t> cuthill_mckee(const CheckedMatrix& matrix, uint64_t budget) {
    const uint64_t n = matrix.n();
    const auto row_ptrs = matrix.row_ptrs();
    const auto cols = matrix.cols();
    std::vector<uint32_t> degree(n);
    uint64_t max_degree = 0;
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t d = 0;
        for (uint64_t t = row_ptrs[i]; t < row_ptrs[i + 1]; ++t) d += cols[t] != i;
        degree[i] = static_cast<uint32_t>(d);
        max_degree = std::max(max_degree, d);
    }
    // Vertices by increasing degree, ties by number (a counting sort): the BFS starts.
    std::vector<uint64_t> first(max_degree + 2, 0);
    for (uint64_t i = 0; i < n; ++i) ++first[degree[i] + 1];
    for (uint64_t d = 1; d < first.size(); ++d) first[d] += first[d - 1];
    std::vector<uint32_t> starts(n);
    for (uint64_t i = 0; i < n; ++i) starts[first[degree[i]]++] = static_cast<uint32_t>(i);
    first = {};

    // order is the BFS queue: order[0, head) scanned, order[head, placed) waiting.
    std::vector<uint32_t> order(n);
    std::vector<uint32_t> position(n, kUnplaced);
    const auto by_degree = [&](uint32_t a, uint32_t b) { return degree[a] != degree[b] ? degree[a] < degree[b] : a < b; };
    uint64_t placed = 0;
    uint64_t far = 0;
    for (const uint32_t start : starts) {
        if (position[start] != kUnplaced) continue;
        position[start] = static_cast<uint32_t>(placed);
        order[placed++] = start;
        for (uint64_t head = placed - 1; head < placed; ++head) {
            if (head + kAhead < placed) __builtin_prefetch(&row_ptrs[order[head + kAhead]]);
            if (head + kAhead / 2 < placed) __builtin_prefetch(&cols[row_ptrs[order[head + kAhead / 2]]]);
            const uint32_t u = order[head];
            const uint64_t found = placed;
            for (uint64_t t = row_ptrs[u]; t < row_ptrs[u + 1]; ++t) {
                const uint32_t c = cols[t];
                if (position[c] == kUnplaced) {
                    position[c] = 0;
                    order[placed++] = c;
                }
            }
            std::sort(order.begin() + static_cast<std::ptrdiff_t>(found),
                      order.begin() + static_cast<std::ptrdiff_t>(placed), by_degree);
            for (uint64_t p = found; p < placed; ++p) position[order[p]] = static_cast<uint32_t>(p);
            for (uint64_t t = row_ptrs[u]; t < row_ptrs[u + 1]; ++t) far += far_apart(head, position[cols[t]]);
            if (far > budget) return {};
        }
    }
    std::reverse(order.begin(), order.end());
    return order;
}

}  // namespace

std::vector<uint32_t> choose_renumbering(const CheckedMatrix& matrix, Renumber mode) {
    const uint64_t n = matrix.n();
    if (mode == Renumber::Never || n == 0) return {};
    if (mode == Renumber::Always) return cuthill_mckee(matrix, std::numeric_limits<uint64_t>::max());
    // No entry can be far in a matrix this small.
    if (n <= kFarDistance + 1) return {};
    const auto row_ptrs = matrix.row_ptrs();
    const auto cols = matrix.cols();
    uint64_t entries = 0;
    uint64_t far = 0;
    for (uint64_t i = 0; i < n; ++i) {
        for (uint64_t t = row_ptrs[i]; t < row_ptrs[i + 1]; ++t) {
            entries += cols[t] != i;
            far += far_apart(i, cols[t]);
        }
    }
    if (2 * far <= entries) return {};
    return cuthill_mckee(matrix, far / 2);
}

}  // namespace vorlane
