// The System type: check_matrix() builds it from CSR arrays; it factorizes itself.
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "buffers.hpp"
#include "core_exceptions.hpp"
#include "guard.hpp"
#include "py_types.hpp"

namespace vorlane_engine {

namespace {

// The arguments (indptr, indices, data, n, unit_roundoff, values) of check_matrix() and
// System.refill(), borrowed and read into a RawCsr.
struct CsrArgs {
    Borrowed indptr, indices, data;
    RawCsr raw;
    CheckOptions options;

    bool read(PyObject* const* args) {
        const int values = PyObject_IsTrue(args[5]);
        if (values < 0) return false;
        const unsigned long long n = PyLong_AsUnsignedLongLong(args[3]);
        if (PyErr_Occurred()) return false;
        const double unit_roundoff = PyFloat_AsDouble(args[4]);
        if (PyErr_Occurred()) return false;
        if (!indptr.acquire(args[0], Element::Int64, "indptr") || !indices.acquire(args[1], Element::Int64, "indices") ||
            !data.acquire(args[2], Element::Float64, "data")) {
            return false;
        }
        raw.n = n;
        if (indptr.element() == Element::Int64) {
            raw.indptr64 = indptr.int64s();
        } else {
            raw.indptr32 = indptr.int32s();
        }
        if (indices.element() == Element::Int64) {
            raw.indices64 = indices.int64s();
        } else {
            raw.indices32 = indices.int32s();
        }
        raw.data = data.doubles();
        options = CheckOptions{unit_roundoff, values != 0};
        return true;
    }
    void release() {
        raw = RawCsr{};
        indptr.release();
        indices.release();
        data.release();
    }
};

// Canonicalizes and checks without the interpreter lock; ValueError for a matrix refused.
bool check_unlocked(CheckedMatrix& matrix, const CheckOptions& options) {
    std::optional<std::string> problem;
    {
        Unlocked unlocked;
        problem = matrix.canonicalize_and_check(options);
    }
    if (problem) PyErr_SetString(PyExc_ValueError, problem->c_str());
    return !problem;
}

void system_dealloc(PyObject* self) {
    delete reinterpret_cast<SystemObject*>(self)->matrix;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

const CheckedMatrix& matrix_of(PyObject* self) { return *reinterpret_cast<SystemObject*>(self)->matrix; }

PyObject* get_n(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(matrix_of(self).n()); });
}
PyObject* get_nnz(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(matrix_of(self).nnz()); });
}
PyObject* get_singular(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(matrix_of(self).singular()); });
}
PyObject* get_pattern(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyLong_FromUnsignedLongLong(matrix_of(self).pattern_digest()); });
}
PyObject* get_factor_scale(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyFloat_FromDouble(matrix_of(self).factor_scale()); });
}

PyGetSetDef system_getset[] = {
    {"n", get_n, nullptr, "dimension", nullptr},
    {"nnz", get_nnz, nullptr, "stored entries after merging duplicates", nullptr},
    {"singular", get_singular, nullptr, "whether A has a null space", nullptr},
    {"factor_scale", get_factor_scale, nullptr, "its factors are built for factor_scale * A", nullptr},
    {"pattern", get_pattern, nullptr, "a digest of the canonical sparsity pattern", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// seed (int below 2**64) and split (None or an int from 1 to 2**32 - 1), checked by the caller.
bool read_settings(PyObject* seed_object, PyObject* split_object, uint64_t& seed, std::optional<uint32_t>& split) {
    seed = PyLong_AsUnsignedLongLong(seed_object);
    if (PyErr_Occurred()) return false;
    if (split_object != Py_None) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(split_object);
        if (PyErr_Occurred()) return false;
        if (value == 0 || value > std::numeric_limits<uint32_t>::max()) {
            PyErr_SetString(PyExc_ValueError, "split must be between 1 and 4294967295");
            return false;
        }
        split = static_cast<uint32_t>(value);
    }
    return true;
}

PyObject* system_factorize(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 5) {
            PyErr_SetString(PyExc_TypeError, "factorize(seed, split, renumber, precision, order) takes five arguments");
            return nullptr;
        }
        vorlane::FactorSettings settings;
        if (!read_factor_settings(args, settings)) return nullptr;
        FactorizeFailure failure;
        std::optional<SolverFactor> factor;
        {
            Unlocked unlocked;
            factor = factorize_unlocked(matrix_of(self), settings, unlocked, failure);
        }
        if (!factor) {
            raise_factorize_failure(failure);
            return nullptr;
        }
        return wrap_factor(std::move(*factor));
    });
}

