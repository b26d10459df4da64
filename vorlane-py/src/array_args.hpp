// Checked, typed views of NumPy array arguments, and the access each call holds on them.
#pragma once

#include "py_ref.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "access_registry.hpp"
#include "numpy_api.hpp"

namespace vorlane_py {

// A one-dimensional NumPy array argument of a known element type. Borrows the object.
struct Vector {
    PyObject* object = nullptr;
    char* data = nullptr;
    uint64_t length = 0;      // number of elements
    size_t item_size = 0;     // bytes per element
    bool contiguous = false;  // C or Fortran contiguous, with a data pointer
    bool writeable = false;
    uintptr_t begin = 0;  // byte extent of the elements, [begin, end); empty when length is 0
    uintptr_t end = 0;
};

// Accepts a one-dimensional ndarray (or subclass) whose dtype is equivalent to `dtype` in
// native byte order. Otherwise raises TypeError
// "argument '<name>': '<type>' object cannot be converted to 'PyArray<T, D>'".
// Loads the NumPy C interface if needed. Returns false with an exception set on failure.
bool as_vector(PyObject* object, numpy::Dtype dtype, const char* name, Vector& out);

// Registers the vector's extent in the access registry. A conflict raises BufferError
// "<name> is already borrowed"; returns false with an exception set on failure.
bool acquire_access(AccessGuard& guard, const Vector& vector, AccessMode mode, const char* name);

// The elements of a contiguous vector as a typed span: the array's own memory when it is
// suitably aligned, otherwise an aligned copy placed in `storage`.
template <class T>
std::span<const T> aligned_elements(const Vector& vector, std::vector<T>& storage) {
    const auto count = static_cast<size_t>(vector.length);
    if (count == 0) {
        return {};
    }
    if (reinterpret_cast<uintptr_t>(vector.data) % alignof(T) == 0) {
        return {reinterpret_cast<const T*>(vector.data), count};
    }
    storage.resize(count);
    std::memcpy(storage.data(), vector.data, count * sizeof(T));
    return {storage.data(), count};
}

}  // namespace vorlane_py
