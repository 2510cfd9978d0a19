#include "deserialize/convert.hpp"

#include "deserialize/key_map.hpp"
#include "typeref.hpp"

namespace kestro {

namespace {

// Objects of more members than this are created presized.
constexpr size_t DICT_PRESIZE_FROM = 9;

inline bool is_container(yyjson_val* v) noexcept {
    return (unsafe_yyjson_get_type(v) & YYJSON_TYPE_ARR) == YYJSON_TYPE_ARR;  // ARR or OBJ
}

// A scalar value (not an array or object) as a new reference; null with
// MemoryError set when the interpreter cannot allocate it.
inline PyObject* convert_scalar(yyjson_val* v) noexcept {
    switch (unsafe_yyjson_get_tag(v)) {
        case YYJSON_TYPE_NULL | YYJSON_SUBTYPE_NONE:
            return Py_NewRef(typeref.none);
        case YYJSON_TYPE_BOOL | YYJSON_SUBTYPE_FALSE:
            return Py_NewRef(typeref.false_);
        case YYJSON_TYPE_BOOL | YYJSON_SUBTYPE_TRUE:
            return Py_NewRef(typeref.true_);
        case YYJSON_TYPE_NUM | YYJSON_SUBTYPE_UINT:
            return PyLong_FromUnsignedLongLong(unsafe_yyjson_get_uint(v));
        case YYJSON_TYPE_NUM | YYJSON_SUBTYPE_SINT:
            return PyLong_FromLongLong(unsafe_yyjson_get_sint(v));
        case YYJSON_TYPE_NUM | YYJSON_SUBTYPE_REAL:
            return PyFloat_FromDouble(unsafe_yyjson_get_real(v));
        default:
            break;
    }
    // Every string subtype (plain, without escapes, ...) is a string.
    size_t len = unsafe_yyjson_get_len(v);
    if (len == 0) return Py_NewRef(typeref.empty_str);
    return typeref.string_builder(unsafe_yyjson_get_str(v), len);
}

// An empty list or dict of the container's final size; null with MemoryError set.
inline PyObject* new_container(yyjson_val* v) noexcept {
    size_t n = unsafe_yyjson_get_len(v);
    if (unsafe_yyjson_get_type(v) == YYJSON_TYPE_ARR) return PyList_New(static_cast<Py_ssize_t>(n));
    if (n < DICT_PRESIZE_FROM) return PyDict_New();
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
}

ConvertStatus fill(PyObject* container, yyjson_val* v, size_t level) noexcept;

// Fills the list of array arr (level `level`) item by item.  Items not yet set
// stay null, which the list's deallocation tolerates.
ConvertStatus fill_list(PyObject* list, yyjson_val* arr, size_t level) noexcept {
    PyObject** items = ffi::list_items(list);
    size_t n = unsafe_yyjson_get_len(arr);
    yyjson_val* v = unsafe_yyjson_get_first(arr);
    for (size_t i = 0; i < n; ++i, v = unsafe_yyjson_get_next(v)) {
        if (!is_container(v)) {
            PyObject* item = convert_scalar(v);
            if (item == nullptr) return ConvertStatus::no_memory;
            items[i] = item;
            continue;
        }
        if (level == MAX_NESTING) return ConvertStatus::too_deep;
        PyObject* child = new_container(v);
        if (child == nullptr) return ConvertStatus::no_memory;
        items[i] = child;
        if (unsafe_yyjson_get_len(v) != 0) {
            ConvertStatus st = fill(child, v, level + 1);
            if (st != ConvertStatus::ok) return st;
        }
    }
    return ConvertStatus::ok;
}

// Inserts the members of obj (level `level`) into dict in document order.
ConvertStatus fill_dict(PyObject* dict, yyjson_val* obj, size_t level) noexcept {
    size_t n = unsafe_yyjson_get_len(obj);
    yyjson_val* k = unsafe_yyjson_get_first(obj);
    for (size_t i = 0; i < n; ++i) {
        yyjson_val* v = k + 1;
        yyjson_val* next = unsafe_yyjson_get_next(v);
        PyObject* key = key_object(unsafe_yyjson_get_str(k), unsafe_yyjson_get_len(k));
        if (key == nullptr) return ConvertStatus::no_memory;
        const Py_hash_t hash = ffi::str_cached_hash(key);
        bool nested = is_container(v);
        if (nested && level == MAX_NESTING) {
            Py_DECREF(key);
            return ConvertStatus::too_deep;
        }
        PyObject* value = nested ? new_container(v) : convert_scalar(v);
        if (value == nullptr) {
            Py_DECREF(key);
            return ConvertStatus::no_memory;
        }
        int rc = _PyDict_SetItem_KnownHash(dict, key, value, hash);
        Py_DECREF(key);
        Py_DECREF(value);  // the dict holds it now and keeps it alive while it is filled
        if (rc != 0) return ConvertStatus::no_memory;
        if (nested && unsafe_yyjson_get_len(v) != 0) {
            ConvertStatus st = fill(value, v, level + 1);
            if (st != ConvertStatus::ok) return st;
        }
        k = next;
    }
    return ConvertStatus::ok;
}

ConvertStatus fill(PyObject* container, yyjson_val* v, size_t level) noexcept {
    if (unsafe_yyjson_get_type(v) == YYJSON_TYPE_ARR) return fill_list(container, v, level);
    return fill_dict(container, v, level);
}

}  // namespace

Converted convert_document(yyjson_val* root) noexcept {
    if (!is_container(root)) {
        PyObject* obj = convert_scalar(root);
        return {obj, obj ? ConvertStatus::ok : ConvertStatus::no_memory};
    }
    PyObject* obj = new_container(root);
    if (obj == nullptr) return {nullptr, ConvertStatus::no_memory};
    if (unsafe_yyjson_get_len(root) != 0) {
        ConvertStatus st = fill(obj, root, 1);
        if (st != ConvertStatus::ok) {
            Py_DECREF(obj);
            return {nullptr, st};
        }
    }
    return {obj, ConvertStatus::ok};
}

}  // namespace kestro
