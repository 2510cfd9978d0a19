// Word-at-a-time pieces of UTF-8 scanning that every variant shares: plain
// C++ on 8-byte words, for short texts and the portable variants.
#pragma once

#include "deserialize/utf8.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro::utf8_words {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Words are read little-endian on every processor: the first byte in the
// lowest bits.
inline uint64_t load_u64(const unsigned char* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
}

inline uint32_t load_u32(const unsigned char* p) noexcept {
    uint32_t w;
    std::memcpy(&w, p, 4);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    return w;
}

// Bit 7 of each byte of w that is a continuation byte (10xxxxxx).
inline uint64_t continuation_bits(uint64_t w) noexcept { return w & ~(w << 1) & kHighBits; }

// Number of set high bits, one per byte, without a popcount instruction.
inline size_t count_high_bits(uint64_t bits) noexcept {
    return static_cast<size_t>(((bits >> 7) * 0x0101010101010101ull) >> 56);
}

// Whether some byte of w is at least 0xC4 (11xxxxxx with one of bits 5-2 set).
inline bool has_byte_from_c4(uint64_t w) noexcept {
    return (w & (w << 1) & ((w << 2) | (w << 3) | (w << 4) | (w << 5)) & kHighBits) != 0;
}

// Whether some byte of w is at least 0xF0.
inline bool has_byte_from_f0(uint64_t w) noexcept {
    return (w & (w << 1) & (w << 2) & (w << 3) & kHighBits) != 0;
}

// Texts of fewer than 16 bytes, read as two words with zero bytes past the end.
// Zero bytes are neither continuation bytes nor wide, so they change nothing.
inline TextProfile short_text_profile(const unsigned char* s, size_t len) noexcept {
    uint64_t a = 0, b = 0;
    if (len >= 8) {
        a = load_u64(s);
        // Bytes 8 .. len-1, taken from the word ending at the last byte.
        if (len > 8) b = load_u64(s + len - 8) >> (8 * (16 - len));
    } else if (len >= 4) {
        // Two overlapping halves; the shared bytes are equal, so OR keeps them.
        a = load_u32(s) | (uint64_t{load_u32(s + len - 4)} << (8 * (len - 4)));
    } else if (len > 0) {
        a = s[0] | (uint64_t{s[len / 2]} << (8 * (len / 2))) | (uint64_t{s[len - 1]} << (8 * (len - 1)));
    }
    if (((a | b) & kHighBits) == 0) return {len, 127};
    size_t chars = len - count_high_bits(continuation_bits(a)) - count_high_bits(continuation_bits(b));
    uint32_t maxchar = 255;
    if (has_byte_from_f0(a) || has_byte_from_f0(b)) maxchar = 1114111;
    else if (has_byte_from_c4(a) || has_byte_from_c4(b)) maxchar = 65535;
    return {chars, maxchar};
}

// Whether every byte of a text shorter than 32 bytes is ASCII, read as a few
// (possibly overlapping) words without a branch per byte.
inline bool short_text_is_ascii(const unsigned char* s, size_t len) noexcept {
    uint64_t any = 0;
    if (len >= 8) {
        for (size_t i = 0; i + 8 <= len; i += 8) any |= load_u64(s + i);
        any |= load_u64(s + len - 8);
    } else if (len >= 4) {
        any = load_u32(s) | load_u32(s + len - 4);
    } else if (len > 0) {
        any = s[0] | s[len / 2] | s[len - 1];
    }
    return (any & kHighBits) == 0;
}

}  // namespace kestro::utf8_words
