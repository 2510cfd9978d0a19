// Building str objects in their narrowest representation straight from UTF-8.
#pragma once

#include "deserialize/utf8.hpp"
#include "ffi/python.hpp"
#include "runtime/cpu.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

// Makes a new str from well-formed UTF-8 (not checked).  Returns null with
// MemoryError set when the interpreter cannot allocate it.
using StringBuilder = PyObject* (*)(const char* text, size_t len) noexcept;

// A new str for a text of this profile, its character data (with room for
// the terminating zero unit) in *data; null with MemoryError set on failure.
PyObject* new_str_for(TextProfile profile, void** data) noexcept;

// The str of a text of this profile: allocated by new_str_for, the text
// copied when every byte is a character of its own, otherwise decoded by
// decode(s, len, out), which writes one unit a character to out (uint8_t*,
// uint16_t* or uint32_t*, the narrowest that holds the profile's largest
// character) and returns the end.  Each variant passes its own decoder.
template <class Decode>
[[gnu::always_inline]] inline PyObject* str_of_profile(const char* text, size_t len, TextProfile profile,
                                                       Decode decode) noexcept {
    void* data = nullptr;
    PyObject* str = new_str_for(profile, &data);
    if (str == nullptr) return nullptr;
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    if (profile.maxchar <= 255) {
        if (profile.chars == len) {
            std::memcpy(data, s, len);
            static_cast<uint8_t*>(data)[len] = 0;
        } else {
            *decode(s, len, static_cast<uint8_t*>(data)) = 0;
        }
    } else if (profile.maxchar <= 65535) {
        *decode(s, len, static_cast<uint16_t*>(data)) = 0;
    } else {
        *decode(s, len, static_cast<uint32_t*>(data)) = 0;
    }
    return str;
}

// The variants, each building the same str; src/arch/<family>/select.cpp
// chooses the one the processor runs.  A string_from_profile_* is the second
// half of its builder: it allocates the str the profile of the text describes
// and decodes the text into it.
PyObject* string_builder_portable(const char* text, size_t len) noexcept;  // 8-byte words
PyObject* string_from_profile_portable(const char* text, size_t len, TextProfile profile) noexcept;
#if defined(__x86_64__)
PyObject* string_builder_sse2(const char* text, size_t len) noexcept;    // 16-byte blocks
PyObject* string_builder_avx2(const char* text, size_t len) noexcept;    // counting 32 bytes a step
PyObject* string_builder_avx512(const char* text, size_t len) noexcept;  // AVX-512 VL+BW
PyObject* string_from_profile_sse2(const char* text, size_t len, TextProfile profile) noexcept;
// The names the micro-benchmarks use: the builder of processors without
// AVX-512, and the one of those with it.
inline PyObject* string_builder_baseline(const char* text, size_t len) noexcept {
    return has_avx2() ? string_builder_avx2(text, len) : string_builder_sse2(text, len);
}
inline constexpr StringBuilder string_builder_wide = string_builder_avx512;
#elif defined(__aarch64__)
PyObject* string_builder_neon(const char* text, size_t len) noexcept;  // 16-byte blocks
PyObject* string_from_profile_neon(const char* text, size_t len, TextProfile profile) noexcept;
#endif

}  // namespace kestro
