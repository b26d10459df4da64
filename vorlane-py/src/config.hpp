// The Config class: an immutable seed and optional edge-split count, and its core mapping.
#pragma once

#include "py_ref.hpp"

#include "vorlane/builder.hpp"

namespace vorlane_py {

// The Config type object, created on first use and kept for the life of the process.
// Null with an exception set if it cannot be created.
PyTypeObject* config_type();

// True if the object is a Config (requires config_type() to have succeeded).
bool is_config(PyObject* object);

// Checks the optional `config` argument of the factorize functions: null or None pass,
// anything else must be a Config. Raises the 'config' argument TypeError otherwise.
bool check_config_argument(PyObject* config);

// Maps an optional Config (null or None: defaults) to the core's configuration record.
// A split of 0 raises ValueError "config.split must be >= 1"; a split of 1 means no split.
bool to_core_config(PyObject* config, vorlane::CoreConfig& out);

// Converts an int, or an object with an index conversion, to an unsigned 64-bit integer.
// A TypeError gets the argument prefix for `name`; an OverflowError passes unchanged.
bool to_u64_argument(PyObject* object, const char* name, uint64_t& out);

}  // namespace vorlane_py
