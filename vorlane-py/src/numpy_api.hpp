// Lazy access to NumPy's C interface (through its _ARRAY_API capsule) and the few ABI pieces used.
#pragma once

#include "py_ref.hpp"

#include <cstdint>

namespace vorlane_py::numpy {

using npy_intp = Py_ssize_t;

// Leading fields of an ndarray object; identical in NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline constexpr int kCContiguous = 0x0001;
inline constexpr int kFContiguous = 0x0002;
inline constexpr int kAligned = 0x0100;
inline constexpr int kWriteable = 0x0400;

enum class Dtype { UInt32, Float64 };

// Imports NumPy and loads its C interface on first call. False with an exception set on failure.
bool ensure_loaded();

// The following require a successful ensure_loaded().

// True for an ndarray or an instance of a subclass.
bool is_array(PyObject* object);

inline ArrayFields* fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

// True when the array's dtype is equivalent to the native-byte-order dtype given.
bool has_dtype(PyObject* array, Dtype dtype);

// A new writable 1-D float64 array over `data` (length elements), keeping `owner` alive as its
// base. Steals the reference to owner in every case. Null with an exception set on failure.
PyObject* new_vector_over(double* data, npy_intp length, PyObject* owner);

}  // namespace vorlane_py::numpy
