// The string writer in 16-byte NEON blocks: the variant of aarch64.
#include "arch/aarch64/lanes.hpp"
#include "serialize/per_type/str_short.hpp"

#include <arm_neon.h>

#include <bit>
#include <cstring>

namespace kestro {

size_t string_writer_neon(char* dst, const char* text, size_t len) noexcept {
    char* out = dst;
    *out++ = '"';
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    if (len < 16) {
        out = write_short_text(out, in, len);
    } else {
        const unsigned char* end = in + len;
        while (end - in >= 16) {
            const uint8x16_t v = vld1q_u8(in);
            vst1q_u8(reinterpret_cast<uint8_t*>(out), v);
            const uint64_t mask = neon::nibble_mask(neon::escape_lanes(v));
            if (mask == 0) [[likely]] {
                in += 16;
                out += 16;
                continue;
            }
            const unsigned p = static_cast<unsigned>(std::countr_zero(mask)) / 4;
            out = put_escape(out + p, in[p]);
            in += p + 1;
        }
        const size_t rest = static_cast<size_t>(end - in);
        if (rest != 0) {
            // The last 16 bytes of the text followed by filler that is never
            // escaped: a 16-byte load anywhere in the first half stays inside.
            alignas(16) unsigned char scratch[32];
            vst1q_u8(scratch, vld1q_u8(end - 16));
            vst1q_u8(scratch + 16, vdupq_n_u8('a'));
            const unsigned char* s = scratch + 16 - rest;
            const unsigned char* s_end = scratch + 16;
            while (s != s_end) {
                const uint8x16_t v = vld1q_u8(s);
                vst1q_u8(reinterpret_cast<uint8_t*>(out), v);
                const uint64_t mask = neon::nibble_mask(neon::escape_lanes(v));
                if (mask == 0) {
                    out += s_end - s;
                    break;
                }
                const unsigned p = static_cast<unsigned>(std::countr_zero(mask)) / 4;
                out = put_escape(out + p, s[p]);
                s += p + 1;
            }
        }
    }
    *out++ = '"';
    return static_cast<size_t>(out - dst);
}

}  // namespace kestro
