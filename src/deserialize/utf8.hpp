// UTF-8 validation of byte input to loads, and character counting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

// Length of the longest prefix of text that is well-formed UTF-8 (no overlong
// forms, no encoded surrogates, nothing above U+10FFFF, no truncated sequence).
size_t utf8_valid_prefix(const char* text, size_t len) noexcept;

// The AVX2 validator: whether the whole text is well-formed.  Call only when
// has_avx2() holds.
bool utf8_valid_avx2(const char* text, size_t len) noexcept;

// Whether text is well-formed, with the variant chosen by processor features
// (and the word scan for texts too short for a vector block).
bool utf8_valid(const char* text, size_t len) noexcept;

// Number of bytes in text[0, len) that are not continuation bytes (0x80-0xBF):
// the character count of valid UTF-8.
size_t utf8_count_chars(const char* text, size_t len) noexcept;

// What a str needs to know about its UTF-8 text before it is allocated: the
// number of non-continuation bytes and the largest character the width of the
// bytes allows (127, 255, 65535 or 1114111, chosen by the largest byte: below
// 0x80, up to 0xC3, up to 0xEF, above).  For valid UTF-8 that is the narrowest
// representation of the text.
struct TextProfile {
    size_t chars;
    uint32_t maxchar;
};

// The profile with the widest scan the processor offers (AVX2 from 32 bytes).
TextProfile text_profile(const char* text, size_t len) noexcept;

// Baseline: 8-byte words below 16 bytes, SSE2 blocks of 16 bytes above.
TextProfile text_profile_sse2(const char* text, size_t len) noexcept;

// AVX2 blocks of 32 bytes.  Needs len >= 32 and has_avx2().
TextProfile text_profile_avx2(const char* text, size_t len) noexcept;

// The maxchar for a text whose largest byte is max_byte.
constexpr uint32_t maxchar_of_byte(unsigned max_byte) noexcept {
    return max_byte < 0x80 ? 127 : max_byte <= 0xC3 ? 255 : max_byte <= 0xEF ? 65535 : 1114111;
}

}  // namespace kestro
