// The inline helpers of the hot routines in SSE2, which every x86-64
// processor has: the escape test of short texts, the sixteen digits of
// numbers and the hexadecimal digits of UUIDs (the plain C++ forms are in
// src/arch/portable/lanes.hpp).
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace kestro::sse2 {

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

// ---- sixteen digits ------------------------------------------------------------

// Sixteen ASCII digits, the first in the lowest byte.
using Digits16 = __m128i;

// The eight digits of v < 10^8, leading zeros included, as the 16-bit lanes
// of a vector, the first digit in the lowest lane.  v is split into two
// halves of four digits; each half is copied into four lanes, which divide
// it by 1000, 100, 10 and 1 (a multiplication by the reciprocal, then one by
// a lane's own power of two), and every lane then takes away ten times the
// quotient of its left neighbour.
inline __m128i digit_lanes8(uint32_t v) noexcept {
    const __m128i x = _mm_cvtsi32_si128(static_cast<int>(v));
    // v / 10^4 as v * ceil(2^45 / 10^4) / 2^45.
    const __m128i hi = _mm_srli_epi64(_mm_mul_epu32(x, _mm_set1_epi32(static_cast<int>(0xD1B71759u))), 45);
    const __m128i lo = _mm_sub_epi32(x, _mm_mul_epu32(hi, _mm_set1_epi32(10000)));
    // [4 hi, 4 lo] in the two low 16-bit lanes, then each in four lanes.
    const __m128i halves = _mm_slli_epi64(_mm_unpacklo_epi16(hi, lo), 2);
    const __m128i pairs = _mm_unpacklo_epi16(halves, halves);
    const __m128i spread = _mm_unpacklo_epi32(pairs, pairs);
    const __m128i quotients = _mm_mulhi_epu16(
        _mm_mulhi_epu16(spread, _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768)),
        _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768));
    const __m128i tens = _mm_slli_epi64(_mm_mullo_epi16(quotients, _mm_set1_epi16(10)), 16);
    return _mm_sub_epi16(quotients, tens);
}

inline void store16(char* dst, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v); }

// The sixteen digits of v < 10^16, leading zeros included.
inline __m128i digits16_text(uint64_t v) noexcept {
    const uint64_t hi = v / 100000000;
    const __m128i lanes = _mm_packus_epi16(digit_lanes8(static_cast<uint32_t>(hi)),
                                           digit_lanes8(static_cast<uint32_t>(v - hi * 100000000)));
    return _mm_add_epi8(lanes, _mm_set1_epi8('0'));
}

// How many of the sixteen digits count when trailing zeros are left out:
// the position of the last digit other than '0', 0 when all are '0'.
inline int significant_digits16(__m128i d) noexcept {
    const unsigned zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(d, _mm_set1_epi8('0'))));
    const unsigned others = ~zeros & 0xFFFFu;
    return others != 0 ? 32 - __builtin_clz(others) : 0;
}

// Stores digits from, from + 1, ..., 15 at dst, followed by `from` bytes of
// no meaning (16 bytes in all).
inline void store16_from(char* dst, __m128i d, int from) noexcept {
    const uint64_t low = static_cast<uint64_t>(_mm_cvtsi128_si64(d));
    const uint64_t high = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(d, d)));
    const unsigned __int128 all = low | static_cast<unsigned __int128>(high) << 64;
    const unsigned __int128 shifted = all >> (8 * from);
    const uint64_t words[2] = {static_cast<uint64_t>(shifted), static_cast<uint64_t>(shifted >> 64)};
    __builtin_memcpy(dst, words, 16);
}

// ---- hexadecimal digits ----------------------------------------------------------

// The hexadecimal digit of each 4-bit lane value: '0' + x, and 39 more
// ('a' - '0' - 10) above 9.
inline __m128i hex_digits(__m128i x) noexcept {
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(9)), _mm_set1_epi8(39));
    return _mm_add_epi8(_mm_add_epi8(x, _mm_set1_epi8('0')), letters);
}

// The 32 lowercase hexadecimal digits of 16 bytes, each byte's high digit first.
inline void hex32(const unsigned char bytes[16], char out[32]) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i low_nibbles = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), low_nibbles);
    const __m128i low = _mm_and_si128(v, low_nibbles);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), hex_digits(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), hex_digits(_mm_unpackhi_epi8(high, low)));
}

}  // namespace kestro::sse2
