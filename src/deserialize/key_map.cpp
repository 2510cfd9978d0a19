#include "deserialize/key_map.hpp"

#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <xxhash.h>

#include <cstring>
#include <mutex>

namespace kestro {

KeyMap* KEY_MAP = nullptr;
KeyMap* VALUE_MAP = nullptr;

KeyMap* key_map_new() noexcept {
    auto* map = alloc_records<KeyMap>(1);
    map->slots = alloc_records<KeySlot>(KEY_MAP_SLOTS);
    for (size_t i = 0; i < KEY_MAP_SLOTS; ++i) map->slots[i] = KeySlot{0, 0, 0, nullptr};
    map->occupied = 0;
    map->replaced = false;
    return map;
}

bool str_equals_utf8(PyObject* s, const char* text, size_t len) noexcept {
    if (ffi::str_is_compact_ascii(s)) {
        return static_cast<size_t>(PyUnicode_GET_LENGTH(s)) == len &&
               std::memcmp(ffi::str_compact_data(s), text, len) == 0;
    }
    // Decode the text one character at a time against the str's code points.
    const auto* u = reinterpret_cast<const unsigned char*>(text);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const size_t count = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    size_t i = 0, n = 0;
    while (i < len) {
        if (n == count) return false;
        unsigned c = u[i];
        Py_UCS4 cp;
        if (c < 0x80) {
            cp = c;
            i += 1;
        } else if (c < 0xE0) {
            if (len - i < 2) return false;
            cp = ((c & 0x1Fu) << 6) | (u[i + 1] & 0x3Fu);
            i += 2;
        } else if (c < 0xF0) {
            if (len - i < 3) return false;
            cp = ((c & 0x0Fu) << 12) | ((u[i + 1] & 0x3Fu) << 6) | (u[i + 2] & 0x3Fu);
            i += 3;
        } else {
            if (len - i < 4) return false;
            cp = ((c & 0x07u) << 18) | ((u[i + 1] & 0x3Fu) << 12) | ((u[i + 2] & 0x3Fu) << 6) |
                 (u[i + 3] & 0x3Fu);
            i += 4;
        }
        if (PyUnicode_READ(kind, data, n) != cp) return false;
        ++n;
    }
    return n == count;
}

namespace {

// Stores the interpreter's hash of s, computed over its canonical characters.
inline void set_interpreter_hash(PyObject* s) noexcept {
    Py_ssize_t bytes = PyUnicode_GET_LENGTH(s) * PyUnicode_KIND(s);
    ffi::str_set_hash(s, ffi::hash_bytes(ffi::str_compact_data(s), bytes));
}

inline PyObject* make_key(const char* text, size_t len) noexcept {
    PyObject* s = len == 0 ? Py_NewRef(typeref.empty_str) : typeref.string_builder(text, len);
    if (s != nullptr) set_interpreter_hash(s);
    return s;
}

}  // namespace

namespace {

// What a slot holds to tell a key apart: a short key's words, which are its
// text, or a longer key's XXH3 hash and 0.
inline KeyWords key_identity(const char* text, size_t len) noexcept {
    if (len <= KEY_MAP_WORDS_MAX) return key_words(text, len);
    return {XXH3_64bits(text, len), 0};
}

inline size_t set_of(KeyWords w, size_t len) noexcept {
    return key_set_index(len <= KEY_MAP_WORDS_MAX ? key_words_hash(w, len) : w.first);
}

// The cached str of the key in its set, or null.  Equal words and length are
// the same short key; a longer key with the same hash is confirmed against
// the str.
template <bool by_words>
inline PyObject* cached(const KeySlot* set, KeyWords w, const char* text, size_t len) noexcept {
    for (size_t way = 0; way < KEY_MAP_WAYS; ++way) {
        const KeySlot& slot = set[way];
        if (slot.first == w.first && slot.second == w.second && slot.len == len &&
            slot.str != nullptr && (by_words || str_equals_utf8(slot.str, text, len)))
            return slot.str;
    }
    return nullptr;
}

}  // namespace

size_t key_set(const char* text, size_t len) noexcept {
    return set_of(key_identity(text, len), len);
}

namespace {

// The str of text in `map`: found, or made (with its interpreter hash for a
// key) and put in the first slot of its set, the str in the set's last slot
// let go.
template <bool is_key>
PyObject* cached_str(KeyMap* map, const char* text, size_t len) noexcept {
    const KeyWords w = key_identity(text, len);
    KeySlot* set = &map->slots[set_of(w, len)];
    PyObject* hit = len <= KEY_MAP_WORDS_MAX ? cached<true>(set, w, text, len)
                                             : cached<false>(set, w, text, len);
    if (hit != nullptr) return Py_NewRef(hit);

    PyObject* s = is_key ? make_key(text, len) : typeref.string_builder(text, len);
    if (s == nullptr) return nullptr;
    KeySlot& last = set[KEY_MAP_WAYS - 1];
    if (last.str == nullptr) {
        ++map->occupied;
    } else {
        map->replaced = true;
        Py_DECREF(last.str);
    }
    for (size_t way = KEY_MAP_WAYS - 1; way > 0; --way) set[way] = set[way - 1];
    set[0] = KeySlot{w.first, w.second, len, Py_NewRef(s)};
    return s;
}

}  // namespace

PyObject* key_object(KeyMap* keys, const char* text, size_t len) noexcept {
    if (len > KEY_MAP_MAX_KEY) return make_key(text, len);
    return cached_str<true>(keys, text, len);
}

PyObject* value_object(KeyMap* values, const char* text, size_t len) noexcept {
    if (len > KEY_MAP_WORDS_MAX) return typeref.string_builder(text, len);
    return cached_str<false>(values, text, len);
}

#ifdef Py_GIL_DISABLED
namespace {

// The pairs of threads that ended, for the threads to come.
struct PooledCaches {
    StrCaches caches;
    PooledCaches* next;
};
std::mutex pool_mutex;
PooledCaches* pool = nullptr;

// Gives the thread's pair back to the pool when the thread ends.  Nothing
// here touches an object: the pair and the str objects it holds stay as
// they are.
struct ThreadCaches {
    PooledCaches* entry = nullptr;
    ~ThreadCaches() {
        if (entry == nullptr) return;
        std::lock_guard<std::mutex> lock(pool_mutex);
        entry->next = pool;
        pool = entry;
    }
};
thread_local ThreadCaches thread_caches;

}  // namespace

StrCaches thread_str_caches() noexcept {
    PooledCaches* entry = thread_caches.entry;
    if (entry != nullptr) [[likely]]
        return entry->caches;
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if ((entry = pool) != nullptr) pool = entry->next;
    }
    if (entry == nullptr) {
        entry = alloc_records<PooledCaches>(1);
        *entry = PooledCaches{{key_map_new(), key_map_new()}, nullptr};
    }
    thread_caches.entry = entry;
    return entry->caches;
}
#endif

}  // namespace kestro
