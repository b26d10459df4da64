// The engine module's Python objects: a checked matrix and a factor, each owning its C++ state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "unlocked.hpp"
#include "vorlane/block_cg.hpp"
#include "vorlane/checked_matrix.hpp"
#include "vorlane/renumbering.hpp"
#include "vorlane/solver_factor.hpp"

namespace vorlane_engine {

// The solver's types, which the binding wraps and reads without qualification.
using vorlane::CgHooks;
using vorlane::CgOutcome;
using vorlane::CgSettings;
using vorlane::CheckedMatrix;
using vorlane::CheckOptions;
using vorlane::ColumnResult;
using vorlane::IterateView;
using vorlane::Path;
using vorlane::RawCsr;
using vorlane::Renumber;
using vorlane::SolverFactor;

struct SystemObject {
    PyObject_HEAD
    CheckedMatrix* matrix;
};

struct FactorObject {
    PyObject_HEAD
    SolverFactor* factor;
};

PyTypeObject* system_type();
PyTypeObject* factor_type();
PyTypeObject* rank_factor_type();

// Why a factorization failed, kept until the interpreter lock is back to raise it.
struct FactorizeFailure {
    std::string message;
    vorlane::ErrorClass error_class = vorlane::ErrorClass::Invalid;
};
// Factorizes as settings say while `unlocked` holds the interpreter lock released, polling
// it for signals.
std::optional<SolverFactor> factorize_unlocked(const CheckedMatrix& matrix, const vorlane::FactorSettings& settings,
                                               Unlocked& unlocked, FactorizeFailure& failure);
// The five factorization settings (seed, split, renumber, precision, order) from their
// Python forms, args[0] to args[4].
bool read_factor_settings(PyObject* const* args, vorlane::FactorSettings& settings);
// A thread count from 1 to 4096 (ValueError otherwise).
bool read_threads(PyObject* object, unsigned& threads);
// The elimination order from its Python form: None for the sequential order, or a tuple
// (threads, degree_factor, round_size, blocks, parts) for rounds, parts None or a uint32 array
// (ValueError or TypeError otherwise; the parts' values are checked by the factorization).
bool read_order(PyObject* object, vorlane::FactorSettings& settings);
// mode from its Python form: 0 never, 1 auto, 2 always (ValueError for anything else).
bool read_renumber(PyObject* object, Renumber& mode);
// precision from its Python form: 0 double, 1 mixed (ValueError for anything else).
bool read_precision(PyObject* object, vorlane::Precision& precision);
void raise_factorize_failure(const FactorizeFailure& failure);
// Wraps a finished factor in a new Factor object (lock held).
PyObject* wrap_factor(SolverFactor&& factor);

// Module-level functions.
PyObject* check_matrix(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* run_cg(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// restore_factor(n, original_n, order, col_starts, rows, coefficients, inv_diag, renumbering,
// precision) -> Factor, after checking that the arrays form a valid factor and renumbering (None or a
// uint32 array) a permutation of the matrix's vertices (ValueError if not).
PyObject* restore_factor(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// rank_summary(first, n, indptr, indices, data) -> (largest_diagonal, largest_excess, cut): one
// process's rows summarized (all zero when malformed). rank_interior(first, n, indptr, indices,
// data, combined, seed, split) -> RankFactor: its interior eliminated, combined being every
// process's summary combined by maximum.
PyObject* rank_summary(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* rank_interior(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// pinv_diagonal(indptr, indices, data, out, budget, solve) -> bool: the diagonal of a connected
// graph Laplacian's pseudo-inverse written to out, exactly, and solve (None or n float64
// values) replaced by L^+ solve; False (out untouched) when it would take more than budget
// multiply-adds. indptr and indices are uint32.
PyObject* pinv_diagonal(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// problem(recipe, dims, seed, **options) -> (n, indptr, indices, data): a generated test or
// benchmark matrix as bytearrays of uint32, uint32 and float64.
PyObject* make_problem(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vorlane_engine
