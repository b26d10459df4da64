// Process-wide registry of array accesses: shared reads and exclusive writes over byte ranges.
#include "access_registry.hpp"

#include <mutex>
#include <new>
#include <vector>

namespace vorlane_py {

namespace {

struct Entry {
    uintptr_t begin;
    uintptr_t end;
    AccessMode mode;
    uint64_t token;
};

// Calls normally hold the interpreter lock, but the mutex keeps the registry sound without it.
struct Registry {
    std::mutex mutex;
    std::vector<Entry> entries;
    uint64_t next_token = 1;
};

Registry& registry() {
    static Registry* instance = new Registry();  // never destroyed: may be used during shutdown
    return *instance;
}

bool conflicts(const Entry& held, uintptr_t begin, uintptr_t end, AccessMode mode) {
    bool intersect = held.begin < end && begin < held.end;
    return intersect && (mode == AccessMode::Exclusive || held.mode == AccessMode::Exclusive);
}

}  // namespace

AcquireResult AccessGuard::acquire(uintptr_t begin, uintptr_t end, AccessMode mode) noexcept {
    release();
    if (begin >= end) {
        return AcquireResult::Acquired;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (const Entry& held : reg.entries) {
        if (conflicts(held, begin, end, mode)) {
            return AcquireResult::Conflict;
        }
    }
    try {
        reg.entries.push_back(Entry{begin, end, mode, reg.next_token});
    } catch (const std::bad_alloc&) {
        return AcquireResult::NoMemory;
    }
    token_ = reg.next_token++;
    return AcquireResult::Acquired;
}

void AccessGuard::release() noexcept {
    if (token_ == 0) {
        return;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (size_t i = 0; i < reg.entries.size(); ++i) {
        if (reg.entries[i].token == token_) {
            reg.entries[i] = reg.entries.back();
            reg.entries.pop_back();
            break;
        }
    }
    token_ = 0;
}

}  // namespace vorlane_py
