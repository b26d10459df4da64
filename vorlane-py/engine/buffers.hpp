// Borrowing NumPy arrays through the buffer protocol: C-contiguous, of one expected element
// type, held (so they cannot be resized or freed) until the borrow ends.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

namespace vorlane_engine {

enum class Element { Float64, Int32, Int64, UInt32 };

class Borrowed {
public:
    Borrowed() = default;
    ~Borrowed() { release(); }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;

    // Sets a TypeError naming `name` and returns false when object is not a C-contiguous
    // buffer of the element type (or not writable, when writable is asked for). Int32 and
    // Int64 each accept either signed width (element() tells which); UInt32 and Float64
    // accept only themselves.
    bool acquire(PyObject* object, Element element, const char* name, bool writable = false);
    void release();
    Element element() const { return element_; }
    uint64_t size() const { return size_; }

    std::span<const double> doubles() const { return {static_cast<const double*>(view_.buf), size_}; }
    std::span<double> writable_doubles() { return {static_cast<double*>(view_.buf), size_}; }
    std::span<const int32_t> int32s() const { return {static_cast<const int32_t*>(view_.buf), size_}; }
    std::span<const int64_t> int64s() const { return {static_cast<const int64_t*>(view_.buf), size_}; }
    std::span<const uint32_t> uint32s() const { return {static_cast<const uint32_t*>(view_.buf), size_}; }
    std::span<uint32_t> writable_uint32s() { return {static_cast<uint32_t*>(view_.buf), size_}; }

private:
    Py_buffer view_{};
    bool held_ = false;
    Element element_ = Element::Float64;
    uint64_t size_ = 0;
};

// Float64 for 'd', UInt32 for a 4-byte unsigned code, else the signed integer width of the
// format; false for anything else.
bool element_of(const char* format, Py_ssize_t itemsize, Element& element);

}  // namespace vorlane_engine
