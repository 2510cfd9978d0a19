// The string writer in 32-byte blocks with AVX-512 VL+BW byte masks.
#include <immintrin.h>

#include "serialize/per_type/str.hpp"

namespace kestro {

namespace {

// One bit per lane of v, among the lanes of `lanes`, whose byte must be
// escaped: '"', '\\', or below 0x20.
__mmask32 escape_lanes(__mmask32 lanes, __m256i v) {
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i control_end = _mm256_set1_epi8(0x20);
    return _mm256_mask_cmpeq_epi8_mask(lanes, v, quote) |
           _mm256_mask_cmpeq_epi8_mask(lanes, v, backslash) |
           _mm256_mask_cmplt_epu8_mask(lanes, v, control_end);
}

char* put_escape_wide(char* out, unsigned char c) {
    const char* e = ESCAPE_TABLE.entry[c];
    __builtin_memcpy(out, e, 8);
    return out + static_cast<unsigned char>(e[7]);
}

}  // namespace

size_t string_writer_avx512(char* dst, const char* text, size_t len) noexcept {
    char* out = dst;
    *out++ = '"';
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = in + len;
    while (end - in >= 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
        __mmask32 mask = escape_lanes(~__mmask32{0}, v);
        if (mask == 0) {
            in += 32;
            out += 32;
            continue;
        }
        unsigned p = _tzcnt_u32(mask);
        out = put_escape_wide(out + p, in[p]);
        in += p + 1;
    }
    // Fewer than 32 bytes left: masked loads read only those, the other lanes
    // are zero and excluded from the test.
    while (in != end) {
        unsigned rest = static_cast<unsigned>(end - in);
        __mmask32 lanes = _bzhi_u32(~0u, rest);
        __m256i v = _mm256_maskz_loadu_epi8(lanes, in);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
        __mmask32 mask = escape_lanes(lanes, v);
        if (mask == 0) {
            out += rest;
            break;
        }
        unsigned p = _tzcnt_u32(mask);
        out = put_escape_wide(out + p, in[p]);
        in += p + 1;
    }
    *out++ = '"';
    return static_cast<size_t>(out - dst);
}

}  // namespace kestro
