// KEY_MAP: the process-wide, direct-mapped cache of dict keys made by loads.
#pragma once

#include "ffi/python.hpp"

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

// SipHash-1-3 (one compression round, three finalisation rounds) of
// data[0, len) under the 128-bit key (k0, k1).
uint64_t siphash13(uint64_t k0, uint64_t k1, const void* data, size_t len) noexcept;

// The slot of a key whose text hashes to text_hash: SipHash-1-3 with the zero
// key over the hash's 8 little-endian bytes, low 11 bits.
size_t key_slot_index(uint64_t text_hash) noexcept;

// Whether str s holds exactly the well-formed UTF-8 text[0, len).
bool str_equals_utf8(PyObject* s, const char* text, size_t len) noexcept;

// A new reference to a str equal to the UTF-8 key text, with its interpreter
// hash stored; keys of up to KEY_MAP_MAX_KEY bytes are shared through
// KEY_MAP.  Null with MemoryError set when the str cannot be made.
PyObject* key_object(const char* text, size_t len) noexcept;

}  // namespace kestro
