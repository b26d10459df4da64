// The Factor class: owns a finished factorization and solves with it.
#pragma once

#include "py_ref.hpp"

#include <cstdint>

#include "vorlane/decomposition.hpp"

namespace vorlane_py {

// The Factor type object, created on first use and kept for the life of the process.
// Null with an exception set if it cannot be created.
PyTypeObject* factor_type();

// A new Factor taking over the core factor; original_n is the dimension the caller passed.
// Null with an exception set on failure (the core factor is then dropped).
PyObject* new_factor(vorlane::CoreFactor&& factor, uint64_t original_n);

}  // namespace vorlane_py
