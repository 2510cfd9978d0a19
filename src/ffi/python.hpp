// The one place that knows how CPython lays out its objects on each supported
// version (3.10 to 3.15).  Writers and readers call these helpers and never test
// PY_VERSION_HEX themselves.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000
#error "kestro needs CPython 3.10 or newer"
#endif

#define KESTRO_EXPORT extern "C" __attribute__((visibility("default")))

#if PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter but declared only in its internal headers
// (3.14 no longer exports _Py_HashBytes; Py_HashBuffer replaces it).
extern "C" {
PyAPI_FUNC(int) _PyDict_SetItem_KnownHash(PyObject* mp, PyObject* key, PyObject* item,
                                          Py_hash_t hash);
#if PY_VERSION_HEX < 0x030E0000
PyAPI_FUNC(Py_hash_t) _Py_HashBytes(const void* src, Py_ssize_t len);
#endif
}
#endif

namespace kestro::ffi {

// The module slot by which a module declares that it runs without the
// global lock (3.13 and later; 0 before, where there is none to declare).
#ifdef Py_mod_gil
inline constexpr int mod_gil_slot = Py_mod_gil;
inline void* const mod_gil_not_used = Py_MOD_GIL_NOT_USED;
#else
inline constexpr int mod_gil_slot = 0;
inline void* const mod_gil_not_used = nullptr;
#endif

// Whether this build runs without the global interpreter lock, threads
// running Python code side by side.
#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// ---- str -------------------------------------------------------------------

inline bool str_is_compact_ascii(PyObject* s) noexcept {
    return PyUnicode_IS_COMPACT_ASCII(s);
}

// Inline character data of a compact str (any kind).
inline void* str_compact_data(PyObject* s) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(s)) return reinterpret_cast<PyASCIIObject*>(s) + 1;
    return reinterpret_cast<PyCompactUnicodeObject*>(s) + 1;
}

// The UTF-8 form a non-ASCII compact str already caches, if any.  Without
// the global lock another thread may be making that form meanwhile: it
// publishes the pointer last, so the pointer is read first, with acquire.
inline const char* str_cached_utf8(PyObject* s, Py_ssize_t* len) noexcept {
    auto* c = reinterpret_cast<PyCompactUnicodeObject*>(s);
    if (!PyUnicode_IS_COMPACT(s)) return nullptr;
#ifdef Py_GIL_DISABLED
    const char* utf8 = __atomic_load_n(&c->utf8, __ATOMIC_ACQUIRE);
#else
    const char* utf8 = c->utf8;
#endif
    if (utf8 == nullptr || c->utf8_length == 0) return nullptr;
    *len = c->utf8_length;
    return utf8;
}

// Stores a precomputed hash into a fresh str.
inline void str_set_hash(PyObject* s, Py_hash_t h) noexcept {
    reinterpret_cast<PyASCIIObject*>(s)->hash = h;
}

inline Py_hash_t str_cached_hash(PyObject* s) noexcept {
    return reinterpret_cast<PyASCIIObject*>(s)->hash;
}

// Hash of raw bytes, the value the interpreter computes for a str with that
// canonical character data.
inline Py_hash_t hash_bytes(const void* data, Py_ssize_t len) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return Py_HashBuffer(data, len);
#else
    return _Py_HashBytes(data, len);
#endif
}

// ---- int -------------------------------------------------------------------

// True when |v| < 2**30 (one digit, or zero); *out receives the signed value.
inline bool long_small_value(PyObject* o, int64_t* out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* v = reinterpret_cast<PyLongObject*>(o);
    uintptr_t tag = v->long_value.lv_tag;
    if (tag >= (2u << 3)) return false;           // two or more digits
    int64_t digit = static_cast<int64_t>(v->long_value.ob_digit[0]);
    *out = (tag & 3) == 2 ? -digit : ((tag & 3) == 1 ? 0 : digit);
    return true;
#else
    auto* v = reinterpret_cast<PyLongObject*>(o);
    Py_ssize_t size = Py_SIZE(v);
    if (size == 0) { *out = 0; return true; }
    if (size == 1) { *out = static_cast<int64_t>(v->ob_digit[0]); return true; }
    if (size == -1) { *out = -static_cast<int64_t>(v->ob_digit[0]); return true; }
    return false;
#endif
}

