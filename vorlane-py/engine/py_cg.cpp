// cg(): the iteration's Python entry, run without the interpreter lock; Python is re-entered
// only for signal checks and the per-iteration notification.
#include <chrono>
#include <limits>

#include "vorlane/block_cg.hpp"
#include "buffers.hpp"
#include "guard.hpp"
#include "py_types.hpp"

namespace vorlane_engine {

namespace {

enum Arg {
    kSystem,
    kFactor,
    kB,
    kX,
    kWidth,
    kHasGuess,
    kTol,
    kAtol,
    kMaxiter,
    kPath,
    kAdaptive,
    kTimeLimit,
    kSeed,
    kSplit,
    kRenumber,
    kPrecision,
    kOrder,
    kThreads,
    kNotify,
    kSnapshot,
    kArgCount
};
static_assert(kOrder == kSeed + 4, "the factorization settings are read as five consecutive arguments");

}  // namespace

PyObject* run_cg(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != kArgCount) {
            PyErr_SetString(PyExc_TypeError, "cg() takes 18 arguments");
            return nullptr;
        }
        if (!PyObject_TypeCheck(args[kSystem], system_type())) {
            PyErr_SetString(PyExc_TypeError, "system must be a vorlane._engine.System");
            return nullptr;
        }
        const bool has_factor = args[kFactor] != Py_None;
        if (has_factor && !PyObject_TypeCheck(args[kFactor], factor_type())) {
            PyErr_SetString(PyExc_TypeError, "factor must be a vorlane._engine.Factor or None");
            return nullptr;
        }
        const CheckedMatrix& matrix = *reinterpret_cast<SystemObject*>(args[kSystem])->matrix;
        const vorlane::StreamedFactor* factor =
            has_factor ? &reinterpret_cast<FactorObject*>(args[kFactor])->factor->streamed : nullptr;

        CgSettings settings;
        const unsigned long long width = PyLong_AsUnsignedLongLong(args[kWidth]);
        const int has_guess = PyObject_IsTrue(args[kHasGuess]);
        settings.tol = PyFloat_AsDouble(args[kTol]);
        settings.atol = PyFloat_AsDouble(args[kAtol]);
        settings.maxiter = PyLong_AsUnsignedLongLong(args[kMaxiter]);
        const long path = PyLong_AsLong(args[kPath]);
        const int adaptive = PyObject_IsTrue(args[kAdaptive]);
        settings.time_limit = PyFloat_AsDouble(args[kTimeLimit]);
        if (PyErr_Occurred()) return nullptr;
        vorlane::FactorSettings factor_settings;
        if (!read_factor_settings(args + kSeed, factor_settings)) return nullptr;
        if (!read_threads(args[kThreads], settings.threads)) return nullptr;
        if (path < 0 || path > 2 || width == 0) {
            PyErr_SetString(PyExc_ValueError, "cg(): bad path or width");
            return nullptr;
        }
        settings.start = static_cast<Path>(path);
        settings.adaptive = adaptive != 0;
        if (factor != nullptr) {
            if (factor->original_n() != matrix.n()) {
                PyErr_Format(PyExc_ValueError, "M was built for a matrix of dimension %llu, not %llu",
                             static_cast<unsigned long long>(factor->original_n()),
                             static_cast<unsigned long long>(matrix.n()));
                return nullptr;
            }
        }
        PyObject* notify = args[kNotify];
        const bool has_snapshot = args[kSnapshot] != Py_None;
        Borrowed b, x, snapshot;
        if (!b.acquire(args[kB], Element::Float64, "b") || !x.acquire(args[kX], Element::Float64, "x", true) ||
            (has_snapshot && !snapshot.acquire(args[kSnapshot], Element::Float64, "snapshot", true))) {
            return nullptr;
        }
        const uint64_t elements = matrix.n() * width;
        if (b.size() != elements || x.size() != elements || (has_snapshot && snapshot.size() != elements)) {
            PyErr_SetString(PyExc_ValueError, "b, x and snapshot must hold n x width elements");
            return nullptr;
        }

        CgOutcome outcome;
        std::optional<SolverFactor> built;
        FactorizeFailure failure;
        double factor_seconds = 0.0;
        {
            Unlocked unlocked;
            CgHooks hooks;
            hooks.should_stop = [&] { return unlocked.poll(); };
            if (notify != Py_None) {
                double* shot = has_snapshot ? snapshot.writable_doubles().data() : nullptr;
                hooks.after_iteration = [&, shot](const IterateView& view) {
                    return unlocked.locked([&] {
                        if (shot != nullptr) {
                            for (uint64_t i = 0; i < matrix.n(); ++i) {
                                for (size_t j = 0; j < view.width; ++j) {
                                    shot[i * view.width + j] = view.x[i * view.stride + j] * view.scale[j];
                                }
                            }
                        }
                        PyObject* result = PyObject_CallFunction(notify, "Kd",
                                                                 static_cast<unsigned long long>(view.iteration),
                                                                 view.residual);
                        Py_XDECREF(result);
                        return result != nullptr;
                    });
                };
            }
            hooks.factorize = [&]() -> const vorlane::StreamedFactor* {
                const auto start = std::chrono::steady_clock::now();
                built = factorize_unlocked(matrix, factor_settings, unlocked, failure);
                factor_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                return built ? &built->streamed : nullptr;
            };
            outcome = vorlane::block_cg(matrix, factor, b.doubles().data(), x.writable_doubles().data(), width, has_guess != 0,
                               settings, hooks);
        }
        if (outcome.stopped) {
            if (!PyErr_Occurred()) raise_factorize_failure(failure);
            return nullptr;
        }
        PyObject* columns = PyList_New(static_cast<Py_ssize_t>(outcome.columns.size()));
        if (columns == nullptr) return nullptr;
        for (size_t j = 0; j < outcome.columns.size(); ++j) {
            const ColumnResult& c = outcome.columns[j];
            // The residual history travels as the bytes of its doubles.
            PyObject* item = Py_BuildValue(
                "(KdiKy#)", static_cast<unsigned long long>(c.iterations), c.residual, static_cast<int>(c.status),
                static_cast<unsigned long long>(c.jacobi_iterations), c.residuals.empty() ? "" : reinterpret_cast<const char*>(c.residuals.data()),
                static_cast<Py_ssize_t>(c.residuals.size() * sizeof(double)));
            if (item == nullptr) {
                Py_DECREF(columns);
                return nullptr;
            }
            PyList_SET_ITEM(columns, static_cast<Py_ssize_t>(j), item);
        }
        PyObject* factor_object = Py_None;
        Py_INCREF(Py_None);
        if (built) {
            Py_DECREF(Py_None);
            factor_object = wrap_factor(std::move(*built));
            if (factor_object == nullptr) {
                Py_DECREF(columns);
                return nullptr;
            }
        }
        return Py_BuildValue("(iNdN)", static_cast<int>(outcome.path), factor_object, factor_seconds, columns);
    });
}

}  // namespace vorlane_engine
