// Short texts with nothing to escape, the common case of keys and many
// values: copied by a few word loads and stores, without a call.  Baseline
// code only (the vector writers keep their own helpers).
#pragma once

#include "serialize/per_type/str.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

// Texts up to this length are tried as plain short texts.
inline constexpr size_t plain_short_max = 16;

// Whether a byte of w must be escaped: below 0x20, '"' or '\\'.  These are
// the classic word tests for a byte below n / a zero byte, exact about
// whether any byte matches.
[[gnu::always_inline]] inline bool word_needs_escape(uint64_t w) noexcept {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    uint64_t quote = w ^ (ones * '"');
    uint64_t backslash = w ^ (ones * '\\');
    return ((((w - ones * 0x20) & ~w) | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) &
            highs) != 0;
}

// Copies in[0, len), len <= plain_short_max, to out when no byte of it is
// escaped and returns out + len; null when one is (out then holds some of
// the bytes, to be overwritten).  Reads only in[0, len); may store up to 16
// bytes at out.  Overlapping head and tail words cover the text: two 8-byte
// words from 8 bytes on, two 4-byte words from 4, single bytes below.
[[gnu::always_inline]] inline char* copy_plain_short(char* out, const char* in, size_t len) noexcept {
    if (len >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, in, 8);
        std::memcpy(&tail, in + len - 8, 8);
        if (word_needs_escape(head) || word_needs_escape(tail)) return nullptr;
        std::memcpy(out, &head, 8);
        std::memcpy(out + len - 8, &tail, 8);
        return out + len;
    }
    if (len >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, in, 4);
        std::memcpy(&tail, in + len - 4, 4);
        if (word_needs_escape(head | uint64_t{tail} << 32)) return nullptr;
        std::memcpy(out, &head, 4);
        std::memcpy(out + len - 4, &tail, 4);
        return out + len;
    }
    if (len == 0) return out;
    // 1 to 3 bytes: the first, the middle and the last (some the same byte),
    // in a word whose other bytes are 'a'.
    const uint8_t first = static_cast<uint8_t>(in[0]);
    const uint8_t middle = static_cast<uint8_t>(in[len >> 1]);
    const uint8_t last = static_cast<uint8_t>(in[len - 1]);
    const uint64_t w = (0x6161616161000000ull) | first | uint64_t{middle} << 8 | uint64_t{last} << 16;
    if (word_needs_escape(w)) return nullptr;
    out[0] = static_cast<char>(first);
    out[len >> 1] = static_cast<char>(middle);
    out[len - 1] = static_cast<char>(last);
    return out + len;
}

}  // namespace kestro