inline bool long_is_negative(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return (reinterpret_cast<PyLongObject*>(o)->long_value.lv_tag & 3) == 2;
#else
    return Py_SIZE(o) < 0;
#endif
}

// True when |v| < 2**64, with *magnitude = |v|; read from the 30-bit digits,
// without the interpreter's generic byte conversion.
inline bool long_magnitude_u64(PyObject* o, uint64_t* magnitude) noexcept {
    static_assert(PyLong_SHIFT == 30, "ints are read as 30-bit digits");
#if PY_VERSION_HEX >= 0x030C0000
    auto* v = reinterpret_cast<PyLongObject*>(o);
    const size_t count = v->long_value.lv_tag >> 3;
    const digit* d = v->long_value.ob_digit;
#else
    auto* v = reinterpret_cast<PyLongObject*>(o);
    const Py_ssize_t size = Py_SIZE(v);
    const size_t count = static_cast<size_t>(size < 0 ? -size : size);
    const digit* d = v->ob_digit;
#endif
    uint64_t m = 0;
    switch (count) {
        case 3:
            if (d[2] >> 4) return false;  // 2**64 or more
            m = uint64_t{d[2]} << 60;
            [[fallthrough]];
        case 2:
            m |= uint64_t{d[1]} << 30;
            [[fallthrough]];
        case 1:
            m |= d[0];
            [[fallthrough]];
        case 0:
            *magnitude = m;
            return true;
        default:
            return false;
    }
}

// The value of an int as 16 bytes, most significant first, unsigned; false,
// with OverflowError set, when it is negative or 2**128 or more.  Values of
// up to five 30-bit digits are read from the digits themselves.
inline bool long_to_be128(PyObject* o, unsigned char out[16]) noexcept {
    auto* v = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
    const uintptr_t tag = v->long_value.lv_tag;
    const bool negative = (tag & 3) == 2;
    const size_t ndigits = tag >> 3;
    const digit* digits = v->long_value.ob_digit;
#else
    const bool negative = Py_SIZE(v) < 0;
    const size_t ndigits = static_cast<size_t>(negative ? -Py_SIZE(v) : Py_SIZE(v));
    const digit* digits = v->ob_digit;
#endif
    static_assert(PyLong_SHIFT == 30);
    if (!negative && (ndigits < 5 || (ndigits == 5 && digits[4] < (1u << 8)))) [[likely]] {
        unsigned __int128 value = 0;
        for (size_t i = ndigits; i-- > 0;) value = (value << 30) | digits[i];
        const uint64_t hi = __builtin_bswap64(static_cast<uint64_t>(value >> 64));
        const uint64_t lo = __builtin_bswap64(static_cast<uint64_t>(value));
        __builtin_memcpy(out, &hi, 8);
        __builtin_memcpy(out + 8, &lo, 8);
        return true;
    }
    // Out of range: the interpreter raises the OverflowError.
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(v, out, 16, 0, 0, 1) == 0;
#else
    return _PyLong_AsByteArray(v, out, 16, 0, 0) == 0;
#endif
}

// The object in the __slots__ entry at `offset` (from member_slot_offset),
// borrowed; null when the slot is unset.
inline PyObject* slot_value(PyObject* o, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}

// The offset of the object slot a member descriptor reads (a __slots__
// entry), or 0 when descr is not such a descriptor.
inline Py_ssize_t member_slot_offset(PyObject* descr) noexcept {
    if (Py_TYPE(descr) != &PyMemberDescr_Type) return 0;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (member->type != T_OBJECT_EX || (member->flags & READ_RESTRICTED)) return 0;
    return member->offset;
}

