// Raising Python exceptions: argument prefixes, core and solve errors, and C++ failures.
#pragma once

#include "py_ref.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "vorlane/csr.hpp"
#include "vorlane/internal_fault.hpp"
#include "vorlane/decomposition.hpp"

namespace vorlane_py {

// The qualified name of the object's type ("list", "ndarray"), for messages.
std::string type_qualname(PyObject* object);

// TypeError "argument '<arg>': '<type>' object cannot be converted to '<target>'".
void raise_cannot_convert(const char* arg, PyObject* object, const char* target);

// If a TypeError is pending, replaces it by a TypeError whose message is
// "argument '<arg>': " + the original message, keeping the original's cause.
// Any other pending exception is left as it is.
void prefix_type_error(const char* arg);

// ValueError with the error's message; memory exhaustion variants become MemoryError.
void raise_core_error(const vorlane::CoreError& error);
void raise_solve_error(const vorlane::SolveError& error);

// Raises the internal-fault exception (a BaseException subclass) with the given text.
void raise_internal_fault(const char* what);

// Runs body at the Python boundary: C++ exceptions never cross into the interpreter.
// Memory exhaustion becomes MemoryError, a broken invariant the internal-fault exception.
template <class Result, class Body>
Result run_guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const vorlane::InternalFault& fault) {
        raise_internal_fault(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_fault(error.what());
    } catch (...) {
        raise_internal_fault("unknown C++ exception");
    }
    return failure;
}

}  // namespace vorlane_py
