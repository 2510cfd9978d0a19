// The string builder in 16-byte NEON blocks: the variant of aarch64.  The
// character count and width come from utf8_neon.cpp.
#include "deserialize/string_builder.hpp"

#include <arm_neon.h>

#include <cstdint>
#include <cstring>

namespace kestro {

namespace {

// Stores 16 ASCII bytes as 16 units of the string's width.
inline void store_ascii16(uint8_t* out, uint8x16_t v) noexcept { vst1q_u8(out, v); }

inline void store_ascii16(uint16_t* out, uint8x16_t v) noexcept {
    vst1q_u16(out, vmovl_u8(vget_low_u8(v)));
    vst1q_u16(out + 8, vmovl_high_u8(v));
}

inline void store_ascii16(uint32_t* out, uint8x16_t v) noexcept {
    const uint16x8_t lo = vmovl_u8(vget_low_u8(v));
    const uint16x8_t hi = vmovl_high_u8(v);
    vst1q_u32(out, vmovl_u16(vget_low_u16(lo)));
    vst1q_u32(out + 4, vmovl_high_u16(lo));
    vst1q_u32(out + 8, vmovl_u16(vget_low_u16(hi)));
    vst1q_u32(out + 12, vmovl_high_u16(hi));
}

// The value of a character starting at each of the 16 positions of a block
// (b must have 3 readable bytes after the block); positions that start no
// character get meaningless values.  For one-byte strings every character
// is ASCII or a lead byte C2/C3 and one continuation byte.
inline void block_values(const uint8_t* b, uint8_t* values) noexcept {
    const uint8x16_t v0 = vld1q_u8(b);
    const uint8x16_t v1 = vld1q_u8(b + 1);
    const uint8x16_t two = vorrq_u8(vshlq_n_u8(v0, 6), vandq_u8(v1, vdupq_n_u8(0x3F)));
    vst1q_u8(values, vbslq_u8(vcgeq_u8(v0, vdupq_n_u8(0x80)), two, v0));
}

// Two-byte strings hold characters of one, two or three bytes.
inline void block_values(const uint8_t* b, uint16_t* values) noexcept {
    const uint16x8_t low6 = vdupq_n_u16(0x3F);
    const uint8x16_t v0 = vld1q_u8(b);
    const uint8x16_t v1 = vld1q_u8(b + 1);
    const uint8x16_t v2 = vld1q_u8(b + 2);
    for (int half = 0; half < 2; ++half) {
        const uint16x8_t b0 = half == 0 ? vmovl_u8(vget_low_u8(v0)) : vmovl_high_u8(v0);
        const uint16x8_t p1 = vandq_u16(half == 0 ? vmovl_u8(vget_low_u8(v1)) : vmovl_high_u8(v1), low6);
        const uint16x8_t p2 = vandq_u16(half == 0 ? vmovl_u8(vget_low_u8(v2)) : vmovl_high_u8(v2), low6);
        const uint16x8_t two = vorrq_u16(vshlq_n_u16(vandq_u16(b0, vdupq_n_u16(0x1F)), 6), p1);
        const uint16x8_t three = vorrq_u16(vshlq_n_u16(b0, 12), vorrq_u16(vshlq_n_u16(p1, 6), p2));
        const uint16x8_t value = vbslq_u16(vcgtq_u16(b0, vdupq_n_u16(0xDF)), three,
                                           vbslq_u16(vcgtq_u16(b0, vdupq_n_u16(0x7F)), two, b0));
        vst1q_u16(values + 8 * half, value);
    }
}

// Bytes 4g .. 4g+3 of v as 32-bit lanes.
inline uint32x4_t quarter(uint8x16_t v, int g) noexcept {
    const uint16x8_t half = g < 2 ? vmovl_u8(vget_low_u8(v)) : vmovl_high_u8(v);
    return g % 2 == 0 ? vmovl_u16(vget_low_u16(half)) : vmovl_high_u16(half);
}

// Four-byte strings hold characters of any length.
inline void block_values(const uint8_t* b, uint32_t* values) noexcept {
    const uint32x4_t low6 = vdupq_n_u32(0x3F);
    const uint8x16_t v0 = vld1q_u8(b);
    const uint8x16_t v1 = vld1q_u8(b + 1);
    const uint8x16_t v2 = vld1q_u8(b + 2);
    const uint8x16_t v3 = vld1q_u8(b + 3);
    for (int g = 0; g < 4; ++g) {
        const uint32x4_t b0 = quarter(v0, g);
        const uint32x4_t p1 = vandq_u32(quarter(v1, g), low6);
        const uint32x4_t p12 = vorrq_u32(vshlq_n_u32(p1, 6), vandq_u32(quarter(v2, g), low6));
        const uint32x4_t p123 = vorrq_u32(vshlq_n_u32(p12, 6), vandq_u32(quarter(v3, g), low6));
        const uint32x4_t two = vorrq_u32(vshlq_n_u32(vandq_u32(b0, vdupq_n_u32(0x1F)), 6), p1);
        const uint32x4_t three = vorrq_u32(vshlq_n_u32(vandq_u32(b0, vdupq_n_u32(0x0F)), 12), p12);
        const uint32x4_t four = vorrq_u32(vshlq_n_u32(vandq_u32(b0, vdupq_n_u32(0x07)), 18), p123);
        uint32x4_t value = vbslq_u32(vcgtq_u32(b0, vdupq_n_u32(0x7F)), two, b0);
        value = vbslq_u32(vcgtq_u32(b0, vdupq_n_u32(0xDF)), three, value);
        value = vbslq_u32(vcgtq_u32(b0, vdupq_n_u32(0xEF)), four, value);
        vst1q_u32(values + 4 * g, value);
    }
}

// Four bits per position of a block, set where a character starts (the byte,
// read as signed, is above -65: not a continuation byte).
inline uint64_t block_starts(const uint8_t* b) noexcept {
    const uint8x16_t starts = vcgtq_s8(vreinterpretq_s8_u8(vld1q_u8(b)), vdupq_n_s8(-65));
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(starts), 4)), 0);
}

// Stores the values of the positions in starts, in order.  Every position
// is stored and only starts advance the output, so the loop has no branch; a
// surplus store lands on the next character's place or, at the very end, on
// the terminator's.
template <class Unit>
inline Unit* store_starts(const Unit* values, uint64_t starts, Unit* out, unsigned positions = 16) noexcept {
    size_t k = 0;
    for (unsigned p = 0; p < positions; ++p) {
        out[k] = values[p];
        k += (starts >> (4 * p)) & 1;
    }
    return out + k;
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
        const uint8x16_t v = vld1q_u8(s + i);
        if (vmaxvq_u8(v) < 0x80) {
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

PyObject* string_from_profile_neon(const char* text, size_t len, TextProfile profile) noexcept {
    return str_of_profile(text, len, profile,
                          [](const uint8_t* s, size_t n, auto* out) { return decode_utf8(s, n, out); });
}

PyObject* string_builder_neon(const char* text, size_t len) noexcept {
    return string_from_profile_neon(text, len, text_profile_neon(text, len));
}

}  // namespace kestro
