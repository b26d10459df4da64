// The RankFactor type: one process's part of a factor spread over processes, whose messages the
// caller moves between them.
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "buffers.hpp"
#include "core_exceptions.hpp"
#include "guard.hpp"
#include "py_types.hpp"
#include "vorlane/rank_elimination.hpp"

namespace vorlane_engine {

namespace {

struct RankFactorObject {
    PyObject_HEAD
    vorlane::RankFactor* factor;
};

vorlane::RankFactor& rank_of(PyObject* self) { return *reinterpret_cast<RankFactorObject*>(self)->factor; }

void rank_dealloc(PyObject* self) {
    delete reinterpret_cast<RankFactorObject*>(self)->factor;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void raise_core(const vorlane::CoreError& error) {
    PyErr_SetString(vorlane_common::exception_for(vorlane::classify(error)), vorlane::message(error).c_str());
}

// The rows' arrays: first, n, indptr (int64), indices (uint32), data (float64).
struct RowArgs {
    Borrowed indptr, indices, data;
    vorlane::RankRows rows;

    bool read(PyObject* const* args) {
        rows.first = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return false;
        rows.n = PyLong_AsUnsignedLongLong(args[1]);
        if (PyErr_Occurred()) return false;
        if (!indptr.acquire(args[2], Element::Int64, "indptr") || !indices.acquire(args[3], Element::UInt32, "indices") ||
            !data.acquire(args[4], Element::Float64, "data")) {
            return false;
        }
        if (indptr.element() != Element::Int64) {
            PyErr_SetString(PyExc_TypeError, "indptr must hold 64-bit integers");
            return false;
        }
        const auto ptrs = indptr.int64s();
        rows.row_ptrs = {reinterpret_cast<const uint64_t*>(ptrs.data()), ptrs.size()};
        rows.cols = indices.uint32s();
        rows.values = data.doubles();
        return true;
    }
};

#define VORLANE_SIZE_GETTER(name, expression)                                                                \
    PyObject* get_##name(PyObject* self, void*) {                                                            \
        return guarded<PyObject*>(nullptr, [&] {                                                             \
            const vorlane::RankFactor& f = rank_of(self);                                                    \
            return PyLong_FromUnsignedLongLong(expression);                                                  \
        });                                                                                                  \
    }
VORLANE_SIZE_GETTER(rows, f.rows())
VORLANE_SIZE_GETTER(work_size, f.work_size())
VORLANE_SIZE_GETTER(message_size, f.message_size())
VORLANE_SIZE_GETTER(interface_size, f.interface_size())
VORLANE_SIZE_GETTER(share_size, f.share().size())
VORLANE_SIZE_GETTER(interface_total, f.interface_total())
VORLANE_SIZE_GETTER(interface_levels,
                    f.interface_rounds().round_starts.empty() ? 0 : f.interface_rounds().round_starts.size() - 1)
#undef VORLANE_SIZE_GETTER

PyObject* get_augmented(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(rank_of(self).augmented()); });
}

PyGetSetDef rank_getset[] = {
    {"rows", get_rows, nullptr, "rows this process owns", nullptr},
    {"work_size", get_work_size, nullptr, "length of the vector the applies work in", nullptr},
    {"message_size", get_message_size, nullptr, "length of this process's message in an apply", nullptr},
    {"interface_size", get_interface_size, nullptr, "owned rows on the interface", nullptr},
    {"share_size", get_share_size, nullptr, "length of the share sent to the interface's process", nullptr},
    {"interface_total", get_interface_total, nullptr, "interface rows of every process (on the interface's)",
     nullptr},
    {"interface_levels", get_interface_levels, nullptr, "rounds that eliminated the interface (on its process)",
     nullptr},
    {"augmented", get_augmented, nullptr, "whether a ground vertex was added", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool sized(Borrowed& b, PyObject* object, const char* name, uint64_t size, bool writable) {
    if (!b.acquire(object, Element::Float64, name, writable)) return false;
    if (b.size() != size) {
        PyErr_Format(PyExc_ValueError, "%s must hold %llu elements", name, static_cast<unsigned long long>(size));
        return false;
    }
    return true;
}

// share_into(buffer): copies the share out.
PyObject* rank_share_into(PyObject* self, PyObject* buffer) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto share = rank_of(self).share();
        Borrowed into;
        if (!sized(into, buffer, "share", share.size(), true)) return nullptr;
        std::copy(share.begin(), share.end(), into.writable_doubles().begin());
        Py_RETURN_NONE;
    });
}

