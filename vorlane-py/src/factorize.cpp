// The factorize and factorize_raw functions: argument conversion, checks and the core call.
#include "factorize.hpp"

#include <cstdint>
#include <vector>

#include "access_registry.hpp"
#include "args.hpp"
#include "array_args.hpp"
#include "config.hpp"
#include "errors.hpp"
#include "factor.hpp"
#include "vorlane/builder.hpp"

namespace vorlane_py {

namespace {

constexpr uint64_t kU32Max = 0xFFFFFFFFull;

// ---- Python-level helpers used by factorize's conversions ----

bool index_to_i64(PyObject* object, int64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        return false;
    }
    long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    out = value;
    return true;
}

Ref call_method(PyObject* object, const char* name, PyObject* argument = nullptr) {
    Ref method = Ref::steal(PyObject_GetAttrString(object, name));
    if (!method) {
        return {};
    }
    return Ref::steal(argument == nullptr ? PyObject_CallNoArgs(method.get())
                                          : PyObject_CallOneArg(method.get(), argument));
}

// arr.astype(numpy.<type_name>)
Ref astype(PyObject* numpy_module, PyObject* array, const char* type_name) {
    Ref type = Ref::steal(PyObject_GetAttrString(numpy_module, type_name));
    if (!type) {
        return {};
    }
    return call_method(array, "astype", type.get());
}

// numpy.asarray(object), with ndim 1 and a dtype kind among `kinds`; ValueErrors otherwise.
Ref as_1d_array(PyObject* numpy_module, PyObject* object, const char* name, const char* kinds,
                const char* kind_message) {
    Ref array = call_method(numpy_module, "asarray", object);
    if (!array) {
        return {};
    }
    Ref ndim_object = Ref::steal(PyObject_GetAttrString(array.get(), "ndim"));
    uint64_t ndim = 0;
    if (!ndim_object || !index_to_u64(ndim_object.get(), ndim)) {
        return {};
    }
    if (ndim != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be a 1-D array", name);
        return {};
    }
    Ref dtype = Ref::steal(PyObject_GetAttrString(array.get(), "dtype"));
    Ref kind = dtype ? Ref::steal(PyObject_GetAttrString(dtype.get(), "kind")) : Ref{};
    if (!kind) {
        return {};
    }
    bool accepted = false;
    if (PyUnicode_Check(kind.get()) && PyUnicode_GetLength(kind.get()) == 1) {
        Py_UCS4 code = PyUnicode_ReadChar(kind.get(), 0);
        for (const char* k = kinds; *k != '\0'; ++k) {
            accepted = accepted || code == static_cast<Py_UCS4>(*k);
        }
    }
    if (!accepted) {
        PyErr_Format(PyExc_ValueError, "%s %s", name, kind_message);
        return {};
    }
    return array;
}

// Any array-like to a fresh contiguous 1-D uint32 array, with every value range-checked.
Ref to_index_array(PyObject* numpy_module, PyObject* object, const char* name) {
    Ref array = as_1d_array(numpy_module, object, name, "iu", "must have an integer dtype");
    if (!array) {
        return {};
    }
    Ref size_object = Ref::steal(PyObject_GetAttrString(array.get(), "size"));
    uint64_t size = 0;
    if (!size_object || !index_to_u64(size_object.get(), size)) {
        return {};
    }
    if (size != 0) {
        Ref wide = astype(numpy_module, array.get(), "int64");
        if (!wide) {
            return {};
        }
        // The minimum is tested before the maximum is computed.
        Ref minimum = call_method(wide.get(), "min");
        int64_t low = 0;
        if (!minimum || !index_to_i64(minimum.get(), low)) {
            return {};
        }
        if (low < 0) {
            PyErr_Format(PyExc_ValueError, "%s must be non-negative", name);
            return {};
        }
        Ref maximum = call_method(wide.get(), "max");
        int64_t high = 0;
        if (!maximum || !index_to_i64(maximum.get(), high)) {
            return {};
        }
        if (static_cast<uint64_t>(high) > kU32Max) {
            PyErr_Format(PyExc_ValueError, "%s exceeds u32::MAX", name);
            return {};
        }
    }
    Ref narrow = astype(numpy_module, array.get(), "uint32");
    return narrow ? call_method(numpy_module, "ascontiguousarray", narrow.get()) : Ref{};
}

// Any array-like of integers or floats to a fresh contiguous 1-D float64 array.
Ref to_value_array(PyObject* numpy_module, PyObject* object) {
    Ref array = as_1d_array(numpy_module, object, "data", "fiu", "must have an integer or floating-point dtype");
    if (!array) {
        return {};
    }
    Ref converted = astype(numpy_module, array.get(), "float64");
    return converted ? call_method(numpy_module, "ascontiguousarray", converted.get()) : Ref{};
}

// ---- the shared tail: validation, configuration, core call ----

struct CsrArrays {
    Vector row_ptrs;
    Vector col_indices;
    Vector values;
};

bool require_contiguous(const Vector& vector, const char* name) {
    if (!vector.contiguous) {
        PyErr_Format(PyExc_ValueError, "%s must be contiguous", name);
        return false;
    }
    return true;
}

PyObject* factorize_arrays(const CsrArrays& arrays, uint32_t n, PyObject* config) {
    std::vector<uint32_t> row_ptrs_copy;
    std::vector<uint32_t> col_indices_copy;
    std::vector<double> values_copy;
    auto view = vorlane::CsrView::create(aligned_elements<uint32_t>(arrays.row_ptrs, row_ptrs_copy),
                                         aligned_elements<uint32_t>(arrays.col_indices, col_indices_copy),
                                         aligned_elements<double>(arrays.values, values_copy), n);
    if (!view) {
        raise_core_error(vorlane::CoreError{vorlane::InvalidCsr{view.error()}});
        return nullptr;
    }
    vorlane::CoreConfig core_config;
    if (!to_core_config(config, core_config)) {
        return nullptr;
    }
    auto factor = vorlane::build_factor(*view, core_config);
    if (!factor) {
        raise_core_error(factor.error());
        return nullptr;
    }
    return new_factor(std::move(factor).value(), n);
}

// ---- factorize ----

PyObject* factorize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"matrix", "config"};
    static const Signature signature{"factorize", names, 2, 1};
    PyObject* bound[2];
    if (!bind_fastcall(signature, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyObject* matrix = bound[0];
    PyObject* config = bound[1];
    if (!check_config_argument(config)) {
        return nullptr;
    }

    Ref indptr = Ref::steal(PyObject_GetAttrString(matrix, "indptr"));
    if (!indptr) {
        return nullptr;
    }
    Ref indices = Ref::steal(PyObject_GetAttrString(matrix, "indices"));
    if (!indices) {
        return nullptr;
    }
    Ref data = Ref::steal(PyObject_GetAttrString(matrix, "data"));
    if (!data) {
        return nullptr;
    }
    Ref shape = Ref::steal(PyObject_GetAttrString(matrix, "shape"));
    if (!shape) {
        return nullptr;
    }

    if (!PyTuple_Check(shape.get())) {
        std::string type_name = type_qualname(shape.get());
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'", type_name.c_str());
        return nullptr;
    }
    if (PyTuple_GET_SIZE(shape.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                     PyTuple_GET_SIZE(shape.get()));
        return nullptr;
    }
    uint64_t rows = 0;
    uint64_t cols = 0;
    if (!index_to_u64(PyTuple_GET_ITEM(shape.get(), 0), rows) ||
        !index_to_u64(PyTuple_GET_ITEM(shape.get(), 1), cols)) {
        return nullptr;
    }
    if (rows != cols) {
        PyErr_SetString(PyExc_ValueError, "matrix must be square");
        return nullptr;
    }
    if (rows > kU32Max) {
        PyErr_SetString(PyExc_ValueError, "matrix dimension exceeds u32::MAX");
        return nullptr;
    }

    Ref numpy_module = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy_module) {
        return nullptr;
    }
    Ref row_ptrs = to_index_array(numpy_module.get(), indptr.get(), "indptr");
    if (!row_ptrs) {
        return nullptr;
    }
    Ref col_indices = to_index_array(numpy_module.get(), indices.get(), "indices");
    if (!col_indices) {
        return nullptr;
    }
    Ref values = to_value_array(numpy_module.get(), data.get());
    if (!values) {
        return nullptr;
    }

    // Fresh, private arrays: no other call can hold them, so no access is registered.
    CsrArrays arrays;
    if (!as_vector(row_ptrs.get(), numpy::Dtype::UInt32, "indptr", arrays.row_ptrs) ||
        !as_vector(col_indices.get(), numpy::Dtype::UInt32, "indices", arrays.col_indices) ||
        !as_vector(values.get(), numpy::Dtype::Float64, "data", arrays.values) ||
        !require_contiguous(arrays.row_ptrs, "indptr") || !require_contiguous(arrays.col_indices, "indices") ||
        !require_contiguous(arrays.values, "data")) {
        return nullptr;
    }
    return factorize_arrays(arrays, static_cast<uint32_t>(rows), config);
}

