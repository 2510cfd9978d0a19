// Character count and width of UTF-8 text in 16-byte SSE2 blocks: the
// baseline of x86-64.
#include "deserialize/utf8.hpp"
#include "deserialize/utf8_words.hpp"

#include <emmintrin.h>

namespace kestro {

namespace {

using utf8_words::short_text_profile;

// 16 zero bytes then 16 ones: loaded at offset n it keeps the last n bytes of
// a 16-byte block.
alignas(32) constexpr unsigned char kTailMask[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline bool any_byte_from(__m128i v, unsigned char bound) noexcept {
    __m128i b = _mm_set1_epi8(static_cast<char>(bound));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, b), v)) != 0;
}

inline size_t sum_byte_counters(__m128i counters) noexcept {
    __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    return static_cast<size_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

}  // namespace

TextProfile text_profile_sse2(const char* text, size_t len) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (len < 16) return short_text_profile(s, len);

    // Leading ASCII blocks need no counting: most texts end here.
    size_t i = 0;
    while (len - i >= 16 && _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i))) == 0)
        i += 16;
    if (i == len) return {len, 127};
    if (len - i < 16) {
        if (_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + len - 16))) == 0)
            return {len, 127};
        i = len - 16;
    }

    // A byte is a character start when, read as signed, it is above -65 (0xBF).
    const __m128i last_continuation = _mm_set1_epi8(-65);
    __m128i vmax = _mm_setzero_si128();
    size_t chars = i;
    while (len - i >= 16) {
        // At most 255 steps, so that no byte counter wraps.
        size_t steps = (len - i) / 16;
        if (steps > 255) steps = 255;
        __m128i counters = _mm_setzero_si128();
        for (size_t k = 0; k < steps; ++k, i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            counters = _mm_sub_epi8(counters, _mm_cmpgt_epi8(v, last_continuation));
            vmax = _mm_max_epu8(vmax, v);
        }
        chars += sum_byte_counters(counters);
    }
    if (i < len) {
        // The last 16 bytes, counting only those not seen yet.
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + len - 16));
        __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailMask + (len - i)));
        __m128i starts = _mm_and_si128(_mm_cmpgt_epi8(v, last_continuation), keep);
        chars += sum_byte_counters(_mm_and_si128(starts, _mm_set1_epi8(1)));
        vmax = _mm_max_epu8(vmax, v);
    }
    uint32_t maxchar = 127;
    if (any_byte_from(vmax, 0xF0)) maxchar = 1114111;
    else if (any_byte_from(vmax, 0xC4)) maxchar = 65535;
    else if (_mm_movemask_epi8(vmax) != 0) maxchar = 255;
    return {chars, maxchar};
}

}  // namespace kestro
