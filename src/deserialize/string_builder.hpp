// Building str objects in their narrowest representation straight from UTF-8.
#pragma once

#include "deserialize/utf8.hpp"
#include "ffi/python.hpp"
#include "runtime/cpu.hpp"

#include <cstddef>

namespace kestro {

// Makes a new str from well-formed UTF-8 (not checked).  Returns null with
// MemoryError set when the interpreter cannot allocate it.
using StringBuilder = PyObject* (*)(const char* text, size_t len) noexcept;

// A new str for a text of this profile, its character data (with room for
// the terminating zero unit) in *data; null with MemoryError set on failure.
PyObject* new_str_for(TextProfile profile, void** data) noexcept;

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
