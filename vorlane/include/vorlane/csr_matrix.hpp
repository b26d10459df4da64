// A borrowed CSR matrix: the caller's arrays, read while a preconditioner is built and never
// kept.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

namespace vorlane {

// Row i holds col_indices[row_ptrs[i], row_ptrs[i + 1]) with values at the same positions.
// Rows may be unsorted and hold duplicates (they are summed). Index is int32_t or int64_t.
template <class Index>
struct CsrMatrix {
    static_assert(std::is_same_v<Index, int32_t> || std::is_same_v<Index, int64_t>,
                  "CSR indices are int32_t or int64_t");
    uint64_t n = 0;
    std::span<const Index> row_ptrs;
    std::span<const Index> col_indices;
    std::span<const double> values;
};

}  // namespace vorlane
