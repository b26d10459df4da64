// Huge-page-aligned anonymous mappings for large arrays, operator new for small ones.
#include "vorlane/large_alloc.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstdint>

namespace vorlane {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t round_up(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

#if defined(__linux__)

void* allocate_large(size_t bytes) {
    if (bytes < kHugePage) return ::operator new(bytes);
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    // Over-map by one huge page, then trim both ends so the block starts on a boundary.
    const size_t size = round_up(bytes);
    const size_t mapped = size + kHugePage;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t tail = start + mapped - (aligned + size);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
    // Only a hint: without transparent huge pages the mapping works with small pages.
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void free_large(void* p, size_t bytes) noexcept {
    if (bytes < kHugePage) {
        ::operator delete(p);
    } else {
        munmap(p, round_up(bytes));
    }
}

#else

void* allocate_large(size_t bytes) { return ::operator new(bytes); }
void free_large(void* p, size_t) noexcept { ::operator delete(p); }

#endif

}  // namespace vorlane