// ---- datetime.timezone -------------------------------------------------------

// The fixed offset of a datetime.timezone, a timedelta borrowed from it.  The
// object is its header, the offset and the name on every supported version.
inline PyObject* timezone_offset(PyObject* tz) noexcept {
    struct TimeZone {
        PyObject_HEAD
        PyObject* offset;
        PyObject* name;
    };
    return reinterpret_cast<TimeZone*>(tz)->offset;
}

// ---- attributes ------------------------------------------------------------

// Whether o has the attribute; an error raised while looking it up counts as
// not having it and is cleared (nothing is reported on any version).
inline bool has_attr(PyObject* o, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_HasAttrWithError(o, name);
#else
    PyObject* value = nullptr;
    int found = _PyObject_LookupAttr(o, name, &value);
    Py_XDECREF(value);
#endif
    if (found < 0) PyErr_Clear();
    return found == 1;
}

// ---- dict, list, tuple, float ---------------------------------------------

// Sizes another thread may be changing are read whole, as the
// interpreter's own macros read them without the global lock.
inline Py_ssize_t dict_used(PyObject* d) noexcept {
#ifdef Py_GIL_DISABLED
    return __atomic_load_n(&reinterpret_cast<PyDictObject*>(d)->ma_used, __ATOMIC_RELAXED);
#else
    return reinterpret_cast<PyDictObject*>(d)->ma_used;
#endif
}

// The length of a list or tuple.
inline Py_ssize_t sequence_size(PyObject* seq) noexcept {
#ifdef Py_GIL_DISABLED
    return __atomic_load_n(&reinterpret_cast<PyVarObject*>(seq)->ob_size, __ATOMIC_RELAXED);
#else
    return Py_SIZE(seq);
#endif
}

// A new reference to dict[key]; null when it is absent or the lookup failed
// (the error cleared).  The value is never borrowed, which without the
// global lock would let another thread free it before it is held.
inline PyObject* dict_get(PyObject* dict, PyObject* key) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
    return value;
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) PyErr_Clear();
    return Py_XNewRef(value);
#endif
}

// Holds the per-object lock of a container while it is read, on builds
// without the global lock (elsewhere nothing): no other thread changes the
// container meanwhile.  Python code that the reader runs may take the lock
// itself, and the interpreter lets go of it while that code waits for other
// locks, so a reader still reads the container's size and items afresh after
// running any.
class ObjectLock {
  public:
    explicit ObjectLock(PyObject* o) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, o);
#else
        (void)o;
#endif
    }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;
    ~ObjectLock() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }

  private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// A simple (contiguous, read-only) buffer export of obj, and its release.
// Without the global lock both hold the exporter's lock: 3.13's bytearray
// and memoryview count their exports with plain increments and decrements,
// so two threads reading one shared bytearray at once would lose a count
// (later interpreters take the same lock themselves; taking it again inside
// is allowed).
inline int get_simple_buffer(PyObject* obj, Py_buffer* view) noexcept {
    ObjectLock lock(obj);
    return PyObject_GetBuffer(obj, view, PyBUF_SIMPLE);
}
inline void release_buffer(Py_buffer* view) noexcept {
#ifdef Py_GIL_DISABLED
    PyObject* obj = Py_NewRef(view->obj);  // the release drops the view's reference
    {
        ObjectLock lock(obj);
        PyBuffer_Release(view);
    }
    Py_DECREF(obj);
#else
    PyBuffer_Release(view);
#endif
}

