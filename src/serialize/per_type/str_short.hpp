// Short texts with nothing to escape, the common case of keys and many
// values: copied by a few word loads and stores, without a call; and the
// pieces every string writer shares (one escape, texts under 16 bytes).  The
// escape test of the words is the processor family's (src/arch/lanes.hpp).
#pragma once

#include "arch/lanes.hpp"
#include "serialize/per_type/str.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

// Texts up to this length are tried as plain short texts.
inline constexpr size_t plain_short_max = 16;

// Copies in[0, len), len <= plain_short_max, to out when no byte of it is
// escaped and returns out + len; null when one is (out then holds some of
// the bytes, to be overwritten).  Reads only in[0, len); may store up to 16
// bytes at out.  Overlapping head and tail words cover the text: two 8-byte
// words from 8 bytes on, two 4-byte words from 4, single bytes below.
[[gnu::always_inline]] inline char* copy_plain_short(char* out, const char* in, size_t len) noexcept {
    if (len >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, in, 8);
        std::memcpy(&tail, in + len - 8, 8);
        if (lanes::words_need_escape(head, tail)) return nullptr;
        std::memcpy(out, &head, 8);
        std::memcpy(out + len - 8, &tail, 8);
        return out + len;
    }
    if (len >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, in, 4);
        std::memcpy(&tail, in + len - 4, 4);
        if (lanes::word_needs_escape(head | uint64_t{tail} << 32)) return nullptr;
        std::memcpy(out, &head, 4);
        std::memcpy(out + len - 4, &tail, 4);
        return out + len;
    }
    if (len == 0) return out;
    // 1 to 3 bytes: the first, the middle and the last (some the same byte).
    const uint8_t first = static_cast<uint8_t>(in[0]);
    const uint8_t middle = static_cast<uint8_t>(in[len >> 1]);
    const uint8_t last = static_cast<uint8_t>(in[len - 1]);
    if (NEEDS_ESCAPE.flag[first] | NEEDS_ESCAPE.flag[middle] | NEEDS_ESCAPE.flag[last]) return nullptr;
    out[0] = static_cast<char>(first);
    out[len >> 1] = static_cast<char>(middle);
    out[len - 1] = static_cast<char>(last);
    return out + len;
}

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

// Texts of fewer than 16 bytes, without the quotes.  Most have nothing to
// escape and are copied as they are; otherwise the bytes are taken two per
// step.  Returns the end of the output.
inline char* write_short_text(char* out, const unsigned char* in, size_t len) noexcept {
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

}  // namespace kestro
