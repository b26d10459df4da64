// Checked, typed views of NumPy array arguments, and the access each call holds on them.
#include "array_args.hpp"

#include "errors.hpp"

namespace vorlane_py {

namespace {

// Byte extent of a strided 1-D array, saturating at the ends of the address space.
void compute_extent(Vector& vector, numpy::npy_intp stride) {
    if (vector.length == 0) {
        vector.begin = vector.end = reinterpret_cast<uintptr_t>(vector.data);
        return;
    }
    const auto base = reinterpret_cast<uintptr_t>(vector.data);
    const uint64_t steps = vector.length - 1;
    const uint64_t magnitude = stride < 0 ? 0 - static_cast<uint64_t>(stride) : static_cast<uint64_t>(stride);
    uint64_t span = 0;
    if (__builtin_mul_overflow(steps, magnitude, &span)) {
        span = UINT64_MAX;
    }
    if (stride < 0) {
        vector.begin = span > base ? 0 : base - span;
        vector.end = base + vector.item_size;
    } else {
        vector.begin = base;
        uintptr_t last = 0;
        if (__builtin_add_overflow(base, span, &last) || __builtin_add_overflow(last, vector.item_size, &vector.end)) {
            vector.end = UINTPTR_MAX;
        }
    }
}

}  // namespace

bool as_vector(PyObject* object, numpy::Dtype dtype, const char* name, Vector& out) {
    if (!numpy::ensure_loaded()) {
        return false;
    }
    if (!numpy::is_array(object) || numpy::fields(object)->nd != 1 || !numpy::has_dtype(object, dtype)) {
        raise_cannot_convert(name, object, "PyArray<T, D>");
        return false;
    }
    const numpy::ArrayFields* array = numpy::fields(object);
    out.object = object;
    out.data = array->data;
    out.length = static_cast<uint64_t>(array->dimensions[0]);
    out.item_size = dtype == numpy::Dtype::UInt32 ? 4 : 8;
    out.contiguous = (array->flags & (numpy::kCContiguous | numpy::kFContiguous)) != 0 && array->data != nullptr;
    out.writeable = (array->flags & numpy::kWriteable) != 0;
    compute_extent(out, array->strides[0]);
    return true;
}

bool acquire_access(AccessGuard& guard, const Vector& vector, AccessMode mode, const char* name) {
    switch (guard.acquire(vector.begin, vector.end, mode)) {
        case AcquireResult::Acquired:
            return true;
        case AcquireResult::Conflict:
            PyErr_Format(PyExc_BufferError, "%s is already borrowed", name);
            return false;
        case AcquireResult::NoMemory:
            PyErr_NoMemory();
            return false;
    }
    return false;
}

}  // namespace vorlane_py
