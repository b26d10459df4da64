// pinv_diagonal: the exact diagonal of a Laplacian's pseudo-inverse, without the interpreter
// lock.
#include <optional>

#include "buffers.hpp"
#include "guard.hpp"
#include "py_types.hpp"
#include "unlocked.hpp"
#include "vorlane/exact_inverse.hpp"

namespace vorlane_engine {

PyObject* pinv_diagonal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 6) {
            PyErr_SetString(PyExc_TypeError, "pinv_diagonal(indptr, indices, data, out, budget, solve) takes six arguments");
            return nullptr;
        }
        Borrowed indptr, indices, data, out, solve;
        if (!indptr.acquire(args[0], Element::UInt32, "indptr") || !indices.acquire(args[1], Element::UInt32, "indices") ||
            !data.acquire(args[2], Element::Float64, "data") || !out.acquire(args[3], Element::Float64, "out", true)) {
            return nullptr;
        }
        const double budget = PyFloat_AsDouble(args[4]);
        if (PyErr_Occurred()) return nullptr;
        if (args[5] != Py_None && !solve.acquire(args[5], Element::Float64, "solve", true)) return nullptr;
        if (indptr.size() == 0 || indptr.size() - 1 != out.size() || out.size() > UINT32_MAX ||
            (args[5] != Py_None && solve.size() != out.size())) {
            PyErr_SetString(PyExc_ValueError, "out and solve must hold one value per row of the matrix");
            return nullptr;
        }
        const auto view = vorlane::CsrView::create(indptr.uint32s(), indices.uint32s(), data.doubles(),
                                                   static_cast<uint32_t>(out.size()));
        if (!view) {
            PyErr_SetString(PyExc_ValueError, vorlane::message(view.error()).c_str());
            return nullptr;
        }
        std::optional<vorlane::Expected<std::vector<double>, vorlane::ExactInverseError>> result;
        {
            Unlocked unlocked;
            vorlane::StopCheck stop{[](void* context) { return static_cast<Unlocked*>(context)->poll(); }, &unlocked};
            result.emplace(vorlane::laplacian_pinv_diagonal(
                *view, budget, stop, args[5] != Py_None ? solve.writable_doubles() : std::span<double>{}));
        }
        if (!*result) {
            using Kind = vorlane::ExactInverseError::Kind;
            switch (result->error().kind) {
                case Kind::OverBudget: Py_RETURN_FALSE;
                // The signal handler's exception is pending.
                case Kind::Interrupted:
                    if (PyErr_Occurred()) return nullptr;
                    PyErr_SetString(PyExc_KeyboardInterrupt, vorlane::message(result->error()).c_str());
                    return nullptr;
                case Kind::OutOfMemory: PyErr_SetString(PyExc_MemoryError, vorlane::message(result->error()).c_str()); return nullptr;
                default: PyErr_SetString(PyExc_ValueError, vorlane::message(result->error()).c_str()); return nullptr;
            }
        }
        std::copy((*result)->begin(), (*result)->end(), out.writable_doubles().begin());
        Py_RETURN_TRUE;
    });
}

}  // namespace vorlane_engine
