// Building str objects in their narrowest representation straight from UTF-8.
#pragma once

#include "deserialize/utf8.hpp"
#include "ffi/python.hpp"

#include <cstddef>

namespace kestro {

// Makes a new str from well-formed UTF-8 (not checked).  Returns null with
// MemoryError set when the interpreter cannot allocate it.
using StringBuilder = PyObject* (*)(const char* text, size_t len) noexcept;

PyObject* string_builder_baseline(const char* text, size_t len) noexcept;
PyObject* string_builder_wide(const char* text, size_t len) noexcept;  // AVX-512 VL+BW

// A new str for a text of this profile, its character data (with room for
// the terminating zero unit) in *data; null with MemoryError set on failure.
PyObject* new_str_for(TextProfile profile, void** data) noexcept;

// The common second half of both builders: allocates the str the profile of
// the text describes and decodes the text into it.
PyObject* string_from_profile(const char* text, size_t len, TextProfile profile) noexcept;

}  // namespace kestro
