// problem(): the shared test and benchmark matrices, built in C++ so that the Python tests,
// the benchmark and the demo draw exactly the matrices the C++ tests and benchmark draw.
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "guard.hpp"
#include "py_types.hpp"
#include "vorlane_problems/matrices.hpp"
#include "vorlane_problems/recipes.hpp"

namespace vorlane_engine {

namespace {

namespace vp = vorlane_problems;

// Generators take 32-bit dimensions; larger requests are refused before anything is built.
constexpr uint64_t kMaxVertices = std::numeric_limits<uint32_t>::max() - 1;

PyObject* to_bytearray(const void* data, size_t bytes) {
    return PyByteArray_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes));
}

// (n, indptr, indices, data): the arrays as bytearrays of uint32, uint32 and float64.
PyObject* package(const vp::Csr& m) {
    return Py_BuildValue("(kNNN)", static_cast<unsigned long>(m.n),
                         to_bytearray(m.row_ptrs.data(), m.row_ptrs.size() * sizeof(uint32_t)),
                         to_bytearray(m.col_indices.data(), m.col_indices.size() * sizeof(uint32_t)),
                         to_bytearray(m.values.data(), m.values.size() * sizeof(double)));
}

bool read_dims(PyObject* sequence, std::vector<uint32_t>& dims) {
    PyObject* items = PySequence_Fast(sequence, "dims must be a sequence of integers");
    if (items == nullptr) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
    uint64_t total = 1;
    bool ok = count >= 1 && count <= 3;
    if (!ok) PyErr_SetString(PyExc_ValueError, "dims must hold 1 to 3 sides");
    for (Py_ssize_t i = 0; ok && i < count; ++i) {
        const unsigned long long side = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(items, i));
        if (PyErr_Occurred()) {
            ok = false;
        } else if (side == 0 || side > kMaxVertices || (total *= side) > kMaxVertices) {
            PyErr_SetString(PyExc_ValueError, "grid sides must be >= 1 and their product below 2**32 - 1");
            ok = false;
        } else {
            dims.push_back(static_cast<uint32_t>(side));
        }
    }
    Py_DECREF(items);
    return ok;
}

std::optional<vp::Weights> test_weights(const std::string& name) {
    if (name == "unit") return vp::Weights::Unit;
    if (name == "random") return vp::Weights::Random;
    if (name == "contrast") return vp::Weights::Contrast;
    PyErr_Format(PyExc_ValueError, "weights must be 'unit', 'random' or 'contrast', got '%s'", name.c_str());
    return std::nullopt;
}

std::optional<vp::Csr> build(const std::string& recipe, const std::vector<uint32_t>& dims, uint64_t seed,
                             const std::string& weights, int grounded, double decades, double avg_degree,
                             int connected) {
    namespace rc = vp::recipes;
    const uint32_t n = dims[0];
    if (recipe == "grid") {
        if (weights != "unit" && weights != "log-uniform") {
            PyErr_SetString(PyExc_ValueError, "grid weights must be 'unit' or 'log-uniform'");
            return std::nullopt;
        }
        const auto kind = weights == "unit" ? rc::GridWeights::Unit : rc::GridWeights::LogUniform;
        return rc::grid(dims, kind, grounded != 0, seed, decades);
    }
    if (recipe == "power_law") return rc::power_law(n, avg_degree, seed);
    if (recipe == "expander") return rc::expander(n, seed);
    const auto kind = test_weights(weights);
    if (!kind) return std::nullopt;
    if (recipe == "grid2d" && dims.size() == 2) return vp::grid2d(dims[0], dims[1], seed, *kind);
    if (recipe == "grid3d" && dims.size() == 3) return vp::grid3d(dims[0], dims[1], dims[2], seed, *kind);
    if (recipe == "path") return vp::path(n, seed, *kind);
    if (recipe == "star") return vp::star(n, seed, *kind);
    if (recipe == "tree") return vp::random_tree(n, seed, *kind);
    if (recipe == "random_graph") return vp::random_graph(n, avg_degree, seed, *kind, connected != 0);
    PyErr_Format(PyExc_ValueError, "unknown problem '%s' for %zu sides", recipe.c_str(), dims.size());
    return std::nullopt;
}

}  // namespace

PyObject* make_problem(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"recipe",     "dims",      "seed", "weights", "grounded", "decades",
                                         "avg_degree", "connected", "sddm", "renumber", nullptr};
        const char* recipe = nullptr;
        PyObject* dims_object = nullptr;
        PyObject* seed_object = nullptr;
        const char* weights = "unit";
        int grounded = 0;
        double decades = 4.0;
        double avg_degree = 10.0;
        int connected = 1;
        PyObject* sddm = Py_None;
        PyObject* renumber = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOO|spddpOO", const_cast<char**>(keywords), &recipe,
                                         &dims_object, &seed_object, &weights, &grounded, &decades, &avg_degree,
                                         &connected, &sddm, &renumber)) {
            return nullptr;
        }
        // Integers are read with overflow checks (the "K" format would wrap negative ones).
        const unsigned long long seed = PyLong_AsUnsignedLongLong(seed_object);
        if (PyErr_Occurred()) return nullptr;
        std::vector<uint32_t> dims;
        if (!read_dims(dims_object, dims)) return nullptr;
        if (static_cast<double>(dims[0]) * avg_degree / 2.0 > static_cast<double>(kMaxVertices)) {
            PyErr_SetString(PyExc_ValueError, "n * avg_degree / 2 edges must stay below 2**32");
            return nullptr;
        }
        if (!(decades >= 0.0 && decades <= 100.0) || !(avg_degree >= 0.0 && avg_degree <= 1e6)) {
            PyErr_SetString(PyExc_ValueError, "decades must be in [0, 100] and avg_degree in [0, 1e6]");
            return nullptr;
        }
        // Checked before building: the sddm tuple and the renumbering seed.
        unsigned long long sddm_seed = 0;
        double density = 0.1, low = 0.1, high = 1.0;
        if (sddm != Py_None) {
            PyObject* sddm_seed_object = nullptr;
            if (!PyArg_ParseTuple(sddm, "Oddd;sddm must be (seed, density, low, high)", &sddm_seed_object, &density,
                                  &low, &high)) {
                return nullptr;
            }
            sddm_seed = PyLong_AsUnsignedLongLong(sddm_seed_object);
            if (PyErr_Occurred()) return nullptr;
        }
        if (sddm != Py_None && !(density >= 0.0 && density <= 1.0 && low > 0.0 && low <= high && high < 1e300)) {
            PyErr_SetString(PyExc_ValueError, "sddm needs 0 <= density <= 1 and 0 < low <= high");
            return nullptr;
        }
        unsigned long long renumber_seed = 0;
        if (renumber != Py_None) {
            renumber_seed = PyLong_AsUnsignedLongLong(renumber);
            if (PyErr_Occurred()) return nullptr;
        }
        std::optional<vp::Csr> matrix = build(recipe, dims, seed, weights, grounded, decades, avg_degree, connected);
        if (!matrix) return nullptr;
        if (sddm != Py_None) matrix = vp::sddm(*matrix, sddm_seed, density, low, high);
        if (renumber != Py_None) matrix = vp::recipes::renumbered(*matrix, renumber_seed);
        return package(*matrix);
    });
}

}  // namespace vorlane_engine
