// The Factor class: owns a finished factorization and solves with it.
#include "factor.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "access_registry.hpp"
#include "args.hpp"
#include "array_args.hpp"
#include "errors.hpp"
#include "lazy_object.hpp"

namespace vorlane_py {

namespace {

struct FactorObject {
    PyObject_HEAD
    vorlane::CoreFactor* factor;  // owned
    uint64_t original_n;
};

FactorObject* as_factor(PyObject* object) { return reinterpret_cast<FactorObject*>(object); }

// ---- result buffers ----

constexpr const char* kBufferCapsuleName = "_vorlane.solve_buffer";

struct FreeDeleter {
    void operator()(double* buffer) const noexcept { std::free(buffer); }
};
using Buffer = std::unique_ptr<double, FreeDeleter>;

// A zero-filled buffer of `count` doubles (at least one, so the pointer is never null).
// Null with MemoryError set on failure.
Buffer allocate_buffer(uint64_t count) {
    const uint64_t elements = count == 0 ? 1 : count;
    if (elements > SIZE_MAX / sizeof(double)) {
        PyErr_NoMemory();
        return nullptr;
    }
    Buffer buffer(static_cast<double*>(std::calloc(static_cast<size_t>(elements), sizeof(double))));
    if (!buffer) {
        PyErr_NoMemory();
    }
    return buffer;
}

void free_buffer_capsule(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, kBufferCapsuleName));
}

// A new 1-D float64 array viewing the first `length` elements of the buffer; the array's base
// is a capsule that owns the whole buffer and frees it when the array is collected.
PyObject* array_owning_buffer(Buffer buffer, uint64_t length) {
    PyObject* capsule = PyCapsule_New(buffer.get(), kBufferCapsuleName, free_buffer_capsule);
    if (capsule == nullptr) {
        return nullptr;
    }
    double* data = buffer.release();
    return numpy::new_vector_over(data, static_cast<numpy::npy_intp>(length), capsule);
}

// ---- solves ----

std::span<const double> rhs_elements(const Vector& rhs, std::vector<double>& storage) {
    return aligned_elements<double>(rhs, storage);
}

bool check_rhs(const FactorObject* self, const Vector& rhs) {
    if (!rhs.contiguous) {
        PyErr_SetString(PyExc_ValueError, "b must be contiguous");
        return false;
    }
    if (rhs.length > self->factor->n) {
        raise_solve_error(vorlane::solve_error::RhsTooLong{rhs.length, self->factor->n});
        return false;
    }
    return true;
}

bool run_solve(const FactorObject* self, std::span<const double> rhs, std::span<double> work) {
    if (auto error = vorlane::solve_into_buffer(*self->factor, rhs, work)) {
        raise_solve_error(*error);
        return false;
    }
    return true;
}

