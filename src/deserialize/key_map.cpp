#include "deserialize/key_map.hpp"

#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <xxhash.h>

#include <cstring>

namespace kestro {

KeyMap* KEY_MAP = nullptr;

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

size_t key_set(const char* text, size_t len) noexcept {
    if (len <= KEY_MAP_WORDS_MAX) return key_set_index(key_words_hash(key_words(text, len), len));
    return key_set_index(XXH3_64bits(text, len));
}

PyObject* key_object(const char* text, size_t len) noexcept {
    if (len > KEY_MAP_MAX_KEY) return make_key(text, len);

    KeyWords w;
    KeySlot* set;
    if (len <= KEY_MAP_WORDS_MAX) {
        // The words are the text: equal words and length are the same key.
        w = key_words(text, len);
        set = &KEY_MAP->slots[key_set_index(key_words_hash(w, len))];
        for (size_t way = 0; way < KEY_MAP_WAYS; ++way) {
            const KeySlot& slot = set[way];
            if (slot.first == w.first && slot.second == w.second && slot.len == len &&
                slot.str != nullptr)
                return Py_NewRef(slot.str);
        }
    } else {
        w = {XXH3_64bits(text, len), 0};
        set = &KEY_MAP->slots[key_set_index(w.first)];
        for (size_t way = 0; way < KEY_MAP_WAYS; ++way) {
            const KeySlot& slot = set[way];
            if (slot.first == w.first && slot.len == len && slot.str != nullptr &&
                str_equals_utf8(slot.str, text, len))
                return Py_NewRef(slot.str);
        }
    }

    PyObject* s = make_key(text, len);
    if (s == nullptr) return nullptr;
    // The new key takes the first slot of the set; the key there moves to
    // the second, whose key is let go.
    KeySlot& last = set[KEY_MAP_WAYS - 1];
    if (last.str == nullptr) {
        ++KEY_MAP->occupied;
    } else {
        KEY_MAP->replaced = true;
        Py_DECREF(last.str);
    }
    for (size_t way = KEY_MAP_WAYS - 1; way > 0; --way) set[way] = set[way - 1];
    set[0] = KeySlot{w.first, w.second, len, Py_NewRef(s)};
    return s;
}

}  // namespace kestro
