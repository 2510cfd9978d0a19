// The string writer in 16-byte SSE2 blocks: the baseline of x86-64.
#include "arch/x86_64/lanes.hpp"
#include "serialize/per_type/str_short.hpp"

#include <emmintrin.h>

#include <cstring>

namespace kestro {

size_t string_writer_sse2(char* dst, const char* text, size_t len) noexcept {
    char* out = dst;
    *out++ = '"';
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    if (len < 16) {
        out = write_short_text(out, in, len);
    } else {
        const unsigned char* end = in + len;
        while (end - in >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            unsigned mask = sse2::escape_mask(v);
            if (mask == 0) {
                in += 16;
                out += 16;
                continue;
            }
            unsigned p = static_cast<unsigned>(__builtin_ctz(mask));
            out = put_escape(out + p, in[p]);
            in += p + 1;
        }
        size_t rest = static_cast<size_t>(end - in);
        if (rest != 0) {
            // The last 16 bytes of the text followed by filler that is never
            // escaped: a 16-byte load anywhere in the first half stays inside.
            alignas(16) unsigned char scratch[32];
            _mm_store_si128(reinterpret_cast<__m128i*>(scratch),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16)));
            _mm_store_si128(reinterpret_cast<__m128i*>(scratch + 16), _mm_set1_epi8('a'));
            const unsigned char* s = scratch + 16 - rest;
            const unsigned char* s_end = scratch + 16;
            while (s != s_end) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
                unsigned mask = sse2::escape_mask(v);
                if (mask == 0) {
                    out += s_end - s;
                    break;
                }
                unsigned p = static_cast<unsigned>(__builtin_ctz(mask));
                out = put_escape(out + p, s[p]);
                s += p + 1;
            }
        }
    }
    *out++ = '"';
    return static_cast<size_t>(out - dst);
}

}  // namespace kestro