// The entry table of a combined-table dict (keys and values together in
// ma_keys; ma_values is null).  Its header, up to the hash index, differs
// between versions; the entries follow the index:
//   3.10: refcnt, dk_size, dk_lookup, usable, nentries; index bytes per slot
//         by dk_size; every entry {hash, key, value}.
//   3.11+: refcnt, log2_size, log2_index_bytes, kind, version, usable,
//         nentries; str-only tables (kind 1) hold {key, value} entries, the
//         others {hash, key, value}.
// A deleted entry has a null value.
namespace dict_detail {
#if PY_VERSION_HEX >= 0x030B0000
struct KeysHeader {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(KeysHeader) == 32);
inline constexpr uint8_t unicode_kind = 1;
#else
struct KeysHeader {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(KeysHeader) == 40);
#endif

// The entry array and the number of entries in use or deleted.
struct EntryTable {
    PyObject** words;
    Py_ssize_t count;
    bool pairs;  // {key, value} entries, else {hash, key, value}
};

inline EntryTable entry_table(PyDictObject* mp) noexcept {
    auto* header = reinterpret_cast<const KeysHeader*>(mp->ma_keys);
    const char* index = reinterpret_cast<const char*>(header + 1);
#if PY_VERSION_HEX >= 0x030B0000
    const char* entries = index + (size_t{1} << header->log2_index_bytes);
    const bool pairs = header->kind == unicode_kind;
#else
    const size_t size = static_cast<size_t>(header->size);
    const size_t index_bytes = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffff ? 4 : 8;
    const char* entries = index + size * index_bytes;
    const bool pairs = false;
#endif
    return {reinterpret_cast<PyObject**>(const_cast<char*>(entries)), header->nentries, pairs};
}

// The first live entry at or after entry i whose entries are `stride` words
// with the key at word `stride - 2`; the index past it, or -1.
template <size_t stride>
[[gnu::always_inline]] inline Py_ssize_t next_live(const EntryTable& table, Py_ssize_t i,
                                                   PyObject** key, PyObject** value) noexcept {
    PyObject** entry = table.words + static_cast<size_t>(i) * stride + (stride - 2);
    for (; i < table.count; ++i, entry += stride) {
        if (entry[1] != nullptr) {
            *key = entry[0];
            *value = entry[1];
            return i + 1;
        }
    }
    return -1;
}
}  // namespace dict_detail

// PyDict_Next without the call: the same entries in the same order, with the
// same meaning of *pos.  Combined tables are read directly (the table is
// looked up afresh on every call, so a dict resized between calls is read
// right); split tables go through the interpreter.
[[gnu::always_inline]] inline bool dict_next(PyObject* d, Py_ssize_t* pos, PyObject** key,
                                             PyObject** value) noexcept {
#ifndef Py_GIL_DISABLED
    auto* mp = reinterpret_cast<PyDictObject*>(d);
    if (mp->ma_values == nullptr) [[likely]] {
        const dict_detail::EntryTable table = dict_detail::entry_table(mp);
        const Py_ssize_t i = *pos;
        if (i < 0) return false;
        const Py_ssize_t after = table.pairs ? dict_detail::next_live<2>(table, i, key, value)
                                             : dict_detail::next_live<3>(table, i, key, value);
        if (after < 0) return false;
        *pos = after;
        return true;
    }
#endif
    return PyDict_Next(d, pos, key, value) != 0;
}

inline PyObject** list_items(PyObject* l) noexcept {
    return reinterpret_cast<PyListObject*>(l)->ob_item;
}

inline PyObject** tuple_items(PyObject* t) noexcept {
    return reinterpret_cast<PyTupleObject*>(t)->ob_item;
}

inline double float_value(PyObject* f) noexcept { return PyFloat_AS_DOUBLE(f); }

// ---- types -----------------------------------------------------------------

// The class's own dictionary (not inherited attributes), borrowed; may be null.
inline PyObject* type_own_dict(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;  // builtins keep theirs elsewhere
#endif
    return t->tp_dict;
}

// ---- bytes -----------------------------------------------------------------

inline char* bytes_data(PyObject* b) noexcept {
    return reinterpret_cast<PyBytesObject*>(b)->ob_sval;
}

inline void bytes_set_size(PyObject* b, Py_ssize_t n) noexcept { Py_SET_SIZE(b, n); }

}  // namespace kestro::ffi
