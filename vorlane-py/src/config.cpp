// The Config class: an immutable seed and optional edge-split count, and its core mapping.
#include "config.hpp"

#include <atomic>
#include <cstdint>

#include "args.hpp"
#include "errors.hpp"
#include "lazy_object.hpp"

namespace vorlane_py {

namespace {

struct ConfigObject {
    PyObject_HEAD
    uint64_t seed;
    uint32_t split;
    bool has_split;
};

ConfigObject* as_config(PyObject* object) { return reinterpret_cast<ConfigObject*>(object); }

PyObject* make_config(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"seed", "split"};
    static const Signature signature{"Config", names, 2, 0};
    PyObject* bound[2];
    if (!bind_tuple(signature, args, kwargs, bound)) {
        return nullptr;
    }
    uint64_t seed = 0;
    if (bound[0] != nullptr && !to_u64_argument(bound[0], "seed", seed)) {
        return nullptr;
    }
    uint64_t split = 0;
    bool has_split = bound[1] != nullptr && bound[1] != Py_None;
    if (has_split) {
        if (!to_u64_argument(bound[1], "split", split)) {
            return nullptr;
        }
        if (split > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return nullptr;
        }
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    as_config(self)->seed = seed;
    as_config(self)->split = static_cast<uint32_t>(split);
    as_config(self)->has_split = has_split;
    return self;
}

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_guarded<PyObject*>(nullptr, [&] { return make_config(type, args, kwargs); });
}

void config_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* seed_of(PyObject* self) { return PyLong_FromUnsignedLongLong(as_config(self)->seed); }

PyObject* split_of(PyObject* self) {
    if (!as_config(self)->has_split) {
        Py_RETURN_NONE;
    }
    return PyLong_FromUnsignedLong(as_config(self)->split);
}

PyObject* config_get_seed(PyObject* self, void*) {
    return run_guarded<PyObject*>(nullptr, [&] { return seed_of(self); });
}

PyObject* config_get_split(PyObject* self, void*) {
    return run_guarded<PyObject*>(nullptr, [&] { return split_of(self); });
}

// (seed, split): equal configurations give equal tuples, so the tuple's hash is consistent.
PyObject* fields_of(PyObject* self) {
    Ref seed = Ref::steal(seed_of(self));
    Ref split = Ref::steal(split_of(self));
    if (!seed || !split) {
        return nullptr;
    }
    return PyTuple_Pack(2, seed.get(), split.get());
}

PyObject* config_repr(PyObject* self) {
    return run_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref split = Ref::steal(split_of(self));
        if (!split) {
            return nullptr;
        }
        return PyUnicode_FromFormat("Config(seed=%llu, split=%R)",
                                    static_cast<unsigned long long>(as_config(self)->seed), split.get());
    });
}

PyObject* config_richcompare(PyObject* self, PyObject* other, int op) {
    return run_guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) || !is_config(other)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const ConfigObject* a = as_config(self);
        const ConfigObject* b = as_config(other);
        const bool equal = a->seed == b->seed && a->has_split == b->has_split && (!a->has_split || a->split == b->split);
        return PyBool_FromLong((op == Py_EQ) == equal);
    });
}

Py_hash_t config_hash(PyObject* self) {
    return run_guarded<Py_hash_t>(-1, [&]() -> Py_hash_t {
        Ref fields = Ref::steal(fields_of(self));
        return fields ? PyObject_Hash(fields.get()) : -1;
    });
}

PyGetSetDef config_getset[] = {
    {"seed", config_get_seed, nullptr, nullptr, nullptr},
    {"split", config_get_split, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

char config_doc[] =
    "Config(seed=0, split=None)\n--\n\n"
    "Configuration for approximate Cholesky factorization.";

PyType_Slot config_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(config_dealloc)},
    {Py_tp_getset, config_getset},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(config_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(config_hash)},
    {Py_tp_doc, config_doc},
    {0, nullptr},
};

PyType_Spec config_type_def = {
    "builtins.Config", sizeof(ConfigObject), 0, kTypeFlags, config_slots,
};

std::atomic<PyTypeObject*> config_type_object{nullptr};

}  // namespace

PyTypeObject* config_type() {
    return get_or_create(config_type_object,
                         [] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&config_type_def)); });
}

bool is_config(PyObject* object) {
    PyTypeObject* type = config_type_object.load();
    return type != nullptr && PyObject_TypeCheck(object, type);
}

bool check_config_argument(PyObject* config) {
    if (config == nullptr || config == Py_None || is_config(config)) {
        return true;
    }
    raise_cannot_convert("config", config, "Config");
    return false;
}

bool to_core_config(PyObject* config, vorlane::CoreConfig& out) {
    out = vorlane::CoreConfig{};
    if (config == nullptr || config == Py_None) {
        return true;
    }
    const ConfigObject* fields = as_config(config);
    out.seed = fields->seed;
    if (fields->has_split) {
        if (fields->split == 0) {
            PyErr_SetString(PyExc_ValueError, "config.split must be >= 1");
            return false;
        }
        if (fields->split >= 2) {
            out.split_merge = fields->split;
        }
    }
    return true;
}

bool to_u64_argument(PyObject* object, const char* name, uint64_t& out) {
    if (!index_to_u64(object, out)) {
        prefix_type_error(name);  // only a TypeError gets the prefix
        return false;
    }
    return true;
}

}  // namespace vorlane_py

