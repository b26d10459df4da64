// Module initialization: one _vorlane module per process, bound to the first interpreter.
#include "py_ref.hpp"

#include <atomic>
#include <cstdint>

#include "config.hpp"
#include "errors.hpp"
#include "factor.hpp"
#include "factorize.hpp"

namespace vorlane_py {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_vorlane",
    "Approximate Cholesky factorization for SDDM/Laplacian systems.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kModuleApiVersion = 1013;

// The interpreter that first imported the module (-1: none yet) and the module itself.
std::atomic<int64_t> owner_interpreter{-1};
std::atomic<PyObject*> module_cell{nullptr};

// Sets module.<name> = object and appends name to __all__, creating the list on first use.
// Steals the reference to object.
bool add_exported(PyObject* module, const char* name, PyObject* object) {
    Ref held = Ref::steal(object);
    if (!held) {
        return false;
    }
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    Ref all_list;
    if (all == nullptr) {
        all_list = Ref::steal(PyList_New(0));
        if (!all_list || PyDict_SetItemString(dict, "__all__", all_list.get()) < 0) {
            return false;
        }
    } else {
        all_list = Ref::borrow(all);
    }
    Ref name_object = Ref::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all_list.get(), name_object.get()) < 0) {
        return false;
    }
    return PyDict_SetItemString(dict, name, held.get()) == 0;
}

bool initialize(PyObject* module) {
    PyTypeObject* config = config_type();
    if (config == nullptr || !add_exported(module, "Config", Py_NewRef(reinterpret_cast<PyObject*>(config)))) {
        return false;
    }
    PyTypeObject* factor = factor_type();
    if (factor == nullptr || !add_exported(module, "Factor", Py_NewRef(reinterpret_cast<PyObject*>(factor)))) {
        return false;
    }
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    for (PyMethodDef* definition : {factorize_definition(), factorize_raw_definition()}) {
        if (!add_exported(module, definition->ml_name, PyCFunction_NewEx(definition, module, module_name.get()))) {
            return false;
        }
    }
    return true;
}

PyObject* init_module() {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "_vorlane does not yet support subinterpreters: it can only be imported into the "
                        "interpreter that first imported it");
        return nullptr;
    }
    if (PyObject* existing = module_cell.load()) {
        return Py_NewRef(existing);
    }
    Ref module = Ref::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
    if (!module || !initialize(module.get())) {
        return nullptr;
    }
    PyObject* stored = nullptr;
    if (!module_cell.compare_exchange_strong(stored, module.get())) {
        // Another initialization finished first; its module wins.
        return Py_NewRef(stored);
    }
    // The cell keeps one reference for the life of the process; the caller gets another.
    Py_INCREF(module.get());
    return module.release();
}

}  // namespace

}  // namespace vorlane_py

PyMODINIT_FUNC PyInit__vorlane(void) {
    return vorlane_py::run_guarded<PyObject*>(nullptr, [] { return vorlane_py::init_module(); });
}
