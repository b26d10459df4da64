// FNV-1a digests of arrays, for pinning results bit for bit: the core's tests and the factor
// digest harness hash factors and solutions with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlane_problems {

// One digest of the bytes of every array, in the order given.
template <class... T>
uint64_t digest(const std::vector<T>&... arrays) {
    uint64_t h = 1469598103934665603ull;
    const auto mix = [&h](const void* data, size_t bytes) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < bytes; ++i) {
            h ^= p[i];
            h *= 1099511628211ull;
        }
    };
    (mix(arrays.data(), arrays.size() * sizeof(T)), ...);
    return h;
}

}  // namespace vorlane_problems
