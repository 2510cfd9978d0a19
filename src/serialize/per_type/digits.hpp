// Decimal digit writers shared by every number the serializer writes.
#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

// "00", "01", ..., "99": the two characters of every value below 100.
extern const char DIGIT_PAIRS[200];

// Writes the decimal digits of v (no sign, no leading zeros, "0" for zero) at
// dst and returns how many were written.  dst has room for 10 (u32) or 20
// (u64) bytes; the writers may store whole words inside that room.
size_t write_u32_text(uint32_t v, char* dst) noexcept;
size_t write_u64_text(uint64_t v, char* dst) noexcept;

// Fixed-width fields, leading zeros included: the two digits of v < 100 and
// the four digits of v < 10^4, at dst.
inline void put_2digits(char* dst, uint32_t v) noexcept { std::memcpy(dst, DIGIT_PAIRS + 2 * v, 2); }

inline void put_4digits(char* dst, uint32_t v) noexcept {
    const uint32_t hi = (v * 5243u) >> 19;  // v / 100, exact for v < 10^4
    put_2digits(dst, hi);
    put_2digits(dst + 2, v - hi * 100);
}

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

// The sixteen digits of v < 10^16, leading zeros included, as ASCII bytes,
// the first digit in the lowest byte.
inline __m128i digits16_text(uint64_t v) noexcept {
    const uint64_t hi = v / 100000000;
    const __m128i lanes = _mm_packus_epi16(digit_lanes8(static_cast<uint32_t>(hi)),
                                           digit_lanes8(static_cast<uint32_t>(v - hi * 100000000)));
    return _mm_add_epi8(lanes, _mm_set1_epi8('0'));
}

}  // namespace kestro