// project(block, width): removes in place, from each column of the (n, width) float64 block,
// its part in the null space of A (the mean over each component without ground).
PyObject* system_project(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "project(block, width) takes two arguments");
            return nullptr;
        }
        const unsigned long long width = PyLong_AsUnsignedLongLong(args[1]);
        if (PyErr_Occurred()) return nullptr;
        Borrowed block;
        if (!block.acquire(args[0], Element::Float64, "block", true)) return nullptr;
        const CheckedMatrix& matrix = matrix_of(self);
        if (width == 0 || block.size() != matrix.n() * width) {
            PyErr_SetString(PyExc_ValueError, "block must hold n x width elements");
            return nullptr;
        }
        std::vector<double> sums(matrix.components() * width);
        matrix.project(block.writable_doubles().data(), width, width, sums);
        Py_RETURN_NONE;
    });
}

// refill(indptr, indices, data, n, unit_roundoff, values): new values for the same pattern,
// checked as check_matrix() checks them, in this System's own arrays. ValueError for another
// pattern (nothing changed) or for values refused (the System must not be used again).
PyObject* system_refill(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 6) {
            PyErr_SetString(PyExc_TypeError, "refill(indptr, indices, data, n, unit_roundoff, values)");
            return nullptr;
        }
        CsrArgs csr;
        if (!csr.read(args)) return nullptr;
        CheckedMatrix& matrix = *reinterpret_cast<SystemObject*>(self)->matrix;
        auto problem = matrix.refill(csr.raw);
        csr.release();
        if (problem) {
            PyErr_SetString(PyExc_ValueError, problem->c_str());
            return nullptr;
        }
        if (!check_unlocked(matrix, csr.options)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyMethodDef system_methods[] = {
    {"refill", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(system_refill)), METH_FASTCALL,
     "refill(indptr, indices, data, n, unit_roundoff, values): new values for the same pattern, checked"},
    {"project", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(system_project)), METH_FASTCALL,
     "project(block, width): remove each column's part in the null space of A, in place"},
    {"factorize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(system_factorize)), METH_FASTCALL,
     "factorize(seed, split, renumber, precision, order) -> Factor, without the interpreter lock; renumber 0 "
     "never, 1 auto, 2 always; precision 0 double, 1 mixed; order None (sequential) or (threads, "
     "degree_factor, round_size, blocks, parts) for rounds"},
    {nullptr, nullptr, 0, nullptr},
};

// Made only by the module's functions: the Python constructor refuses.
PyObject* system_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "vorlane._engine.System objects are made by the engine, not directly");
    return nullptr;
}

PyType_Slot system_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(system_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(system_dealloc)},
    {Py_tp_doc, const_cast<char*>("A checked symmetric Laplacian or SDDM matrix.")},
    {Py_tp_getset, system_getset},
    {Py_tp_methods, system_methods},
    {0, nullptr},
};

PyType_Spec system_spec = {"vorlane._engine.System", sizeof(SystemObject), 0, Py_TPFLAGS_DEFAULT, system_slots};
PyTypeObject* system_type_object = nullptr;

}  // namespace

PyTypeObject* system_type() {
    if (system_type_object == nullptr) {
        system_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&system_spec));
    }
    return system_type_object;
}

std::optional<SolverFactor> factorize_unlocked(const CheckedMatrix& matrix, const vorlane::FactorSettings& settings,
                                               Unlocked& unlocked, FactorizeFailure& failure) {
    auto poll = [](void* context) { return static_cast<Unlocked*>(context)->poll(); };
    auto factor = vorlane::factorize(matrix, settings, {poll, &unlocked});
    if (factor) return std::move(factor).value();
    failure.error_class = factor.error().kind;
    failure.message = std::move(factor.error().message);
    return std::nullopt;
}