// solve, matvec and rmatvec: one operation whose argument is named differently.
PyObject* solve_to_new_array(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             const Signature& signature) {
    FactorObject* self = as_factor(object);
    const char* name = signature.names[0];
    PyObject* bound[1];
    if (!bind_fastcall(signature, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    Vector rhs;
    AccessGuard rhs_access;
    if (!as_vector(bound[0], numpy::Dtype::Float64, name, rhs) ||
        !acquire_access(rhs_access, rhs, AccessMode::Shared, name) || !check_rhs(self, rhs)) {
        return nullptr;
    }
    const uint64_t n = self->factor->n;
    Buffer buffer = allocate_buffer(n);
    if (!buffer) {
        return nullptr;
    }
    std::vector<double> aligned_rhs;
    if (!run_solve(self, rhs_elements(rhs, aligned_rhs), {buffer.get(), static_cast<size_t>(n)})) {
        return nullptr;
    }
    return array_owning_buffer(std::move(buffer), self->original_n);
}

bool ranges_overlap(const Vector& a, const Vector& b) {
    return a.length != 0 && b.length != 0 && a.begin < b.end && b.begin < a.end;
}

bool acquire_write_access(AccessGuard& guard, const Vector& out) {
    if (!out.writeable) {
        PyErr_SetString(PyExc_ValueError, "out must be writeable");
        return false;
    }
    return acquire_access(guard, out, AccessMode::Exclusive, "out");
}

PyObject* solve_into(PyObject* object, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"b", "out"};
    static const Signature signature{"Factor.solve_into", names, 2, 2};
    FactorObject* self = as_factor(object);
    PyObject* bound[2];
    if (!bind_fastcall(signature, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    Vector rhs;
    AccessGuard rhs_access;
    if (!as_vector(bound[0], numpy::Dtype::Float64, "b", rhs) ||
        !acquire_access(rhs_access, rhs, AccessMode::Shared, "b")) {
        return nullptr;
    }
    Vector out;
    if (!as_vector(bound[1], numpy::Dtype::Float64, "out", out) || !check_rhs(self, rhs)) {
        return nullptr;
    }

    const uint64_t n = self->factor->n;
    const uint64_t original_n = self->original_n;
    {
        AccessGuard out_read;
        if (!acquire_access(out_read, out, AccessMode::Shared, "out")) {
            return nullptr;
        }
        if (!out.contiguous) {
            PyErr_SetString(PyExc_ValueError, "out must be contiguous");
            return nullptr;
        }
        if (out.length < original_n) {
            PyErr_Format(PyExc_ValueError, "out length %llu is smaller than original matrix dimension %llu",
                         static_cast<unsigned long long>(out.length), static_cast<unsigned long long>(original_n));
            return nullptr;
        }
        if (ranges_overlap(rhs, out)) {
            PyErr_SetString(PyExc_ValueError, "b and out must not overlap");
            return nullptr;
        }
    }

    std::vector<double> aligned_rhs;
    const std::span<const double> rhs_span = rhs_elements(rhs, aligned_rhs);
    const bool out_aligned = reinterpret_cast<uintptr_t>(out.data) % alignof(double) == 0;
    AccessGuard out_write;
    if (n == original_n && out_aligned) {
        // Solve in place: out is at least n long.
        if (!acquire_write_access(out_write, out)) {
            return nullptr;
        }
        if (!run_solve(self, rhs_span, {reinterpret_cast<double*>(out.data), static_cast<size_t>(out.length)})) {
            return nullptr;
        }
    } else {
        // Augmented factor (or a misaligned out): solve into scratch, then copy the answer.
        Buffer scratch = allocate_buffer(n);
        if (!scratch || !run_solve(self, rhs_span, {scratch.get(), static_cast<size_t>(n)})) {
            return nullptr;
        }
        if (!acquire_write_access(out_write, out)) {
            return nullptr;
        }
        if (original_n != 0) {
            std::memcpy(out.data, scratch.get(), static_cast<size_t>(original_n) * sizeof(double));
        }
    }
    Py_RETURN_NONE;
}

// ---- methods and getters ----

#define VORLANE_SOLVE_METHOD(method, argument)                                                             \
    PyObject* method##_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        static const char* const names[] = {argument};                                                    \
        static const Signature signature{"Factor." #method, names, 1, 1};                                 \
        return run_guarded<PyObject*>(nullptr, [&] {                                                       \
            return solve_to_new_array(self, args, nargs, kwnames, signature);                              \
        });                                                                                                \
    }

VORLANE_SOLVE_METHOD(matvec, "x")
VORLANE_SOLVE_METHOD(rmatvec, "x")
VORLANE_SOLVE_METHOD(solve, "b")
#undef VORLANE_SOLVE_METHOD

PyObject* solve_into_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_guarded<PyObject*>(nullptr, [&] { return solve_into(self, args, nargs, kwnames); });
}

PyObject* factor_new(PyTypeObject* type, PyObject*, PyObject*) {
    return run_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* name = std::strrchr(type->tp_name, '.');
        PyErr_Format(PyExc_TypeError, "No constructor defined for %s", name == nullptr ? type->tp_name : name + 1);
        return nullptr;
    });
}

void factor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_factor(self)->factor;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* factor_get_n(PyObject* self, void*) {
    return run_guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(as_factor(self)->factor->n); });
}

PyObject* factor_get_n_steps(PyObject* self, void*) {
    return run_guarded<PyObject*>(nullptr,
                                  [&] { return PyLong_FromUnsignedLongLong(as_factor(self)->factor->n_steps()); });
}

PyObject* shape_of(PyObject* self) {
    Ref rows = Ref::steal(PyLong_FromUnsignedLongLong(as_factor(self)->original_n));
    Ref cols = Ref::steal(PyLong_FromUnsignedLongLong(as_factor(self)->original_n));
    if (!rows || !cols) {
        return nullptr;
    }
    return PyTuple_Pack(2, rows.get(), cols.get());
}