// ---- factorize_raw ----

PyObject* factorize_raw(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"row_ptrs", "col_indices", "values", "n", "config"};
    static const Signature signature{"factorize_raw", names, 5, 4};
    PyObject* bound[5];
    if (!bind_fastcall(signature, args, nargs, kwnames, bound)) {
        return nullptr;
    }

    CsrArrays arrays;
    AccessGuard row_ptrs_access;
    AccessGuard col_indices_access;
    AccessGuard values_access;
    auto take_arrays = [&] {
        return as_vector(bound[0], numpy::Dtype::UInt32, "row_ptrs", arrays.row_ptrs) &&
               acquire_access(row_ptrs_access, arrays.row_ptrs, AccessMode::Shared, "row_ptrs") &&
               as_vector(bound[1], numpy::Dtype::UInt32, "col_indices", arrays.col_indices) &&
               acquire_access(col_indices_access, arrays.col_indices, AccessMode::Shared, "col_indices") &&
               as_vector(bound[2], numpy::Dtype::Float64, "values", arrays.values) &&
               acquire_access(values_access, arrays.values, AccessMode::Shared, "values");
    };
    if (!take_arrays()) {
        return nullptr;
    }

    uint64_t n = 0;
    if (!to_u64_argument(bound[3], "n", n)) {
        return nullptr;
    }
    if (n > kU32Max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return nullptr;
    }
    // Converting n can run Python code (__index__) that reallocates, reshapes or retypes the
    // arrays: take them again as they are now, so no stale pointer is ever read. No Python
    // code runs from here until the core has copied them.
    if (!take_arrays()) {
        return nullptr;
    }
    PyObject* config = bound[4];
    if (!check_config_argument(config)) {
        return nullptr;
    }
    if (!require_contiguous(arrays.row_ptrs, "row_ptrs") || !require_contiguous(arrays.col_indices, "col_indices") ||
        !require_contiguous(arrays.values, "values")) {
        return nullptr;
    }
    return factorize_arrays(arrays, static_cast<uint32_t>(n), config);
}

