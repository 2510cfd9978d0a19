#include "typeref.hpp"

#include "arch/routines.hpp"
#include "deserialize/key_map.hpp"
#include "fragment.hpp"
#include "runtime/memory.hpp"

#include <datetime.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace kestro {

ReferenceCache typeref;  // static storage: every entry starts null

namespace {

// Once-only guard.  The initialiser imports modules, which may let another
// thread run meanwhile (and without the global lock threads run side by
// side): the first thread to move it from empty to running fills the cache,
// the others wait until it is done.
enum class InitState { empty, running, done };
std::atomic<InitState> init_state{InitState::empty};
std::atomic<unsigned long> init_thread{0};

// Fetches `name` from the dictionary of module `module` (a new reference).
PyObject* module_lookup(const char* module, const char* name) noexcept {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref dict(PyObject_GenericGetDict(mod.get(), nullptr));
    if (!dict) return nullptr;
    return PyMapping_GetItemString(dict.get(), name);
}

// The attribute `name` of class `module`.`cls` as its own dictionary holds
// it (a new reference).
PyObject* class_attribute(const char* module, const char* cls, PyObject* name) noexcept {
    Ref type(module_lookup(module, cls));
    if (!type) return nullptr;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a class", module, cls);
        return nullptr;
    }
    PyObject* own = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    PyObject* value = own != nullptr ? PyDict_GetItemWithError(own, name) : nullptr;
    if (value == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "%s.%s.%U", module, cls, name);
    return Py_XNewRef(value);
}

PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }

// Every owned object entry, so that a failed fill can give back what it took.
PyObject** owned_entries[] = {
    &typeref.empty_str,      &typeref.dataclass_field_marker, &typeref.decode_error,
    &typeref.encode_error,   &typeref.attr_int,               &typeref.attr_utcoffset,
    &typeref.attr_normalize, &typeref.attr_convert,           &typeref.attr_dst,
    &typeref.attr_dict,      &typeref.attr_dataclass_fields,  &typeref.attr_slots,
    &typeref.attr_field_type, &typeref.attr_array_struct,     &typeref.attr_dtype,
    &typeref.attr_descr,     &typeref.attr_value,             &typeref.kw_default,
    &typeref.kw_option,      &typeref.attr_value_,            &typeref.enum_value_descriptor,
    &typeref.uuid_int_descriptor,
};

PyTypeObject** owned_types[] = {&typeref.uuid_type, &typeref.enum_meta_type,
                                &typeref.fragment_type};

void release_partial_fill() noexcept {
    for (PyObject** e : owned_entries) Py_CLEAR(*e);
    for (PyTypeObject** t : owned_types) {
        Py_XDECREF(reinterpret_cast<PyObject*>(*t));
        *t = nullptr;
    }
}

