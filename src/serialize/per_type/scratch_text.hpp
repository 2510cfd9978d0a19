// A short text built on the caller's stack before it is copied out: the
// date, time and UUID texts, as values or as dict keys.
#pragma once

#include <cstddef>

namespace kestro {

struct ScratchText {
    // The longest text written here is 36 bytes (a UUID; a datetime is at
    // most 32); the rest is room for whole-word stores.
    static constexpr size_t capacity = 64;

    char data[capacity];
    size_t len = 0;

    char* end() noexcept { return data + len; }
    void set_end(char* end) noexcept { len = static_cast<size_t>(end - data); }
};

}  // namespace kestro
