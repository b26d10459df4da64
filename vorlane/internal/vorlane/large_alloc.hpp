// Storage for the large per-vertex arrays and list pools of a factorization, on huge pages.
//
// Elimination reads and writes these arrays at scattered vertices; over hundreds of
// megabytes most of those accesses would miss the TLB with 4 KiB pages. Allocations of at
// least one huge page are mapped on their own, aligned to the huge-page size, and marked
// for transparent huge pages where the system offers them; smaller ones use operator new.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace vorlane {

// Returns storage for bytes; throws std::bad_alloc. Release it with the same size.
void* allocate_large(size_t bytes);
void free_large(void* p, size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_large(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { free_large(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace vorlane
