// KEY_MAP and VALUE_MAP: the process-wide caches of the dict keys and short
// string values made by loads.
#pragma once

#include "ffi/python.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

inline constexpr size_t KEY_MAP_SLOTS = 2048;
inline constexpr size_t KEY_MAP_MAX_KEY = 64;  // longer keys bypass the cache

// Keys of up to this many bytes are told apart by their text itself, held
// as two words; longer ones by the XXH3 hash of their text, confirmed
// against the str.
inline constexpr size_t KEY_MAP_WORDS_MAX = 16;

struct KeySlot {
    uint64_t first;   // a short key's words (key_words), or a longer key's hash
    uint64_t second;  // and 0
    size_t len;       // bytes of the key's UTF-8 text
    PyObject* str;    // strong reference, or null when the slot is empty
};

struct KeyMap {
    KeySlot* slots;  // KEY_MAP_SLOTS entries
    uint64_t occupied;
    bool replaced;
};

extern KeyMap* KEY_MAP;

// VALUE_MAP: string values of up to KEY_MAP_WORDS_MAX bytes, the ones held
// as two words, shared by every loads call like keys.  Values repeat less
// than keys; where they do (enumerations, type names, codes), a hit saves
// making the str, and short values are found by their words alone, with no
// hash to compute, so a miss costs little.
extern KeyMap* VALUE_MAP;

// A new, empty cache; allocation failure ends the process.
KeyMap* key_map_new() noexcept;

// The two words that hold every byte of a text of up to KEY_MAP_WORDS_MAX
// bytes, read without touching a byte beyond it: the first and last eight
// bytes, or four and four, or the first, middle and last byte.  Together
// with the length they tell texts apart exactly.
struct KeyWords {
    uint64_t first, second;
};
inline KeyWords key_words(const char* text, size_t len) noexcept {
    auto load = [](const char* p, auto word) {
        std::memcpy(&word, p, sizeof word);
        return static_cast<uint64_t>(word);
    };
    if (len >= 8) return {load(text, uint64_t{}), load(text + len - 8, uint64_t{})};
    if (len >= 4) return {load(text, uint32_t{}) | load(text + len - 4, uint32_t{}) << 32, 0};
    if (len == 0) return {0, 0};
    const auto* u = reinterpret_cast<const unsigned char*>(text);
    return {uint64_t{u[0]} | uint64_t{u[len / 2]} << 8 | uint64_t{u[len - 1]} << 16, 0};
}

// A key may sit in either slot of its set, so that two keys of one record
// that fall into the same set do not keep replacing each other.
inline constexpr size_t KEY_MAP_WAYS = 2;

// The first slot of a key's set by a 64-bit hash of the key: the hash's top
// bits pick the set.
inline size_t key_set_index(uint64_t hash) noexcept {
    constexpr size_t sets = KEY_MAP_SLOTS / KEY_MAP_WAYS;
    static_assert((sets & (sets - 1)) == 0, "a power of two");
    return static_cast<size_t>(hash >> (64 - std::countr_zero(sets))) * KEY_MAP_WAYS;
}

// The hash of a short key from its words and length: every bit of them
// reaches the top bits.
inline uint64_t key_words_hash(KeyWords w, size_t len) noexcept {
    return ((w.first * 0x9E3779B97F4A7C15ull) ^ (w.second * 0xC2B2AE3D27D4EB4Full) ^ len) *
           0xFF51AFD7ED558CCDull;
}

// The first slot of the set of the key text[0, len), len at most
// KEY_MAP_MAX_KEY.
size_t key_set(const char* text, size_t len) noexcept;

// Whether str s holds exactly the well-formed UTF-8 text[0, len).
bool str_equals_utf8(PyObject* s, const char* text, size_t len) noexcept;

// The caches a loads call uses.  With the global lock there is one pair for
// the process, KEY_MAP and VALUE_MAP, used by one thread at a time.  Without
// it each thread has a pair of its own, so that a lookup takes no lock and
// threads never contend for slots: taken when the thread first needs one and
// given back to a pool when the thread ends, for the threads that come
// after (with the str objects they hold).
struct StrCaches {
    KeyMap* keys;
    KeyMap* values;
};

#ifdef Py_GIL_DISABLED
StrCaches thread_str_caches() noexcept;
#endif

// The calling thread's caches; a loads call asks once.
inline StrCaches str_caches() noexcept {
#ifdef Py_GIL_DISABLED
    return thread_str_caches();
#else
    return {KEY_MAP, VALUE_MAP};
#endif
}

// A new reference to a str equal to the UTF-8 key text, with its interpreter
// hash stored; keys of up to KEY_MAP_MAX_KEY bytes are shared through `keys`.
// Null with MemoryError set when the str cannot be made.
PyObject* key_object(KeyMap* keys, const char* text, size_t len) noexcept;

inline PyObject* key_object(const char* text, size_t len) noexcept {
    return key_object(str_caches().keys, text, len);
}

// A new reference to a str equal to the UTF-8 value text (not empty); those
// of up to KEY_MAP_WORDS_MAX bytes are shared through `values`.  Null with
// MemoryError set when the str cannot be made.
PyObject* value_object(KeyMap* values, const char* text, size_t len) noexcept;

}  // namespace kestro
