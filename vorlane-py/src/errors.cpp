// Raising Python exceptions: argument prefixes, core and solve errors, and C++ failures.
#include "errors.hpp"
#include "core_exceptions.hpp"
#include "lazy_object.hpp"

#include <atomic>
#include <variant>

namespace vorlane_py {

std::string type_qualname(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (utf8 != nullptr) {
            return std::string(utf8, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
    // Fall back to the last dotted component of tp_name.
    std::string full = type->tp_name;
    size_t dot = full.rfind('.');
    return dot == std::string::npos ? full : full.substr(dot + 1);
}

void raise_cannot_convert(const char* arg, PyObject* object, const char* target) {
    std::string type_name = type_qualname(object);
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", arg, type_name.c_str(),
                 target);
}

void prefix_type_error(const char* arg) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    Ref original = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref original = Ref::steal(value);
#endif
    if (!original) {
        return;
    }
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) {
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
    if (!message) {
        return;
    }
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        return;
    }
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals cause
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void raise_core_error(const vorlane::CoreError& error) {
    if (std::holds_alternative<vorlane::OutOfMemory>(error)) {
        PyErr_NoMemory();
        return;
    }
    std::string text = vorlane::message(error);
    PyErr_SetString(vorlane_common::exception_for(vorlane::classify(error)), text.c_str());
}

void raise_solve_error(const vorlane::SolveError& error) {
    std::string text = vorlane::message(error);
    PyErr_SetString(PyExc_ValueError, text.c_str());
}

namespace {

// Created on first use and kept for the life of the process, like the module's types.
std::atomic<PyObject*> internal_error_class{nullptr};

PyObject* internal_error() {
    return get_or_create(internal_error_class, [] {
        return PyErr_NewExceptionWithDoc(
            "_vorlane.InternalError",
            "A broken internal invariant of the factorization core. Not a problem with the input: please report it.",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace

void raise_internal_fault(const char* what) {
    PyObject* kind = internal_error();
    if (kind == nullptr) {
        // Could not even create the class: report the fault through SystemError instead.
        PyErr_Clear();
        kind = PyExc_SystemError;
    }
    PyErr_Format(kind, "internal fault in the factorization core: %s", what);
}

}  // namespace vorlane_py
