// The string writer in plain C++, on 8-byte words: the variant of processors
// without one of their own, and the reference of the vector variants.
#include "serialize/per_type/str.hpp"

#include "arch/portable/lanes.hpp"
#include "serialize/per_type/str_short.hpp"

#include <cstring>

namespace kestro {

size_t string_writer_portable(char* dst, const char* text, size_t len) noexcept {
    char* out = dst;
    *out++ = '"';
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    if (len < 16) {
        out = write_short_text(out, in, len);
    } else {
        const unsigned char* end = in + len;
        while (end - in >= 8) {
            uint64_t w;
            std::memcpy(&w, in, 8);
            std::memcpy(out, &w, 8);
            const uint64_t flags = portable::escape_bytes(w);
            if (flags == 0) {
                in += 8;
                out += 8;
                continue;
            }
            const unsigned p = portable::first_flagged(flags);
            out = put_escape(out + p, in[p]);
            in += p + 1;
        }
        const size_t rest = static_cast<size_t>(end - in);
        if (rest != 0) {
            // The last 8 bytes of the text followed by filler that is never
            // escaped: an 8-byte load anywhere in the first half stays inside.
            unsigned char scratch[16];
            std::memcpy(scratch, end - 8, 8);
            std::memset(scratch + 8, 'a', 8);
            const unsigned char* s = scratch + 8 - rest;
            const unsigned char* s_end = scratch + 8;
            while (s != s_end) {
                uint64_t w;
                std::memcpy(&w, s, 8);
                std::memcpy(out, &w, 8);
                const uint64_t flags = portable::escape_bytes(w);
                if (flags == 0) {
                    out += s_end - s;
                    break;
                }
                const unsigned p = portable::first_flagged(flags);
                out = put_escape(out + p, s[p]);
                s += p + 1;
            }
        }
    }
    *out++ = '"';
    return static_cast<size_t>(out - dst);
}

}  // namespace kestro
