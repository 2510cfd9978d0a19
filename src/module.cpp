// The kestro module: its definition, its one execution slot and its attributes.
#include "deserialize/loads.hpp"
#include "runtime/memory.hpp"
#include "serialize/dumps.hpp"
#include "typeref.hpp"

using kestro::alloc_records;
using kestro::typeref;

KESTRO_EXPORT int kestro_init_exec(PyObject* module);

namespace {

struct Method {
    const char* name;
    PyCFunction meth;
    int flags;
    const char* doc;
};

// The text signature, then the one-line docstring; the fuller help lives in
// the type stubs (kestro.pyi), where editors read it, and in the README.
const Method methods[] = {
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dumps)),
     METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj, /, default=None, option=None)\n--\n\nSerialize Python objects to JSON."},
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads)), METH_O,
     "loads(obj, /)\n--\n\nDeserialize JSON to Python objects."},
};

struct Option {
    const char* name;
    long value;
};

// In alphabetical order, the order in which they are added.
const Option options[] = {
    {"OPT_APPEND_NEWLINE", 1024},
    {"OPT_INDENT_2", 1},
    {"OPT_NAIVE_UTC", 2},
    {"OPT_NON_STR_KEYS", 4},
    {"OPT_OMIT_MICROSECONDS", 8},
    {"OPT_PASSTHROUGH_DATACLASS", 2048},
    {"OPT_PASSTHROUGH_DATETIME", 512},
    {"OPT_PASSTHROUGH_SUBCLASS", 256},
    {"OPT_SERIALIZE_DATACLASS", 0},
    {"OPT_SERIALIZE_NUMPY", 16},
    {"OPT_SERIALIZE_UUID", 0},
    {"OPT_SORT_KEYS", 32},
    {"OPT_STRICT_INTEGER", 64},
    {"OPT_UTC_Z", 128},
};

// Adds `value` (a new reference, possibly null) to the module under `name`.
bool add_owned(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    int rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc == 0;
}

}  // namespace

int kestro_init_exec(PyObject* module) {
    if (!kestro::typeref_init()) return -1;

    static const char version[] = KESTRO_VERSION;
    if (!add_owned(module, "__version__", PyUnicode_FromStringAndSize(version, sizeof version - 1)))
        return -1;

    for (const Method& m : methods) {
        // The function objects point at their record for the life of the process.
        auto* def = alloc_records<PyMethodDef>(1);
        *def = PyMethodDef{m.name, m.meth, m.flags, m.doc};
        PyObject* modname = PyUnicode_InternFromString("kestro");
        if (modname == nullptr) return -1;
        PyObject* fn = PyCMethod_New(def, nullptr, modname, nullptr);
        Py_DECREF(modname);
        if (!add_owned(module, m.name, fn)) return -1;
    }

    if (PyModule_AddObjectRef(module, "Fragment",
                              reinterpret_cast<PyObject*>(typeref.fragment_type)) != 0)
        return -1;
    for (const Option& o : options) {
        if (PyModule_AddIntConstant(module, o.name, o.value) != 0) return -1;
    }
    if (PyModule_AddObjectRef(module, "JSONDecodeError", typeref.decode_error) != 0) return -1;
    if (PyModule_AddObjectRef(module, "JSONEncodeError", typeref.encode_error) != 0) return -1;
    return 0;
}

PyMODINIT_FUNC PyInit_kestro() {
    // Built anew on every import and never freed: the module keeps pointing at it.
    // The execution slot; where the interpreter asks, the declaration that
    // the module needs no global lock (its shared state is safe without
    // one); the end.
    auto* slots = alloc_records<PyModuleDef_Slot>(3);
    size_t n = 0;
    slots[n++] = PyModuleDef_Slot{Py_mod_exec, reinterpret_cast<void*>(kestro_init_exec)};
    if constexpr (kestro::ffi::mod_gil_slot != 0)
        slots[n++] = PyModuleDef_Slot{kestro::ffi::mod_gil_slot, kestro::ffi::mod_gil_not_used};
    slots[n] = PyModuleDef_Slot{0, nullptr};
    auto* def = alloc_records<PyModuleDef>(1);
    *def = PyModuleDef{
        PyModuleDef_HEAD_INIT,
        "kestro",
        nullptr,
        0,
        nullptr,
        slots,
        nullptr,
        nullptr,
        nullptr,
    };
    return PyModuleDef_Init(def);
}
