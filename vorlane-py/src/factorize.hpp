// The factorize and factorize_raw functions: argument conversion, checks and the core call.
#pragma once

#include "py_ref.hpp"

namespace vorlane_py {

// Method definitions of the two module functions (static storage, as the interpreter requires).
PyMethodDef* factorize_definition();
PyMethodDef* factorize_raw_definition();

}  // namespace vorlane_py