PyObject* factor_get_shape(PyObject* self, void*) {
    return run_guarded<PyObject*>(nullptr, [&] { return shape_of(self); });
}

PyObject* factor_get_dtype(PyObject*, void*) {
    return run_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref numpy_module = Ref::steal(PyImport_ImportModule("numpy"));
        if (!numpy_module) {
            return nullptr;
        }
        return PyObject_GetAttrString(numpy_module.get(), "float64");
    });
}

PyObject* factor_repr(PyObject* self) {
    return run_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref shape = Ref::steal(shape_of(self));
        if (!shape) {
            return nullptr;
        }
        const vorlane::CoreFactor& factor = *as_factor(self)->factor;
        return PyUnicode_FromFormat("<Factor shape=%R n=%llu n_steps=%llu>", shape.get(),
                                    static_cast<unsigned long long>(factor.n),
                                    static_cast<unsigned long long>(factor.n_steps()));
    });
}

PyMethodDef factor_methods[] = {
    {"matvec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(matvec_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "matvec($self, x)\n--\n\n"
     "Apply the preconditioner: solve LDL^T x = b, returning a vector of the\n"
     "original matrix dimension.\n"
     "\n"
     "Part of the scipy `LinearOperator` duck-type interface, enabling\n"
     "`M=factor` in iterative solvers like `scipy.sparse.linalg.cg`."},
    {"rmatvec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rmatvec_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "rmatvec($self, x)\n--\n\n"
     "Alias for `matvec` (the LDL^T factor is symmetric).\n"
     "\n"
     "Part of the scipy `LinearOperator` duck-type interface."},
    {"solve", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "solve($self, b)\n--\n\n"
     "Solve LDL^T x = b, returning a new numpy array of the original\n"
     "matrix dimension."},
    {"solve_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_into_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "solve_into($self, b, out)\n--\n\n"
     "Solve LDL^T x = b, writing the result into an existing array.\n"
     "\n"
     "The `out` array must have length >= `original_n` (the original matrix\n"
     "dimension, i.e. `factor.shape[0]`)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef factor_getset[] = {
    {"n", factor_get_n, nullptr,
     "Internal factor dimension (may be larger than ``shape[0]`` if Gremban\n"
     "augmentation was applied).  Use this to size work buffers for\n"
     ":meth:`solve_into`.",
     nullptr},
    {"n_steps", factor_get_n_steps, nullptr, "Number of elimination steps.", nullptr},
    {"shape", factor_get_shape, nullptr,
     "Preconditioner shape `(n, n)` reflecting the original matrix dimension.\n"
     "\n"
     "Part of the scipy `LinearOperator` duck-type interface.",
     nullptr},
    {"dtype", factor_get_dtype, nullptr,
     "Numpy dtype of output arrays (`numpy.float64`).\n"
     "\n"
     "Part of the scipy `LinearOperator` duck-type interface.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char factor_doc[] =
    "Approximate Cholesky factor (LDL^T decomposition).\n"
    "\n"
    "Implements the scipy `LinearOperator` duck-type interface (`shape`, `matvec`,\n"
    "`rmatvec`, `dtype`) so it can be passed directly as `M=factor` to iterative\n"
    "solvers like `scipy.sparse.linalg.cg`.";

PyType_Slot factor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(factor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factor_dealloc)},
    {Py_tp_methods, factor_methods},
    {Py_tp_getset, factor_getset},
    {Py_tp_repr, reinterpret_cast<void*>(factor_repr)},
    {Py_tp_doc, factor_doc},
    {0, nullptr},
};

PyType_Spec factor_type_def = {
    "builtins.Factor", sizeof(FactorObject), 0, kTypeFlags, factor_slots,
};

std::atomic<PyTypeObject*> factor_type_object{nullptr};

}  // namespace

PyTypeObject* factor_type() {
    return get_or_create(factor_type_object,
                         [] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&factor_type_def)); });
}

PyObject* new_factor(vorlane::CoreFactor&& factor, uint64_t original_n) {
    PyTypeObject* type = factor_type();
    if (type == nullptr) {
        return nullptr;
    }
    auto owned = std::make_unique<vorlane::CoreFactor>(std::move(factor));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    as_factor(self)->factor = owned.release();
    as_factor(self)->original_n = original_n;
    return self;
}

}  // namespace vorlane_py