PyObject* factorize_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_guarded<PyObject*>(nullptr, [&] { return factorize(module, args, nargs, kwnames); });
}

PyObject* factorize_raw_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_guarded<PyObject*>(nullptr, [&] { return factorize_raw(module, args, nargs, kwnames); });
}

PyMethodDef factorize_def = {
    "factorize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(factorize_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "factorize(matrix, config=None)\n--\n\n"
    "Factorize an SDDM matrix from a scipy.sparse CSR matrix.\n"
    "\n"
    "Args:\n"
    "    matrix: A scipy.sparse.csr_matrix or csr_array.\n"
    "    config: Optional factorization configuration."};

PyMethodDef factorize_raw_def = {
    "factorize_raw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(factorize_raw_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "factorize_raw(row_ptrs, col_indices, values, n, config=None)\n--\n\n"
    "Factorize an SDDM matrix from raw CSR arrays.\n"
    "\n"
    "Args:\n"
    "    row_ptrs: CSR row pointer array (uint32).\n"
    "    col_indices: CSR column index array (uint32).\n"
    "    values: CSR value array (float64).\n"
    "    n: Matrix dimension.\n"
    "    config: Optional factorization configuration."};

}  // namespace

PyMethodDef* factorize_definition() { return &factorize_def; }
PyMethodDef* factorize_raw_definition() { return &factorize_raw_def; }

}  // namespace vorlane_py
