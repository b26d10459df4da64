// The vorlane._engine module: matrix checks, factorization and the conjugate-gradient
// iteration, all run without the interpreter lock.
#include "guard.hpp"
#include "py_types.hpp"

namespace vorlane_engine {

namespace {

PyMethodDef module_functions[] = {
    {"check_matrix", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_matrix)), METH_FASTCALL,
     "check_matrix(indptr, indices, data, n, unit_roundoff, values) -> System"},
    {"cg", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_cg)), METH_FASTCALL,
     "cg(system, factor, b, x, width, has_guess, tol, maxiter, path, adaptive, time_limit, seed, split, renumber, "
     "notify, snapshot) -> (path, factor, factor_seconds, [(iterations, residual, status), ...])"},
    {"restore_factor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore_factor)), METH_FASTCALL,
     "restore_factor(n, original_n, order, col_starts, rows, coefficients, inv_diag, renumbering) -> Factor, checked"},
    {"rank_summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rank_summary)), METH_FASTCALL,
     "rank_summary(first, n, indptr, indices, data) -> (largest_diagonal, largest_excess, cut)"},
    {"rank_interior", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rank_interior)), METH_FASTCALL,
     "rank_interior(first, n, indptr, indices, data, combined, seed, split) -> RankFactor"},
    {"pinv_diagonal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pinv_diagonal)), METH_FASTCALL,
     "pinv_diagonal(indptr, indices, data, out, budget, solve) -> bool"},
    {"problem", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make_problem)),
     METH_VARARGS | METH_KEYWORDS,
     "problem(recipe, dims, seed, weights, grounded, decades, avg_degree, connected, sddm, renumber) -> "
     "(n, indptr, indices, data)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vorlane._engine", "The solve engine of the vorlane package (private).", -1,
    module_functions,      nullptr,           nullptr,                                            nullptr,
    nullptr,
};

PyObject* init() {
    return guarded<PyObject*>(nullptr, []() -> PyObject* {
        if (system_type() == nullptr || factor_type() == nullptr || rank_factor_type() == nullptr) return nullptr;
        PyObject* module = PyModule_Create(&module_definition);
        if (module == nullptr) return nullptr;
        Py_INCREF(system_type());
        Py_INCREF(factor_type());
        Py_INCREF(rank_factor_type());
        if (PyModule_AddObject(module, "System", reinterpret_cast<PyObject*>(system_type())) < 0 ||
            PyModule_AddObject(module, "Factor", reinterpret_cast<PyObject*>(factor_type())) < 0 ||
            PyModule_AddObject(module, "RankFactor", reinterpret_cast<PyObject*>(rank_factor_type())) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
        return module;
    });
}

}  // namespace

}  // namespace vorlane_engine

PyMODINIT_FUNC PyInit__engine() { return vorlane_engine::init(); }
