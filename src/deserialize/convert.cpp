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

// A scalar value (not an array or object) as a new reference, short strings
// from `values`; null with MemoryError set when the interpreter cannot
// allocate it.
inline PyObject* convert_scalar(yyjson_val* v, KeyMap* values) noexcept {
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
    return value_object(values, unsafe_yyjson_get_str(v), len);
}

inline PyObject* new_dict(size_t n) noexcept {
    return n < DICT_PRESIZE_FROM ? PyDict_New() : _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
}

// Inserts key (a str with its hash stored) and value into dict, and releases
// both.  A str key whose hash is known is compared, if at all, as a str: the
// insertion runs no Python code.  A repeated key keeps its first position and
// its last value.
inline bool insert(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    int rc = _PyDict_SetItem_KnownHash(dict, key, value, ffi::str_cached_hash(key));
    Py_DECREF(key);
    Py_DECREF(value);
    return rc == 0;
}

// Containers are filled in place, member after member.  Making a member that
// is itself a container may run the collector, and with it finalizers and
// gc.callbacks, which can reach every object the collector tracks
// (gc.get_objects()) and so a container that is not complete yet.  Members
// that are not containers (str, int, float and the singletons) never run it.
//
// Where the interpreter has a global lock, no other thread runs during the
// conversion and only the collector could run Python code in it: the
// collector is paused from the first nested container to the end of the
// conversion.  No Python code runs at all then, and the objects being made
// are not scanned again and again while they are made (a third of the time
// of a document of many small lists otherwise).  The collection that was due
// happens when the next container is allocated after loads returns.  A
// collector the program disabled stays disabled.
//
// Without the global lock the collector's state is every thread's, and is
// left alone; instead, a container is not tracked while a member that is a
// container is made.  A list stops being tracked before its first such
// member, a dict before each (inserting one may track it again), and each is
// tracked again when complete, as the interpreter would have it.
class CollectorPause {
  public:
    CollectorPause() noexcept = default;
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() {
        if (resume_) PyGC_Enable();
    }
    void begin() noexcept {
        if constexpr (!ffi::free_threaded) {
            if (!begun_) {
                begun_ = true;
                resume_ = PyGC_Disable() != 0;
            }
        }
    }

  private:
    bool begun_ = false;
    bool resume_ = false;
};

// Keeps an incomplete container from the collector while a member that is a
// container is made (without the global lock only), and tracks it again if
// it was tracked, once complete.
class Incomplete {
  public:
    explicit Incomplete(PyObject* container) noexcept : container_(container) {}
    void hide() noexcept {
        if constexpr (ffi::free_threaded) {
            if (PyObject_GC_IsTracked(container_)) {
                PyObject_GC_UnTrack(container_);
                track_ = true;
            }
        }
    }
    void complete() noexcept {
        if constexpr (ffi::free_threaded) {
            if (track_ && !PyObject_GC_IsTracked(container_)) PyObject_GC_Track(container_);
        }
    }

  private:
    PyObject* container_;
    bool track_ = false;
};

class Converter {
  public:
    explicit Converter(StrCaches caches) noexcept : caches_(caches) {}

    // A new reference to the complete list or dict of container v at
    // nesting level `level`; null with *status set on failure.
    PyObject* container(yyjson_val* v, size_t level, ConvertStatus* status) noexcept {
        if (unsafe_yyjson_get_type(v) == YYJSON_TYPE_ARR) return list(v, level, status);
        return dict(v, level, status);
    }

  private:
    // A new reference to the value of member v of a container at level `level`.
    PyObject* member(yyjson_val* v, size_t level, ConvertStatus* status) noexcept {
        if (!is_container(v)) {
            PyObject* obj = convert_scalar(v, caches_.values);
            if (obj == nullptr) [[unlikely]]
                *status = ConvertStatus::no_memory;
            return obj;
        }
        if (level == MAX_NESTING) [[unlikely]] {
            *status = ConvertStatus::too_deep;
            return nullptr;
        }
        pause_.begin();
        return container(v, level + 1, status);
    }

