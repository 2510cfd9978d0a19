// Writing str values as JSON strings.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

// Writes text[0, len) as a quoted, escaped JSON string at dst and returns the
// number of bytes written (2 to 6 * len + 2).  The caller has reserved
// 8 * len + 32 bytes at dst; the writer may store anywhere inside that room.
using StringWriter = size_t (*)(char* dst, const char* text, size_t len) noexcept;

size_t string_writer_baseline(char* dst, const char* text, size_t len) noexcept;  // SSE2
size_t string_writer_wide(char* dst, const char* text, size_t len) noexcept;      // AVX-512 VL+BW

}  // namespace kestro
