// UTF-8 validation of byte input to loads, and character counting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

// Length of the longest prefix of text that is well-formed UTF-8 (no overlong
// forms, no encoded surrogates, nothing above U+10FFFF, no truncated sequence).
size_t utf8_valid_prefix(const char* text, size_t len) noexcept;

// Whether text is well-formed: the word scan for texts too short for a
// vector block, the processor's validator (src/arch/routines.hpp) above.
bool utf8_valid(const char* text, size_t len) noexcept;

// The validators, each answering whether the whole text is well-formed.
// Any length; the selection uses them from 32 bytes on.
bool utf8_valid_portable(const char* text, size_t len) noexcept;  // the longest valid prefix
#if defined(__x86_64__)
bool utf8_valid_avx2(const char* text, size_t len) noexcept;  // 64-byte steps; only where has_avx2()
#elif defined(__aarch64__)
bool utf8_valid_neon(const char* text, size_t len) noexcept;  // 64-byte steps
#endif

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

// The profile with the processor's variant.
TextProfile text_profile(const char* text, size_t len) noexcept;

// The variants, each giving the same profile for any text.  Below 16 bytes
// all of them read a few words.
TextProfile text_profile_portable(const char* text, size_t len) noexcept;  // 8-byte words
#if defined(__x86_64__)
TextProfile text_profile_sse2(const char* text, size_t len) noexcept;  // 16-byte blocks
TextProfile text_profile_avx2(const char* text, size_t len) noexcept;  // 32 from 32 bytes; has_avx2()
#elif defined(__aarch64__)
TextProfile text_profile_neon(const char* text, size_t len) noexcept;  // 16-byte blocks
#endif

// The maxchar for a text whose largest byte is max_byte.
constexpr uint32_t maxchar_of_byte(unsigned max_byte) noexcept {
    return max_byte < 0x80 ? 127 : max_byte <= 0xC3 ? 255 : max_byte <= 0xEF ? 65535 : 1114111;
}

}  // namespace kestro
