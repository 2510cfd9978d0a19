#include "serialize/per_type/str.hpp"

#include "serialize/per_type/str_short.hpp"

#include <emmintrin.h>

#include <cstring>

namespace kestro {

namespace {

// Stores the escape of byte c at out and returns the new output position.
inline char* put_escape(char* out, unsigned char c) noexcept {
    const char* e = ESCAPE_TABLE.entry[c];
    std::memcpy(out, e, 8);
    return out + static_cast<unsigned char>(e[7]);
}

inline char* put_byte(char* out, unsigned char c) noexcept {
    *out = static_cast<char>(c);
    if (NEEDS_ESCAPE.flag[c]) return put_escape(out, c);
    return out + 1;
}

// Texts of fewer than 16 bytes.  Most have nothing to escape and are copied
// as they are; otherwise the bytes are taken two per step.
inline char* write_short(char* out, const unsigned char* in, size_t len) noexcept {
    if (char* end = copy_plain_short(out, reinterpret_cast<const char*>(in), len)) return end;
    const unsigned char* end = in + (len & ~size_t{1});
    for (; in != end; in += 2) {
        unsigned char c0 = in[0], c1 = in[1];
        if (!(NEEDS_ESCAPE.flag[c0] | NEEDS_ESCAPE.flag[c1])) {
            std::memcpy(out, in, 2);
            out += 2;
        } else {
            out = put_byte(out, c0);
            out = put_byte(out, c1);
        }
    }
    if (len & 1) out = put_byte(out, *in);
    return out;
}

}  // namespace

size_t string_writer_baseline(char* dst, const char* text, size_t len) noexcept {
    char* out = dst;
    *out++ = '"';
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    if (len < 16) {
        out = write_short(out, in, len);
    } else {
        const unsigned char* end = in + len;
        while (end - in >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            unsigned mask = escape_mask(v);
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
                unsigned mask = escape_mask(v);
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
