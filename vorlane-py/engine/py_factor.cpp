// The Factor type: a finished factor, applied to blocks of vectors without the interpreter lock.
#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "buffers.hpp"
#include "guard.hpp"
#include "py_types.hpp"
#include "vorlane/large_alloc.hpp"
#include "vorlane/factor_parts.hpp"
#include "vorlane/thread_pool.hpp"

namespace vorlane_engine {

namespace {

const SolverFactor& engine_factor_of(PyObject* self) { return *reinterpret_cast<FactorObject*>(self)->factor; }
const vorlane::CoreFactor& factor_of(PyObject* self) { return engine_factor_of(self).core; }

void factor_dealloc(PyObject* self) {
    delete reinterpret_cast<FactorObject*>(self)->factor;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Counted by elements, not capacity: the column arrays reserve address space generously
// while the factor is built, and pages never written take no memory.
template <class T>
uint64_t held_bytes(const std::vector<T>& v) {
    return v.size() * sizeof(T);
}

PyObject* get_n(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(factor_of(self).original_n); });
}
PyObject* get_internal_n(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(factor_of(self).n); });
}
PyObject* get_n_steps(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(factor_of(self).n_steps()); });
}
PyObject* get_nnz(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        const auto& f = factor_of(self);
        return PyLong_FromUnsignedLongLong(f.rows.size() + f.n_steps());
    });
}
PyObject* get_nbytes(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        const auto& f = factor_of(self);
        const SolverFactor& engine = engine_factor_of(self);
        const uint64_t total = held_bytes(f.order) + held_bytes(f.col_starts) + held_bytes(f.rows) +
                               held_bytes(f.coefficients) + held_bytes(f.inv_diag) +
                               held_bytes(engine.renumbering) + engine.streamed.nbytes();
        return PyLong_FromUnsignedLongLong(total);
    });
}
PyObject* get_renumbered(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(engine_factor_of(self).renumbered()); });
}
PyObject* get_precision(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        return PyLong_FromLong(static_cast<long>(engine_factor_of(self).streamed.precision()));
    });
}

PyObject* get_levels(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const vorlane::StreamedFactor& factor = engine_factor_of(self).streamed;
        if (!factor.has_levels()) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(factor.levels());
    });
}

PyGetSetDef factor_getset[] = {
    {"n", get_n, nullptr, "dimension of the matrix it was built from", nullptr},
    {"internal_n", get_internal_n, nullptr, "dimension after adding a ground vertex", nullptr},
    {"n_steps", get_n_steps, nullptr, "elimination steps", nullptr},
    {"nnz", get_nnz, nullptr, "stored entries: column entries plus pivots", nullptr},
    {"nbytes", get_nbytes, nullptr, "bytes of memory held", nullptr},
    {"renumbered", get_renumbered, nullptr, "whether elimination ran on the matrix renumbered", nullptr},
    {"precision", get_precision, nullptr, "how its applies store the factor: 0 double, 1 mixed", nullptr},
    {"levels", get_levels, nullptr, "levels of its leveled layout (steps depending on none of their own level), or None",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// apply(src, dst, width, scale, threads): dst = scale * (factor solve of every column of the
// (n, width) block src); src and dst may be the same array. A factor laid out in levels
// applies on `threads` threads, with the same result.
PyObject* factor_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 5) {
            PyErr_SetString(PyExc_TypeError, "apply(src, dst, width, scale, threads) takes five arguments");
            return nullptr;
        }
        unsigned threads = 1;
        if (!read_threads(args[4], threads)) return nullptr;
        const unsigned long long width = PyLong_AsUnsignedLongLong(args[2]);
        if (PyErr_Occurred()) return nullptr;
        const double scale = PyFloat_AsDouble(args[3]);
        if (PyErr_Occurred()) return nullptr;
        Borrowed src, dst;
        if (!src.acquire(args[0], Element::Float64, "src") || !dst.acquire(args[1], Element::Float64, "dst", true)) {
            return nullptr;
        }
        const vorlane::StreamedFactor& factor = engine_factor_of(self).streamed;
        const uint64_t rows = factor.original_n();
        if (width == 0 || src.size() != rows * width || dst.size() != rows * width) {
            PyErr_Format(PyExc_ValueError, "src and dst must hold %llu x %llu elements",
                         static_cast<unsigned long long>(rows), width);
            return nullptr;
        }
        vorlane::LargeVector<double> work(factor.work_size(width));
        std::optional<vorlane::BlockSolveError> error;
        {
            Unlocked unlocked;
            std::optional<vorlane::ThreadPool> pool;
            if (threads > 1 && factor.runs_leveled()) pool.emplace(threads);
            error = factor.apply({rows, width, width}, src.doubles(), dst.writable_doubles(), work, scale, {},
                                 pool ? &*pool : nullptr);
        }
        if (error) {
            PyErr_SetString(PyExc_ValueError, vorlane::message(*error).c_str());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// The factor's stored arrays, in the order export_into() and restore_factor() take them.
constexpr int kPartCount = 5;
const char* const kPartNames[kPartCount] = {"order", "col_starts", "rows", "coefficients", "inv_diag"};
const Element kPartElements[kPartCount] = {Element::UInt32, Element::UInt32, Element::UInt32, Element::Float64,
                                           Element::Float64};

bool borrow_parts(PyObject* const* args, Borrowed (&parts)[kPartCount], bool writable) {
    for (int i = 0; i < kPartCount; ++i) {
        if (!parts[i].acquire(args[i], kPartElements[i], kPartNames[i], writable)) return false;
    }
    return true;
}

template <class T>
bool copy_part(const std::vector<T>& from, std::span<T> to, const char* name) {
    if (to.size() != from.size()) {
        PyErr_Format(PyExc_ValueError, "%s must hold %llu elements", name,
                     static_cast<unsigned long long>(from.size()));
        return false;
    }
    std::copy(from.begin(), from.end(), to.begin());
    return true;
}

// export_into(order, col_starts, rows, coefficients, inv_diag): copies the factor's arrays
// into buffers of exactly their lengths (n_steps, n_steps + 1, nnz - n_steps twice, n_steps).
PyObject* factor_export_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != kPartCount) {
            PyErr_SetString(PyExc_TypeError, "export_into(order, col_starts, rows, coefficients, inv_diag)");
            return nullptr;
        }
        Borrowed parts[kPartCount];
        if (!borrow_parts(args, parts, true)) return nullptr;
        const vorlane::CoreFactor& f = factor_of(self);
        if (!copy_part(f.order, parts[0].writable_uint32s(), kPartNames[0]) ||
            !copy_part(f.col_starts, parts[1].writable_uint32s(), kPartNames[1]) ||
            !copy_part(f.rows, parts[2].writable_uint32s(), kPartNames[2]) ||
            !copy_part(f.coefficients, parts[3].writable_doubles(), kPartNames[3]) ||
            !copy_part(f.inv_diag, parts[4].writable_doubles(), kPartNames[4])) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// renumbering_into(buffer): copies the renumbering (order[new] = old) into a uint32 buffer of
// n elements; the factor must be renumbered.
PyObject* factor_renumbering_into(PyObject* self, PyObject* buffer) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const SolverFactor& factor = engine_factor_of(self);
        if (!factor.renumbered()) {
            PyErr_SetString(PyExc_ValueError, "the factor was built without renumbering");
            return nullptr;
        }
        Borrowed into;
        if (!into.acquire(buffer, Element::UInt32, "renumbering", true) ||
            !copy_part(factor.renumbering, into.writable_uint32s(), "renumbering")) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef factor_methods[] = {
    {"export_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(factor_export_into)), METH_FASTCALL,
     "export_into(order, col_starts, rows, coefficients, inv_diag): copy the factor's arrays out"},
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(factor_apply)), METH_FASTCALL,
     "apply(src, dst, width, scale, threads): scale times the factor's solve of each column, without the "
     "interpreter lock, on `threads` threads when the factor is laid out in levels"},
    {"renumbering_into", factor_renumbering_into, METH_O,
     "renumbering_into(buffer): copy the renumbering of a renumbered factor out"},
    {nullptr, nullptr, 0, nullptr},
};

