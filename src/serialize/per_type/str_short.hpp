// Short texts with nothing to escape, the common case of keys and many
// values: copied by a few word loads and stores, without a call.  Baseline
// code only, SSE2 (the wider vector writers keep their own helpers).
#pragma once

#include "serialize/per_type/str.hpp"

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

// Texts up to this length are tried as plain short texts.
inline constexpr size_t plain_short_max = 16;

// One bit per byte of v that must be escaped: '"', '\\', or 0x1F and below.
[[gnu::always_inline]] inline unsigned escape_mask(__m128i v) noexcept {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1F);
    __m128i is_control = _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v);
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                               is_control);
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// Whether a byte of the two words must be escaped.
[[gnu::always_inline]] inline bool words_need_escape(uint64_t low, uint64_t high) noexcept {
    return escape_mask(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))) != 0;
}

// Whether a byte of the word must be escaped.
[[gnu::always_inline]] inline bool word_needs_escape(uint64_t w) noexcept {
    return (escape_mask(_mm_cvtsi64_si128(static_cast<long long>(w))) & 0xFF) != 0;
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
        if (words_need_escape(head, tail)) return nullptr;
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
    // 1 to 3 bytes: the first, the middle and the last (some the same byte).
    const uint8_t first = static_cast<uint8_t>(in[0]);
    const uint8_t middle = static_cast<uint8_t>(in[len >> 1]);
    const uint8_t last = static_cast<uint8_t>(in[len - 1]);
    if (NEEDS_ESCAPE.flag[first] | NEEDS_ESCAPE.flag[middle] | NEEDS_ESCAPE.flag[last]) return nullptr;
    out[0] = static_cast<char>(first);
    out[len >> 1] = static_cast<char>(middle);
    out[len - 1] = static_cast<char>(last);
    return out + len;
}

}  // namespace kestro
