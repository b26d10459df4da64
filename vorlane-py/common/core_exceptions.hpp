// The one table from the core's error classes to Python exceptions, shared by both extension
// modules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vorlane/csr.hpp"

namespace vorlane_common {

// An interrupt whose signal handler raised already keeps that exception; one reported without
// it (the caller's own stop) is a ValueError like a refused input.
inline PyObject* exception_for(vorlane::ErrorClass error_class) {
    switch (error_class) {
        case vorlane::ErrorClass::OutOfMemory:
            return PyExc_MemoryError;
        case vorlane::ErrorClass::Invalid:
        case vorlane::ErrorClass::Interrupted:
            break;
    }
    return PyExc_ValueError;
}

}  // namespace vorlane_common