// Made only by the module's functions: the Python constructor refuses.
PyObject* factor_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "vorlane._engine.Factor objects are made by the engine, not directly");
    return nullptr;
}

PyType_Slot factor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(factor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factor_dealloc)},
    {Py_tp_doc, const_cast<char*>("A finished approximate Cholesky factor.")},
    {Py_tp_getset, factor_getset},
    {Py_tp_methods, factor_methods},
    {0, nullptr},
};

PyType_Spec factor_spec = {"vorlane._engine.Factor", sizeof(FactorObject), 0, Py_TPFLAGS_DEFAULT, factor_slots};
PyTypeObject* factor_type_object = nullptr;

}  // namespace

PyTypeObject* factor_type() {
    if (factor_type_object == nullptr) {
        factor_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&factor_spec));
    }
    return factor_type_object;
}

PyObject* restore_factor(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 4 + kPartCount) {
            PyErr_SetString(PyExc_TypeError, "restore_factor(n, original_n, order, col_starts, rows, coefficients, "
                                             "inv_diag, renumbering, precision)");
            return nullptr;
        }
        vorlane::Precision precision = vorlane::Precision::Double;
        if (!read_precision(args[3 + kPartCount], precision)) return nullptr;
        vorlane::FactorParts parts;
        parts.n = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return nullptr;
        parts.original_n = PyLong_AsUnsignedLongLong(args[1]);
        if (PyErr_Occurred()) return nullptr;
        Borrowed arrays[kPartCount];
        if (!borrow_parts(args + 2, arrays, false)) return nullptr;
        parts.order = arrays[0].uint32s();
        parts.col_starts = arrays[1].uint32s();
        parts.rows = arrays[2].uint32s();
        parts.coefficients = arrays[3].doubles();
        parts.inv_diag = arrays[4].doubles();
        PyObject* renumbering_object = args[2 + kPartCount];
        Borrowed renumbering;
        if (renumbering_object != Py_None && !renumbering.acquire(renumbering_object, Element::UInt32, "renumbering")) {
            return nullptr;
        }
        // Checked and copied with the lock held, so nothing changes the arrays meanwhile.
        auto restored = vorlane::restore_factor(parts);
        if (!restored) {
            PyErr_SetString(PyExc_ValueError, restored.error().c_str());
            return nullptr;
        }
        std::vector<uint32_t> old_of;
        if (renumbering_object != Py_None) {
            const auto order = renumbering.uint32s();
            if (auto problem = vorlane::check_renumbering(order, restored->original_n)) {
                PyErr_SetString(PyExc_ValueError, problem->c_str());
                return nullptr;
            }
            old_of.assign(order.begin(), order.end());
        }
        auto factor = vorlane::make_solver_factor(std::move(*restored), std::move(old_of), precision);
        if (!factor) {
            PyErr_SetString(PyExc_MemoryError, factor.error().c_str());
            return nullptr;
        }
        return wrap_factor(std::move(factor).value());
    });
}

PyObject* wrap_factor(SolverFactor&& factor) {
    auto owned = std::make_unique<SolverFactor>(std::move(factor));
    auto* object = PyObject_New(FactorObject, factor_type());
    if (object == nullptr) return nullptr;
    object->factor = owned.release();
    return reinterpret_cast<PyObject*>(object);
}

}  // namespace vorlane_engine
