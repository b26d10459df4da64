// The one exception guard every entry point of the engine module runs its body in, so that no
// C++ exception reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "vorlane/internal_fault.hpp"

namespace vorlane_engine {

// Memory exhaustion becomes MemoryError; anything else (a broken invariant) RuntimeError
// naming it as an internal error.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "vorlane internal error: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "vorlane internal error: unknown C++ exception");
    }
    return failure;
}

}  // namespace vorlane_engine