// eliminate_interface(shares, sizes, threads, degree_factor, round_size): every process's
// share, concatenated in rank order, with their lengths (int64).
PyObject* rank_eliminate_interface(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 5) {
            PyErr_SetString(PyExc_TypeError,
                            "eliminate_interface(shares, sizes, threads, degree_factor, round_size) takes five arguments");
            return nullptr;
        }
        Borrowed shares, sizes;
        if (!shares.acquire(args[0], Element::Float64, "shares") || !sizes.acquire(args[1], Element::Int64, "sizes")) {
            return nullptr;
        }
        unsigned threads = 1;
        if (!read_threads(args[2], threads)) return nullptr;
        vorlane::RoundOptions options;
        options.degree_factor = PyFloat_AsDouble(args[3]);
        if (PyErr_Occurred()) return nullptr;
        options.round_size = static_cast<uint32_t>(PyLong_AsUnsignedLong(args[4]));
        if (PyErr_Occurred()) return nullptr;
        std::vector<std::span<const double>> each;
        uint64_t at = 0;
        for (const int64_t size : sizes.int64s()) {
            if (size < 0 || static_cast<uint64_t>(size) > shares.size() - at) {
                PyErr_SetString(PyExc_ValueError, "the share sizes do not fit the shares");
                return nullptr;
            }
            each.push_back(shares.doubles().subspan(at, static_cast<uint64_t>(size)));
            at += static_cast<uint64_t>(size);
        }
        if (at != shares.size()) {
            PyErr_SetString(PyExc_ValueError, "the share sizes do not fit the shares");
            return nullptr;
        }
        std::optional<vorlane::CoreError> failed;
        {
            Unlocked unlocked;
            vorlane::ThreadPool pool(threads);
            failed = rank_of(self).eliminate_interface(each, options, pool);
        }
        if (failed) {
            raise_core(*failed);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// forward(x, message), solve_interface(messages), backward(reply, x): the three steps of an
// apply (see the core's RankFactor).
PyObject* rank_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const vorlane::RankFactor& f = rank_of(self);
        Borrowed x, message;
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "forward(x, message) takes two arguments");
            return nullptr;
        }
        if (!sized(x, args[0], "x", f.work_size(), true) ||
            !sized(message, args[1], "message", f.message_size(), true)) {
            return nullptr;
        }
        f.forward(x.writable_doubles(), message.writable_doubles());
        Py_RETURN_NONE;
    });
}

PyObject* rank_solve_interface(PyObject* self, PyObject* messages) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const vorlane::RankFactor& f = rank_of(self);
        uint64_t total = 0;
        for (const uint64_t size : f.message_sizes()) total += size;
        if (f.message_sizes().empty()) {
            PyErr_SetString(PyExc_ValueError, "no interface was eliminated here");
            return nullptr;
        }
        Borrowed all;
        if (!sized(all, messages, "messages", total, true)) return nullptr;
        f.solve_interface(all.writable_doubles());
        Py_RETURN_NONE;
    });
}

PyObject* rank_backward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const vorlane::RankFactor& f = rank_of(self);
        Borrowed reply, x;
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "backward(reply, x) takes two arguments");
            return nullptr;
        }
        if (!sized(reply, args[0], "reply", f.message_size(), false) || !sized(x, args[1], "x", f.work_size(), true)) {
            return nullptr;
        }
        f.backward(reply.doubles(), x.writable_doubles());
        Py_RETURN_NONE;
    });
}