bool read_factor_settings(PyObject* const* args, vorlane::FactorSettings& settings) {
    return read_settings(args[0], args[1], settings.seed, settings.split) &&
           read_renumber(args[2], settings.renumber) && read_precision(args[3], settings.precision) &&
           read_order(args[4], settings);
}

bool read_threads(PyObject* object, unsigned& threads) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (PyErr_Occurred()) return false;
    if (value < 1 || value > 4096) {
        PyErr_SetString(PyExc_ValueError, "threads must be between 1 and 4096");
        return false;
    }
    threads = static_cast<unsigned>(value);
    return true;
}

bool read_order(PyObject* object, vorlane::FactorSettings& settings) {
    if (object == Py_None) {
        settings.order = vorlane::Order::Sequential;
        return true;
    }
    double degree_factor = 0.0;
    unsigned long round_size = 0;
    unsigned long blocks = 0;
    PyObject* parts = nullptr;
    PyObject* threads_object = nullptr;
    if (!PyArg_ParseTuple(object, "OdkkO", &threads_object, &degree_factor, &round_size, &blocks, &parts) ||
        !read_threads(threads_object, settings.threads)) {
        return false;
    }
    if (parts != Py_None) {
        Borrowed borrowed;
        if (!borrowed.acquire(parts, Element::UInt32, "parts")) return false;
        const auto values = borrowed.uint32s();
        settings.parts.assign(values.begin(), values.end());
    }
    if (!(degree_factor >= 1.0 && degree_factor <= 1e6) || round_size < 1 || round_size > 0xFFFFFFFFul ||
        blocks > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_ValueError, "order: degree_factor in [1, 1e6], round_size >= 1, blocks < 2**32");
        return false;
    }
    settings.rounds.blocks = static_cast<uint32_t>(blocks);
    settings.order = vorlane::Order::Rounds;
    settings.rounds.degree_factor = degree_factor;
    settings.rounds.round_size = static_cast<uint32_t>(round_size);
    return true;
}

bool read_renumber(PyObject* object, Renumber& mode) {
    const long value = PyLong_AsLong(object);
    if (PyErr_Occurred()) return false;
    if (value < 0 || value > 2) {
        PyErr_SetString(PyExc_ValueError, "renumber must be 0 (never), 1 (auto) or 2 (always)");
        return false;
    }
    mode = static_cast<Renumber>(value);
    return true;
}

bool read_precision(PyObject* object, vorlane::Precision& precision) {
    const long value = PyLong_AsLong(object);
    if (PyErr_Occurred()) return false;
    if (value < 0 || value > 1) {
        PyErr_SetString(PyExc_ValueError, "precision must be 0 (double) or 1 (mixed)");
        return false;
    }
    precision = static_cast<vorlane::Precision>(value);
    return true;
}

void raise_factorize_failure(const FactorizeFailure& failure) {
    // An interrupt has its exception pending already (from the signal handler).
    if (failure.error_class == vorlane::ErrorClass::Interrupted && PyErr_Occurred()) return;
    PyErr_SetString(vorlane_common::exception_for(failure.error_class), failure.message.c_str());
}

PyObject* check_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 6) {
            PyErr_SetString(PyExc_TypeError, "check_matrix(indptr, indices, data, n, unit_roundoff, values)");
            return nullptr;
        }
        CsrArgs csr;
        if (!csr.read(args)) return nullptr;
        // The copy is made with the lock held, so nothing changes the arrays while it is read.
        auto copied = CheckedMatrix::copy_from(csr.raw);
        csr.release();
        if (!copied) {
            PyErr_SetString(PyExc_ValueError, copied.error().c_str());
            return nullptr;
        }
        auto matrix = std::make_unique<CheckedMatrix>(std::move(*copied));
        if (!check_unlocked(*matrix, csr.options)) return nullptr;
        auto* object = PyObject_New(SystemObject, system_type());
        if (object == nullptr) return nullptr;
        object->matrix = matrix.release();
        return reinterpret_cast<PyObject*>(object);
    });
}

}  // namespace vorlane_engine
