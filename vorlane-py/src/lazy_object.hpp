// Process-wide Python objects created on first use: the module's types and exception class.
#pragma once

#include "py_ref.hpp"

#include <atomic>

namespace vorlane_py {

// Flags of the module's heap types: immutable where the interpreter supports it.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

// Returns the object held in cell, creating it with make() the first time. If two creations
// race, the first one stored wins and the other is released. Null with an exception set
// when make() fails.
template <class T, class Make>
T* get_or_create(std::atomic<T*>& cell, Make make) {
    if (T* existing = cell.load()) return existing;
    T* created = make();
    if (created == nullptr) return nullptr;
    T* expected = nullptr;
    if (!cell.compare_exchange_strong(expected, created)) {
        Py_DECREF(reinterpret_cast<PyObject*>(created));
        return expected;
    }
    return created;
}

}  // namespace vorlane_py
