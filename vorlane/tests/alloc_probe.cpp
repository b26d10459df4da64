// Replaces the global operator new of the test binary with a malloc-based one that records
// the largest request. Sanitizer builds keep the sanitizer's own operator new.
#include "alloc_probe.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VT_SANITIZED 1
#endif
#endif

namespace {
std::atomic<size_t> g_largest{0};
std::atomic<size_t> g_count{0};
}

namespace vt {

#ifdef VT_SANITIZED
bool allocation_probe_active() { return false; }
#else
bool allocation_probe_active() { return true; }
#endif
size_t largest_allocation_request() { return g_largest.load(); }
void reset_largest_allocation_request() { g_largest.store(0); }
size_t allocation_count() { return g_count.load(); }
void reset_allocation_count() { g_count.store(0); }

}  // namespace vt

#ifndef VT_SANITIZED
void* operator new(size_t size) {
    g_count.fetch_add(1, std::memory_order_relaxed);
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (size > seen && !g_largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif
