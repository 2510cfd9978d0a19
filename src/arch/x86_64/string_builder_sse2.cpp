// The string builder in 16-byte SSE2 blocks: the baseline of x86-64.  The
// character count and width come from utf8_sse2.cpp or, where the processor
// has AVX2, utf8_avx2.cpp.
#include "deserialize/string_builder.hpp"

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace kestro {

namespace {

// Stores 16 ASCII bytes as 16 units of the string's width.
inline void store_ascii16(uint8_t* out, __m128i v) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}

inline void store_ascii16(uint16_t* out, __m128i v) noexcept {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
}

inline void store_ascii16(uint32_t* out, __m128i v) noexcept {
    const __m128i zero = _mm_setzero_si128();
    __m128i lo = _mm_unpacklo_epi8(v, zero);
    __m128i hi = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
}

inline __m128i select(__m128i mask, __m128i yes, __m128i no) noexcept {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// The value of a character starting at each of the 16 positions of a block
// (b must have 3 readable bytes after the block); positions that start no
// character get meaningless values.  For one-byte strings every character
// is ASCII or a lead byte C2/C3 and one continuation byte.
inline void block_values(const uint8_t* b, uint8_t* values) noexcept {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 1));
    const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v0, _mm_set1_epi8(0x03)), 6),
                                     _mm_and_si128(v1, _mm_set1_epi8(0x3F)));
    const __m128i wide = _mm_cmplt_epi8(v0, _mm_setzero_si128());
    _mm_storeu_si128(reinterpret_cast<__m128i*>(values), select(wide, two, v0));
}

// Two-byte strings hold characters of one, two or three bytes.
inline void block_values(const uint8_t* b, uint16_t* values) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low6 = _mm_set1_epi16(0x3F);
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 1));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2));
    for (int half = 0; half < 2; ++half) {
        const __m128i b0 = half == 0 ? _mm_unpacklo_epi8(v0, zero) : _mm_unpackhi_epi8(v0, zero);
        const __m128i p1 = _mm_and_si128(half == 0 ? _mm_unpacklo_epi8(v1, zero) : _mm_unpackhi_epi8(v1, zero), low6);
        const __m128i p2 = _mm_and_si128(half == 0 ? _mm_unpacklo_epi8(v2, zero) : _mm_unpackhi_epi8(v2, zero), low6);
        const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(b0, _mm_set1_epi16(0x1F)), 6), p1);
        const __m128i three = _mm_or_si128(_mm_slli_epi16(b0, 12), _mm_or_si128(_mm_slli_epi16(p1, 6), p2));
        const __m128i value = select(_mm_cmpgt_epi16(b0, _mm_set1_epi16(0xDF)), three,
                                     select(_mm_cmpgt_epi16(b0, _mm_set1_epi16(0x7F)), two, b0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 8 * half), value);
    }
}

// Bytes 4g .. 4g+3 of v as 32-bit lanes.
inline __m128i quarter(__m128i v, int g) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = g < 2 ? _mm_unpacklo_epi8(v, zero) : _mm_unpackhi_epi8(v, zero);
    return g % 2 == 0 ? _mm_unpacklo_epi16(half, zero) : _mm_unpackhi_epi16(half, zero);
}

// Four-byte strings hold characters of any length.
inline void block_values(const uint8_t* b, uint32_t* values) noexcept {
    const __m128i low6 = _mm_set1_epi32(0x3F);
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 1));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2));
    const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 3));
    for (int g = 0; g < 4; ++g) {
        const __m128i b0 = quarter(v0, g);
        const __m128i p1 = _mm_and_si128(quarter(v1, g), low6);
        const __m128i p12 = _mm_or_si128(_mm_slli_epi32(p1, 6), _mm_and_si128(quarter(v2, g), low6));
        const __m128i p123 = _mm_or_si128(_mm_slli_epi32(p12, 6), _mm_and_si128(quarter(v3, g), low6));
        const __m128i two = _mm_or_si128(_mm_slli_epi32(_mm_and_si128(b0, _mm_set1_epi32(0x1F)), 6), p1);
        const __m128i three = _mm_or_si128(_mm_slli_epi32(_mm_and_si128(b0, _mm_set1_epi32(0x0F)), 12), p12);
        const __m128i four = _mm_or_si128(_mm_slli_epi32(_mm_and_si128(b0, _mm_set1_epi32(0x07)), 18), p123);
        __m128i value = select(_mm_cmpgt_epi32(b0, _mm_set1_epi32(0x7F)), two, b0);
        value = select(_mm_cmpgt_epi32(b0, _mm_set1_epi32(0xDF)), three, value);
        value = select(_mm_cmpgt_epi32(b0, _mm_set1_epi32(0xEF)), four, value);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 4 * g), value);
    }
}

// Stores the values of the positions in starts, in order.  Every position
// is stored and only starts advance the output, so the loop has no branch; a
// surplus store lands on the next character's place or, at the very end, on
// the terminator's.
template <class Unit>
inline Unit* store_starts(const Unit* values, unsigned starts, Unit* out, unsigned positions = 16) noexcept {
    size_t k = 0;
    for (unsigned p = 0; p < positions; ++p) {
        out[k] = values[p];
        k += (starts >> p) & 1;
    }
    return out + k;
}

inline unsigned block_starts(const uint8_t* b) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(v, _mm_set1_epi8(-65))));
}

// Decodes well-formed UTF-8 into units of one width, in blocks of 16 bytes:
// all-ASCII blocks are widened in one step; in the others the value of a
// character starting at each position is computed at once, and the values at
// character starts are kept.  Every character makes exactly one unit.
template <class Unit>
Unit* decode_utf8(const uint8_t* s, size_t len, Unit* out) noexcept {
    Unit values[16];
    size_t i = 0;
    // A character starting in a block reads at most 3 bytes past it.
    for (; len - i >= 16 + 3; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(v) == 0) {
            store_ascii16(out, v);
            out += 16;
            continue;
        }
        block_values(s + i, values);
        out = store_starts(values, block_starts(s + i), out);
    }
    if (i == len) return out;
    // The last bytes from a zero-padded copy; the padding starts no character.
    uint8_t tail[32 + 3] = {};
    const size_t rest = len - i;
    std::memcpy(tail, s + i, rest);
    for (size_t j = 0; j < rest; j += 16) {
        const unsigned positions = rest - j >= 16 ? 16 : static_cast<unsigned>(rest - j);
        block_values(tail + j, values);
        out = store_starts(values, block_starts(tail + j), out, positions);
    }
    return out;
}

}  // namespace

PyObject* string_from_profile_sse2(const char* text, size_t len, TextProfile profile) noexcept {
    return str_of_profile(text, len, profile,
                          [](const uint8_t* s, size_t n, auto* out) { return decode_utf8(s, n, out); });
}

PyObject* string_builder_sse2(const char* text, size_t len) noexcept {
    return string_from_profile_sse2(text, len, text_profile_sse2(text, len));
}

PyObject* string_builder_avx2(const char* text, size_t len) noexcept {
    const TextProfile profile = len >= 32 ? text_profile_avx2(text, len) : text_profile_sse2(text, len);
    return string_from_profile_sse2(text, len, profile);
}

}  // namespace kestro
