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

}  // namespace kestro
