// The engine module's Python objects: a checked matrix and a factor, each owning its C++ state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "checked_matrix.hpp"
#include "unlocked.hpp"
#include "vorlane/decomposition.hpp"

namespace vorlane_engine {

struct SystemObject {
    PyObject_HEAD
    CheckedMatrix* matrix;
};

struct FactorObject {
    PyObject_HEAD
    vorlane::CoreFactor* factor;
};

PyTypeObject* system_type();
PyTypeObject* factor_type();

// Why a factorization failed, kept until the interpreter lock is back to raise it.
struct FactorizeFailure {
    std::string message;
    bool memory = false;
    bool interrupted = false;
};
// Factorizes while `unlocked` holds the interpreter lock released, polling it for signals.
std::optional<vorlane::CoreFactor> factorize_unlocked(const CheckedMatrix& matrix, uint64_t seed,
                                                      std::optional<uint32_t> split, Unlocked& unlocked,
                                                      FactorizeFailure& failure);
void raise_factorize_failure(const FactorizeFailure& failure);
// Wraps a finished factor in a new Factor object (lock held).
PyObject* wrap_factor(vorlane::CoreFactor&& factor);

// Module-level functions.
PyObject* check_matrix(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* run_cg(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// restore_factor(n, original_n, order, col_starts, rows, coefficients, inv_diag) -> Factor,
// after checking that the arrays form a valid factor (ValueError if not).
PyObject* restore_factor(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// problem(recipe, dims, seed, **options) -> (n, indptr, indices, data): a generated test or
// benchmark matrix as bytearrays of uint32, uint32 and float64.
PyObject* make_problem(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vorlane_engine