    PyObject* list(yyjson_val* arr, size_t level, ConvertStatus* status) noexcept;
    PyObject* dict(yyjson_val* obj, size_t level, ConvertStatus* status) noexcept;

    const StrCaches caches_;
    CollectorPause pause_;
};

PyObject* Converter::list(yyjson_val* arr, size_t level, ConvertStatus* status) noexcept {
    const size_t n = unsafe_yyjson_get_len(arr);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) [[unlikely]] {
        *status = ConvertStatus::no_memory;
        return nullptr;
    }
    PyObject** items = ffi::list_items(list);
    yyjson_val* v = unsafe_yyjson_get_first(arr);
    size_t i = 0;
    // Scalars, one record each.
    for (; i < n && !is_container(v); ++i, ++v) {
        if ((items[i] = convert_scalar(v, caches_.values)) == nullptr) [[unlikely]] {
            Py_DECREF(list);  // the items not yet set are null, which it tolerates
            *status = ConvertStatus::no_memory;
            return nullptr;
        }
    }
    if (i == n) return list;

    Incomplete incomplete(list);
    incomplete.hide();
    for (; i < n; ++i, v = unsafe_yyjson_get_next(v)) {
        if ((items[i] = member(v, level, status)) == nullptr) [[unlikely]] {
            Py_DECREF(list);
            return nullptr;
        }
    }
    incomplete.complete();
    return list;
}

PyObject* Converter::dict(yyjson_val* obj, size_t level, ConvertStatus* status) noexcept {
    const size_t n = unsafe_yyjson_get_len(obj);
    PyObject* dict = new_dict(n);
    if (dict == nullptr) [[unlikely]] {
        *status = ConvertStatus::no_memory;
        return nullptr;
    }
    yyjson_val* k = unsafe_yyjson_get_first(obj);
    size_t i = 0;
    // Members whose values are scalars, two records each, go in at once.
    for (; i < n && !is_container(k + 1); ++i, k += 2) {
        PyObject* key = key_object(caches_.keys, unsafe_yyjson_get_str(k), unsafe_yyjson_get_len(k));
        PyObject* value = key == nullptr ? nullptr : convert_scalar(k + 1, caches_.values);
        if (value == nullptr || !insert(dict, key, value)) [[unlikely]] {
            if (value == nullptr) Py_XDECREF(key);  // insert released both
            Py_DECREF(dict);
            *status = ConvertStatus::no_memory;
            return nullptr;
        }
    }
    if (i == n) return dict;

    Incomplete incomplete(dict);
    for (; i < n; ++i) {
        yyjson_val* v = k + 1;
        yyjson_val* next = unsafe_yyjson_get_next(v);
        if (is_container(v)) incomplete.hide();
        PyObject* key = key_object(caches_.keys, unsafe_yyjson_get_str(k), unsafe_yyjson_get_len(k));
        PyObject* value = key == nullptr ? nullptr : member(v, level, status);
        if (value == nullptr || !insert(dict, key, value)) [[unlikely]] {
            if (key == nullptr || value != nullptr) *status = ConvertStatus::no_memory;
            if (value == nullptr) Py_XDECREF(key);
            Py_DECREF(dict);
            return nullptr;
        }
        k = next;
    }
    incomplete.complete();
    return dict;
}

}  // namespace

Converted convert_document(yyjson_val* root) noexcept {
    const StrCaches caches = str_caches();
    if (!is_container(root)) {
        PyObject* obj = convert_scalar(root, caches.values);
        return {obj, obj ? ConvertStatus::ok : ConvertStatus::no_memory};
    }
    Converter converter(caches);
    ConvertStatus status = ConvertStatus::ok;
    PyObject* obj = converter.container(root, 1, &status);
    return {obj, obj ? ConvertStatus::ok : status};
}

}  // namespace kestro
