// Character count and width of a text in 32-byte AVX2 blocks.
#include "deserialize/utf8.hpp"

#include <immintrin.h>

namespace kestro {

namespace {

// 32 zero bytes then 32 ones: loaded at offset n it keeps the last n bytes of
// a 32-byte block.
alignas(64) const unsigned char kTailMask32[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

static inline size_t sum_counters32(__m256i counters) noexcept {
    __m256i sums = _mm256_sad_epu8(counters, _mm256_setzero_si256());
    __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<size_t>(_mm_cvtsi128_si64(halves)) +
           static_cast<size_t>(_mm_extract_epi64(halves, 1));
}

static inline bool any_byte_from32(__m256i v, unsigned char bound) noexcept {
    __m256i b = _mm256_set1_epi8(static_cast<char>(bound));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, b), v)) != 0;
}

}  // namespace

TextProfile text_profile_avx2(const char* text, size_t len) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    // Leading ASCII blocks need no counting: most texts end here.
    size_t i = 0;
    while (len - i >= 32 &&
           _mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i))) == 0)
        i += 32;
    if (i == len) return {len, 127};
    if (len - i < 32) {
        if (_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + len - 32))) == 0)
            return {len, 127};
        i = len - 32;
    }

    // A byte is a character start when, read as signed, it is above -65 (0xBF).
    const __m256i last_continuation = _mm256_set1_epi8(-65);
    __m256i vmax = _mm256_setzero_si256();
    size_t chars = i;
    while (len - i >= 32) {
        // At most 255 steps, so that no byte counter wraps.
        size_t steps = (len - i) / 32;
        if (steps > 255) steps = 255;
        __m256i counters = _mm256_setzero_si256();
        for (size_t k = 0; k < steps; ++k, i += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
            counters = _mm256_sub_epi8(counters, _mm256_cmpgt_epi8(v, last_continuation));
            vmax = _mm256_max_epu8(vmax, v);
        }
        chars += sum_counters32(counters);
    }
    if (i < len) {
        // The last 32 bytes, counting only those not seen yet.
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + len - 32));
        __m256i keep = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kTailMask32 + (len - i)));
        __m256i starts = _mm256_and_si256(_mm256_cmpgt_epi8(v, last_continuation), keep);
        chars += static_cast<size_t>(_mm_popcnt_u32(static_cast<unsigned>(_mm256_movemask_epi8(starts))));
        vmax = _mm256_max_epu8(vmax, v);
    }
    uint32_t maxchar = 127;
    if (any_byte_from32(vmax, 0xF0)) maxchar = 1114111;
    else if (any_byte_from32(vmax, 0xC4)) maxchar = 65535;
    else if (_mm256_movemask_epi8(vmax) != 0) maxchar = 255;
    return {chars, maxchar};
}

}  // namespace kestro
