// KEY_MAP: the process-wide, direct-mapped cache of dict keys made by loads.
#pragma once

#include "ffi/python.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

namespace kestro {

inline constexpr size_t KEY_MAP_SLOTS = 2048;
inline constexpr size_t KEY_MAP_MAX_KEY = 64;  // longer keys bypass the cache

struct KeySlot {
    uint64_t hash;  // XXH3-64 of the key's UTF-8 text
    PyObject* str;  // strong reference, or null when the slot is empty
};

struct KeyMap {
    KeySlot* slots;  // KEY_MAP_SLOTS entries
    uint64_t occupied;
    bool replaced;
};

extern KeyMap* KEY_MAP;

// A new, empty cache; allocation failure ends the process.
KeyMap* key_map_new() noexcept;

// The slot of a key whose text hashes to text_hash: the hash's top bits.
// XXH3 mixes every bit of the text into all of them, so they need no
// further mixing.
inline size_t key_slot_index(uint64_t text_hash) noexcept {
    static_assert((KEY_MAP_SLOTS & (KEY_MAP_SLOTS - 1)) == 0, "a power of two");
    return static_cast<size_t>(text_hash >> (64 - std::countr_zero(KEY_MAP_SLOTS)));
}

// Whether str s holds exactly the well-formed UTF-8 text[0, len).
bool str_equals_utf8(PyObject* s, const char* text, size_t len) noexcept;

// A new reference to a str equal to the UTF-8 key text, with its interpreter
// hash stored; keys of up to KEY_MAP_MAX_KEY bytes are shared through
// KEY_MAP.  Null with MemoryError set when the str cannot be made.
PyObject* key_object(const char* text, size_t len) noexcept;

}  // namespace kestro
