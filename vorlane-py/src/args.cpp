// Binding of positional and keyword arguments to named parameters, with Python's own wording.
#include "args.hpp"

#include <string>

namespace vorlane_py {

namespace {

Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value, PyObject** bound) {
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
        return false;
    }
    Py_ssize_t index = find_parameter(signature, keyword);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, keyword);
        return false;
    }
    if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                     signature.names[index]);
        return false;
    }
    bound[index] = value;
    return true;
}

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    std::string takes;
    if (signature.required == signature.count) {
        takes = std::to_string(signature.count);
    } else {
        takes = "from " + std::to_string(signature.required) + " to " + std::to_string(signature.count);
    }
    const char* plural = signature.count == 1 ? "" : "s";
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", signature.function,
                 takes.c_str(), plural, given, given == 1 ? "was" : "were");
}

// "missing 2 required positional arguments: 'a' and 'b'", as Python words it.
bool check_missing(const Signature& signature, PyObject** bound) {
    std::string names;
    Py_ssize_t missing = 0;
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < signature.required; ++i) {
        total += bound[i] == nullptr ? 1 : 0;
    }
    if (total == 0) {
        return true;
    }
    for (Py_ssize_t i = 0; i < signature.required; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        ++missing;
        if (missing > 1) {
            if (missing == total) {
                names += total > 2 ? ", and " : " and ";
            } else {
                names += ", ";
            }
        }
        names += "'";
        names += signature.names[i];
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", signature.function, total,
                 total == 1 ? "" : "s", names.c_str());
    return false;
}

}  // namespace

bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound) {
    nargs = PyVectorcall_NARGS(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) {
            return false;
        }
    }
    if (nargs > signature.count) {
        raise_too_many_positional(signature, nargs);
        return false;
    }
    return check_missing(signature, bound);
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        bound[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!bind_keyword(signature, key, value, bound)) {
                return false;
            }
        }
    }
    if (nargs > signature.count) {
        raise_too_many_positional(signature, nargs);
        return false;
    }
    return check_missing(signature, bound);
}

bool index_to_u64(PyObject* object, uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        return false;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace vorlane_py
