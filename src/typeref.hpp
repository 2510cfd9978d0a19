// The process-wide cache of interpreter objects that the hot paths compare
// against by pointer, filled once when the module is first executed.
#pragma once

#include "ffi/python.hpp"
#include "deserialize/string_builder.hpp"
#include "serialize/per_type/str.hpp"

#include <atomic>

namespace kestro {

// numpy's types, in lookup order.  The record owns a reference to each type it
// found (a missing name leaves its slot null, so it never matches).
struct NumpyTypes {
    PyObject* ndarray;
    PyObject* float64;
    PyObject* float32;
    PyObject* float16;
    PyObject* int64;
    PyObject* int32;
    PyObject* int16;
    PyObject* int8;
    PyObject* uint64;
    PyObject* uint32;
    PyObject* uint16;
    PyObject* uint8;
    PyObject* bool_;
    PyObject* datetime64;
};

struct NumpyTypesBox {
    bool absent;  // numpy could not be imported; it is not looked for again
    NumpyTypes types;
};

struct ReferenceCache {
    // types
    PyTypeObject* string_type;
    PyTypeObject* bytes_type;
    PyTypeObject* dict_type;
    PyTypeObject* list_type;
    PyTypeObject* tuple_type;
    PyTypeObject* none_type;
    PyTypeObject* bool_type;
    PyTypeObject* int_type;
    PyTypeObject* float_type;
    PyTypeObject* datetime_type;
    PyTypeObject* date_type;
    PyTypeObject* time_type;
    PyTypeObject* tzinfo_type;
    PyTypeObject* timezone_type;   // datetime.timezone
    PyTypeObject* timedelta_type;
    PyTypeObject* uuid_type;
    PyTypeObject* enum_meta_type;
    PyTypeObject* fragment_type;
    void* datetime_capi;  // the PyDateTime_CAPI record of the datetime module

    // singletons and markers
    PyObject* none;
    PyObject* true_;
    PyObject* false_;
    PyObject* empty_str;
    PyObject* dataclass_field_marker;
    PyObject* timezone_utc;  // datetime.timezone.utc
    PyObject* enum_value_descriptor;  // enum.Enum's own "value", which gives self._value_
    PyObject* uuid_int_descriptor;    // uuid.UUID's "int" slot
    Py_ssize_t uuid_int_offset;       // where that slot lies in the object; 0: not a plain slot

    // exception classes
    PyObject* decode_error;
    PyObject* encode_error;

    // interned names
    PyObject* attr_int;
    PyObject* attr_utcoffset;
    PyObject* attr_normalize;
    PyObject* attr_convert;
    PyObject* attr_dst;
    PyObject* attr_dict;
    PyObject* attr_dataclass_fields;
    PyObject* attr_slots;
    PyObject* attr_field_type;
    PyObject* attr_array_struct;
    PyObject* attr_dtype;
    PyObject* attr_descr;
    PyObject* attr_value;
    PyObject* attr_value_;  // "_value_"
    PyObject* kw_default;
    PyObject* kw_option;

    // routines chosen by processor features
    StringWriter string_writer = string_writer_portable;
    StringBuilder string_builder = string_builder_portable;

    std::atomic<NumpyTypesBox*> numpy_types{nullptr};
};

extern ReferenceCache typeref;

// Fills the cache on the first call; later calls return at once.  Returns
// false with the interpreter's exception set when a standard-library name
// cannot be found (the cache is then left unfilled and may be tried again).
bool typeref_init() noexcept;

// The numpy type record, discovering numpy on the first request.
const NumpyTypesBox* numpy_types() noexcept;

}  // namespace kestro
