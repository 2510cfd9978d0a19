// UTF-8 validation of byte input to loads, and character counting.
#pragma once

#include <cstddef>

namespace kestro {

// Length of the longest prefix of text that is well-formed UTF-8 (no overlong
// forms, no encoded surrogates, nothing above U+10FFFF, no truncated sequence).
size_t utf8_valid_prefix(const char* text, size_t len) noexcept;

// The AVX2 validator: whether the whole text is well-formed.  Call only when
// has_avx2() holds.
bool utf8_valid_avx2(const char* text, size_t len) noexcept;

// Whether text is well-formed, with the variant chosen by processor features.
bool utf8_valid(const char* text, size_t len) noexcept;

// Number of bytes in text[0, len) that are not continuation bytes (0x80-0xBF):
// the character count of valid UTF-8.
size_t utf8_count_chars(const char* text, size_t len) noexcept;

}  // namespace kestro
