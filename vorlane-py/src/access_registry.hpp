// Process-wide registry of array accesses: shared reads and exclusive writes over byte ranges.
#pragma once

#include <cstdint>

namespace vorlane_py {

enum class AccessMode { Shared, Exclusive };

enum class AcquireResult { Acquired, Conflict, NoMemory };

// Holds at most one registered access; the access ends when the guard is released or destroyed.
// Two accesses conflict when their byte ranges intersect and at least one is exclusive, so
// disjoint views of one buffer never conflict. Empty ranges are never registered.
class AccessGuard {
public:
    AccessGuard() noexcept = default;
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    ~AccessGuard() { release(); }

    // Registers [begin, end) in the given mode, unless it conflicts with a registered access.
    // A guard that already holds an access releases it first.
    AcquireResult acquire(uintptr_t begin, uintptr_t end, AccessMode mode) noexcept;
    void release() noexcept;

private:
    uint64_t token_ = 0;  // 0: nothing registered
};

}  // namespace vorlane_py
