#include "serialize/walker.hpp"

namespace kestro {

ValueKind classify_slow(PyTypeObject* type, uint32_t word) noexcept {
    using state_word::has;
    if (type == typeref.uuid_type) return ValueKind::uuid;
    if (type == typeref.tuple_type) return ValueKind::tuple;
    if (type == typeref.fragment_type) return ValueKind::fragment;
    if (!has(word, opt::PASSTHROUGH_DATETIME)) {
        if (type == typeref.date_type) return ValueKind::date;
        if (type == typeref.time_type) return ValueKind::time;
    }
    if (!has(word, opt::PASSTHROUGH_SUBCLASS)) {
        unsigned long flags = type->tp_flags;
        if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return ValueKind::string_subclass;
        if (flags & Py_TPFLAGS_LONG_SUBCLASS) return ValueKind::integer;
        if (flags & Py_TPFLAGS_LIST_SUBCLASS) return ValueKind::list;
        if (flags & Py_TPFLAGS_DICT_SUBCLASS) return ValueKind::dict;
    }
    if (Py_TYPE(type) == typeref.enum_meta_type) return ValueKind::enum_member;
    if (!has(word, opt::PASSTHROUGH_DATACLASS)) {
        // Only the class's own dictionary counts: a subclass of a dataclass
        // that is not decorated itself is not one.
        if (PyObject* own = ffi::type_own_dict(type)) {
            int found = PyDict_Contains(own, typeref.attr_dataclass_fields);
            if (found == 1) return ValueKind::dataclass;
            if (found < 0) PyErr_Clear();
        }
    }
    if (!has(word, opt::SERIALIZE_NUMPY)) return ValueKind::unsupported;
    const NumpyTypesBox* numpy = numpy_types();
    if (numpy == nullptr || numpy->absent) return ValueKind::unsupported;
    const NumpyTypes& t = numpy->types;
    auto* o = reinterpret_cast<PyObject*>(type);
    if (o == t.float64 || o == t.float32 || o == t.float16 || o == t.int64 || o == t.int32 ||
        o == t.int16 || o == t.int8 || o == t.uint64 || o == t.uint32 || o == t.uint16 ||
        o == t.uint8 || o == t.bool_ || o == t.datetime64)
        return ValueKind::numpy_scalar;
    if (o == t.ndarray) return ValueKind::numpy_array;
    return ValueKind::unsupported;
}

}  // namespace kestro
