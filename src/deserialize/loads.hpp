#pragma once

#include "ffi/python.hpp"

#include <cstddef>

KESTRO_EXPORT PyObject* loads(PyObject* self, PyObject* obj);

namespace kestro {

// Offset of the first '[' or '{' in text[0, end) that opens a container at
// nesting level MAX_NESTING + 1, skipping the contents of strings; end when
// there is none.  The text before `end` is read as a prefix of JSON.
size_t find_nesting_overflow(const char* text, size_t end) noexcept;

// Size of the scratch block that holds the parsed document of a text of len
// bytes: about 12 bytes per input byte, a multiple of 4096, at least 4096.
// Zero when that size is not representable.
size_t scratch_size(size_t len) noexcept;

}  // namespace kestro