bool fill() noexcept {
    ReferenceCache& c = typeref;
    if (KEY_MAP == nullptr) KEY_MAP = key_map_new();
    if (VALUE_MAP == nullptr) VALUE_MAP = key_map_new();

    c.string_writer = ROUTINES.string_writer;
    c.string_builder = ROUTINES.string_builder;

    c.none = Py_None;
    c.true_ = Py_True;
    c.false_ = Py_False;
    c.empty_str = PyUnicode_New(0, 255);
    if (c.empty_str == nullptr) return false;

    c.string_type = &PyUnicode_Type;
    c.bytes_type = &PyBytes_Type;
    c.dict_type = &PyDict_Type;
    c.list_type = &PyList_Type;
    c.tuple_type = &PyTuple_Type;
    c.none_type = Py_TYPE(Py_None);
    c.bool_type = &PyBool_Type;
    c.int_type = &PyLong_Type;
    c.float_type = &PyFloat_Type;

    auto* capi = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 1));
    if (capi == nullptr) return false;
    c.datetime_capi = capi;
    c.date_type = capi->DateType;
    c.datetime_type = capi->DateTimeType;
    c.time_type = capi->TimeType;
    c.tzinfo_type = capi->TZInfoType;
    c.timedelta_type = capi->DeltaType;
    c.timezone_utc = capi->TimeZone_UTC;
    c.timezone_type = Py_TYPE(capi->TimeZone_UTC);

    c.uuid_type = reinterpret_cast<PyTypeObject*>(module_lookup("uuid", "UUID"));
    if (c.uuid_type == nullptr) return false;
    c.enum_meta_type = reinterpret_cast<PyTypeObject*>(module_lookup("enum", "EnumMeta"));
    if (c.enum_meta_type == nullptr) return false;
    c.dataclass_field_marker = module_lookup("dataclasses", "_FIELD");
    if (c.dataclass_field_marker == nullptr) return false;

    c.fragment_type = reinterpret_cast<PyTypeObject*>(kestro_fragmenttype_new());
    if (c.fragment_type == nullptr) return false;

    struct Name {
        PyObject** slot;
        const char* text;
    };
    const Name names[] = {
        {&c.attr_int, "int"},
        {&c.attr_utcoffset, "utcoffset"},
        {&c.attr_normalize, "normalize"},
        {&c.attr_convert, "convert"},
        {&c.attr_dst, "dst"},
        {&c.attr_dict, "__dict__"},
        {&c.attr_dataclass_fields, "__dataclass_fields__"},
        {&c.attr_slots, "__slots__"},
        {&c.attr_field_type, "_field_type"},
        {&c.attr_array_struct, "__array_struct__"},
        {&c.attr_dtype, "dtype"},
        {&c.attr_descr, "descr"},
        {&c.attr_value, "value"},
        {&c.attr_value_, "_value_"},
        {&c.kw_default, "default"},
        {&c.kw_option, "option"},
    };
    for (const Name& n : names) {
        *n.slot = intern(n.text);
        if (*n.slot == nullptr) return false;
    }

    // Class attributes that writers read past when they are still the
    // standard library's own (see write_enum and write_uuid_text).
    c.enum_value_descriptor = class_attribute("enum", "Enum", c.attr_value);
    if (c.enum_value_descriptor == nullptr) return false;
    c.uuid_int_descriptor = class_attribute("uuid", "UUID", c.attr_int);
    if (c.uuid_int_descriptor == nullptr) return false;
    c.uuid_int_offset = ffi::member_slot_offset(c.uuid_int_descriptor);

    Py_INCREF(PyExc_TypeError);
    c.encode_error = PyExc_TypeError;

    Ref base(module_lookup("json", "JSONDecodeError"));
    if (!base) return false;
    c.decode_error = PyErr_NewException("kestro.JSONDecodeError", base.get(), nullptr);
    return c.decode_error != nullptr;
}

}  // namespace

bool typeref_init() noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    for (;;) {
        InitState state = InitState::empty;
        if (init_state.compare_exchange_strong(state, InitState::running)) break;
        if (state == InitState::done) return true;
        if (init_thread.load() == me) {
            PyErr_SetString(PyExc_ImportError, "kestro is being initialised by its own import");
            return false;
        }
        // Another thread is filling the cache; let it finish.
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS
    }
    init_thread.store(me);
    bool ok = fill();
    if (!ok) release_partial_fill();
    init_thread.store(0);
    init_state.store(ok ? InitState::done : InitState::empty);
    return ok;
}

namespace {

NumpyTypesBox* discover_numpy() noexcept {
    auto* box = alloc_records<NumpyTypesBox>(1);
    *box = NumpyTypesBox{};
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        PyErr_Clear();
        box->absent = true;
        return box;
    }
    Ref dict(PyObject_GenericGetDict(numpy.get(), nullptr));
    if (!dict) {
        PyErr_Clear();
        box->absent = true;
        return box;
    }
    struct Slot {
        PyObject** slot;
        const char* name;
    };
    NumpyTypes& t = box->types;
    const Slot slots[] = {
        {&t.ndarray, "ndarray"}, {&t.float64, "float64"}, {&t.float32, "float32"},
        {&t.float16, "half"},    {&t.int64, "int64"},     {&t.int32, "int32"},
        {&t.int16, "int16"},     {&t.int8, "int8"},       {&t.uint64, "uint64"},
        {&t.uint32, "uint32"},   {&t.uint16, "uint16"},   {&t.uint8, "uint8"},
        {&t.bool_, "bool_"},     {&t.datetime64, "datetime64"},
    };
    for (const Slot& s : slots) {
        *s.slot = PyMapping_GetItemString(dict.get(), s.name);
        if (*s.slot == nullptr) PyErr_Clear();
    }
    return box;
}

void release_box(NumpyTypesBox* box) noexcept {
    if (!box->absent) {
        PyObject** first = &box->types.ndarray;
        for (size_t i = 0; i < sizeof(NumpyTypes) / sizeof(PyObject*); ++i) Py_XDECREF(first[i]);
    }
    PyMem_Free(box);
}

}  // namespace

const NumpyTypesBox* numpy_types() noexcept {
    NumpyTypesBox* box = typeref.numpy_types.load(std::memory_order_acquire);
    if (box != nullptr) return box;
    NumpyTypesBox* fresh = discover_numpy();
    NumpyTypesBox* expected = nullptr;
    if (typeref.numpy_types.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        return fresh;
    }
    release_box(fresh);  // another thread installed its box first
    return expected;
}

}  // namespace kestro
