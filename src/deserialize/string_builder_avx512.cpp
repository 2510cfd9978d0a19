// The string builder for processors with AVX-512 VL and BW: the width comes
// from a byte-maximum reduction over 64-byte blocks and the character count
// from mask-register population counts.
#include "deserialize/string_builder.hpp"

#include <immintrin.h>

namespace kestro {

namespace {

// Byte mask of the first n (0..63) bytes of a block.
static inline __mmask64 first_bytes(size_t n) noexcept { return _bzhi_u64(~0ull, static_cast<unsigned>(n)); }

}  // namespace

PyObject* string_builder_wide(const char* text, size_t len) noexcept {
    // The partial block comes first, so that every later block is whole.
    const size_t head = len % 64;
    const __mmask64 head_mask = first_bytes(head);
    __m512i vmax = _mm512_maskz_loadu_epi8(head_mask, text);
    size_t i = head;
    for (; len - i >= 256; i += 256) {
        __m512i a = _mm512_max_epu8(_mm512_loadu_si512(text + i), _mm512_loadu_si512(text + i + 64));
        __m512i b = _mm512_max_epu8(_mm512_loadu_si512(text + i + 128), _mm512_loadu_si512(text + i + 192));
        vmax = _mm512_max_epu8(vmax, _mm512_max_epu8(a, b));
    }
    for (; i < len; i += 64) vmax = _mm512_max_epu8(vmax, _mm512_loadu_si512(text + i));

    // In valid UTF-8 a byte of 0x80 or more implies a lead byte of 0xC2 or more.
    if (_mm512_movepi8_mask(vmax) == 0) return string_from_profile(text, len, TextProfile{len, 127});

    // Character starts are the bytes above 0xBF read as signed, i.e. above -65.
    const __m512i last_continuation = _mm512_set1_epi8(-65);
    size_t chars = static_cast<size_t>(
        _mm_popcnt_u64(_mm512_mask_cmpgt_epi8_mask(head_mask, _mm512_maskz_loadu_epi8(head_mask, text),
                                                   last_continuation)));
    for (i = head; i < len; i += 64)
        chars += static_cast<size_t>(
            _mm_popcnt_u64(_mm512_cmpgt_epi8_mask(_mm512_loadu_si512(text + i), last_continuation)));

    uint32_t maxchar = 255;
    if (_mm512_cmpge_epu8_mask(vmax, _mm512_set1_epi8(static_cast<char>(0xF0))) != 0) maxchar = 1114111;
    else if (_mm512_cmpge_epu8_mask(vmax, _mm512_set1_epi8(static_cast<char>(0xC4))) != 0) maxchar = 65535;
    return string_from_profile(text, len, TextProfile{chars, maxchar});
}

}  // namespace kestro
