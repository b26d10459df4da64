// Binding of positional and keyword arguments to named parameters, with Python's own wording.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>

namespace vorlane_py {

// Parameters are positional-or-keyword; the first `required` of them must be given.
struct Signature {
    const char* function;  // name used in messages, e.g. "factorize" or "Factor.solve"
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
};

// Binds fast-call arguments. `bound` receives `count` borrowed references, null where a
// parameter was not given. Returns false with TypeError set on a binding error.
bool bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound);

// The same for tuple-and-dict calls (type constructors). `kwargs` may be null.
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound);

// Converts an int, or an object with an index conversion, to an unsigned 64-bit integer.
// Returns false with the interpreter's own TypeError or OverflowError set.
bool index_to_u64(PyObject* object, uint64_t& out);

}  // namespace vorlane_py