template <auto F>
PyCFunction fast() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef rank_methods[] = {
    {"share_into", rank_share_into, METH_O, "share_into(buffer): copy the share out"},
    {"eliminate_interface", fast<rank_eliminate_interface>(), METH_FASTCALL,
     "eliminate_interface(shares, sizes, threads, degree_factor, round_size)"},
    {"forward", fast<rank_forward>(), METH_FASTCALL, "forward(x, message)"},
    {"solve_interface", rank_solve_interface, METH_O, "solve_interface(messages)"},
    {"backward", fast<rank_backward>(), METH_FASTCALL, "backward(reply, x)"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* rank_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "vorlane._engine.RankFactor objects are made by rank_interior");
    return nullptr;
}

PyType_Slot rank_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rank_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rank_dealloc)},
    {Py_tp_doc, const_cast<char*>("One process's part of a factor spread over processes.")},
    {Py_tp_getset, rank_getset},
    {Py_tp_methods, rank_methods},
    {0, nullptr},
};

PyType_Spec rank_spec = {"vorlane._engine.RankFactor", sizeof(RankFactorObject), 0, Py_TPFLAGS_DEFAULT, rank_slots};
PyTypeObject* rank_type_object = nullptr;

}  // namespace

PyTypeObject* rank_factor_type() {
    if (rank_type_object == nullptr) rank_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&rank_spec));
    return rank_type_object;
}

PyObject* rank_summary(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 5) {
            PyErr_SetString(PyExc_TypeError, "rank_summary(first, n, indptr, indices, data) takes five arguments");
            return nullptr;
        }
        RowArgs rows;
        if (!rows.read(args)) return nullptr;
        if (vorlane::RankFactor::check(rows.rows)) {
            // Malformed rows are reported by rank_interior; their summary is empty.
            return Py_BuildValue("(ddd)", 0.0, 0.0, 0.0);
        }
        const vorlane::RankSummary s = vorlane::summarize(rows.rows);
        return Py_BuildValue("(ddd)", s.largest_diagonal, s.largest_excess, s.cut);
    });
}

PyObject* rank_interior(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 8) {
            PyErr_SetString(PyExc_TypeError,
                            "rank_interior(first, n, indptr, indices, data, combined, seed, split) takes eight arguments");
            return nullptr;
        }
        RowArgs rows;
        if (!rows.read(args)) return nullptr;
        vorlane::RankSummary combined;
        if (!PyArg_ParseTuple(args[5], "ddd", &combined.largest_diagonal, &combined.largest_excess, &combined.cut)) {
            return nullptr;
        }
        vorlane::CoreConfig config;
        config.seed = PyLong_AsUnsignedLongLong(args[6]);
        if (PyErr_Occurred()) return nullptr;
        if (args[7] != Py_None) {
            const unsigned long split = PyLong_AsUnsignedLong(args[7]);
            if (PyErr_Occurred()) return nullptr;
            if (split == 0 || split > 0xFFFFFFFFul) {
                PyErr_SetString(PyExc_ValueError, "split must be in 1..2**32-1 or None");
                return nullptr;
            }
            config.split_merge = static_cast<uint32_t>(split);
        }
        std::optional<vorlane::Expected<vorlane::RankFactor, vorlane::CoreError>> made;
        {
            Unlocked unlocked;
            made.emplace(vorlane::RankFactor::eliminate_interior(rows.rows, combined, config));
        }
        if (!*made) {
            raise_core(made->error());
            return nullptr;
        }
        auto owned = std::make_unique<vorlane::RankFactor>(std::move(**made));
        auto* object = PyObject_New(RankFactorObject, rank_factor_type());
        if (object == nullptr) return nullptr;
        object->factor = owned.release();
        return reinterpret_cast<PyObject*>(object);
    });
}

}  // namespace vorlane_engine
