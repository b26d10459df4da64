// Lazy access to NumPy's C interface (through its _ARRAY_API capsule) and the few ABI pieces used.
#include "numpy_api.hpp"

#include <atomic>

namespace vorlane_py::numpy {

namespace {

// Slots of the C API table used here; stable across NumPy 1.x and 2.x.
constexpr int kSlotGetNDArrayCVersion = 0;
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNewFromDescr = 94;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotSetBaseObject = 282;

// Type numbers of the native 32-bit unsigned integer and the double.
constexpr int kTypeUInt = 6;
constexpr int kTypeDouble = 12;

// ABI versions whose array and descriptor prefixes match ArrayFields and the slots above.
constexpr unsigned kMinAbiVersion = 0x01000009u;
constexpr unsigned kMaxAbiVersion = 0x02FFFFFFu;

using GetVersionFn = unsigned int (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int,
                                     PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

struct Api {
    PyTypeObject* array_type;
    DescrFromTypeFn descr_from_type;
    NewFromDescrFn new_from_descr;
    EquivTypesFn equiv_types;
    SetBaseObjectFn set_base_object;
    PyObject* uint32_descr;   // owned for the life of the process
    PyObject* float64_descr;  // owned for the life of the process
};

std::atomic<const Api*> loaded_api{nullptr};

const Api& api() { return *loaded_api.load(std::memory_order_acquire); }

// NumPy 2 keeps the capsule in numpy._core.multiarray, NumPy 1 in numpy.core.multiarray.
Ref import_multiarray() {
    Ref module = Ref::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (module || !PyErr_ExceptionMatches(PyExc_ImportError)) {
        return module;
    }
    PyErr_Clear();
    return Ref::steal(PyImport_ImportModule("numpy.core.multiarray"));
}

}  // namespace

bool ensure_loaded() {
    if (loaded_api.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    Ref multiarray = import_multiarray();
    if (!multiarray) {
        return false;
    }
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) {
        return false;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_ImportError, "numpy._ARRAY_API is not a capsule");
        return false;
    }
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) {
        return false;
    }
    unsigned abi = reinterpret_cast<GetVersionFn>(table[kSlotGetNDArrayCVersion])();
    if (abi < kMinAbiVersion || abi > kMaxAbiVersion) {
        PyErr_Format(PyExc_ImportError, "numpy C ABI version 0x%x is not supported", abi);
        return false;
    }

    auto* api = new (std::nothrow) Api{};
    if (api == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    api->array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
    api->descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kSlotDescrFromType]);
    api->new_from_descr = reinterpret_cast<NewFromDescrFn>(table[kSlotNewFromDescr]);
    api->equiv_types = reinterpret_cast<EquivTypesFn>(table[kSlotEquivTypes]);
    api->set_base_object = reinterpret_cast<SetBaseObjectFn>(table[kSlotSetBaseObject]);
    api->uint32_descr = api->descr_from_type(kTypeUInt);
    api->float64_descr = api->descr_from_type(kTypeDouble);
    if (api->uint32_descr == nullptr || api->float64_descr == nullptr) {
        Py_XDECREF(api->uint32_descr);
        Py_XDECREF(api->float64_descr);
        delete api;
        return false;
    }

    // The table lives as long as NumPy stays imported, which it does once loaded: the
    // multiarray module is referenced from sys.modules and from NumPy's own package.
    const Api* expected = nullptr;
    if (!loaded_api.compare_exchange_strong(expected, api, std::memory_order_acq_rel)) {
        Py_DECREF(api->uint32_descr);
        Py_DECREF(api->float64_descr);
        delete api;
    }
    return true;
}

bool is_array(PyObject* object) { return PyObject_TypeCheck(object, api().array_type) != 0; }

bool has_dtype(PyObject* array, Dtype dtype) {
    PyObject* wanted = dtype == Dtype::UInt32 ? api().uint32_descr : api().float64_descr;
    PyObject* actual = fields(array)->descr;
    if (actual == wanted) {
        return true;
    }
    bool equivalent = api().equiv_types(actual, wanted) != 0;
    if (PyErr_Occurred()) {
        // An exotic dtype whose comparison failed is simply not equivalent.
        PyErr_Clear();
        return false;
    }
    return equivalent;
}

PyObject* new_vector_over(double* data, npy_intp length, PyObject* owner) {
    Ref held_owner = Ref::steal(owner);
    PyObject* descr = api().descr_from_type(kTypeDouble);
    if (descr == nullptr) {
        return nullptr;
    }
    npy_intp dims[1] = {length};
    // NewFromDescr steals descr, also on failure.
    Ref array = Ref::steal(api().new_from_descr(api().array_type, descr, 1, dims, nullptr, data,
                                                kCContiguous | kAligned | kWriteable, nullptr));
    if (!array) {
        return nullptr;
    }
    // SetBaseObject steals the owner reference, also on failure.
    if (api().set_base_object(array.get(), held_owner.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

}  // namespace vorlane_py::numpy
