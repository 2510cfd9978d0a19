// The inline helpers of the hot routines on aarch64, where NEON is part of
// every processor: the escape test of short texts and the hexadecimal digits
// of UUIDs in NEON.  The sixteen digits of numbers are the word forms of
// src/arch/portable/lanes.hpp: their arithmetic is 64-bit multiplications,
// which the general registers do in full width, and the float writer reads
// the digits back as words.
#pragma once

#include "arch/portable/lanes.hpp"

#include <arm_neon.h>

#include <cstdint>

namespace kestro::neon {

// 0xFF in every lane of v whose byte must be escaped: '"', '\\', or below 0x20.
[[gnu::always_inline]] inline uint8x16_t escape_lanes(uint8x16_t v) noexcept {
    return vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\\'))),
                    vcltq_u8(v, vdupq_n_u8(0x20)));
}

// Four bits per lane of a lane mask (0x00 or 0xFF each), lane 0 lowest: the
// first flagged lane is countr_zero / 4.
[[gnu::always_inline]] inline uint64_t nibble_mask(uint8x16_t lanes) noexcept {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(lanes), 4)), 0);
}

// Whether a byte of the two words must be escaped.
[[gnu::always_inline]] inline bool words_need_escape(uint64_t low, uint64_t high) noexcept {
    const uint8x16_t v = vreinterpretq_u8_u64(vcombine_u64(vcreate_u64(low), vcreate_u64(high)));
    return vmaxvq_u8(escape_lanes(v)) != 0;
}

// Whether a byte of the word must be escaped.
[[gnu::always_inline]] inline bool word_needs_escape(uint64_t w) noexcept {
    const uint8x8_t v = vcreate_u8(w);
    const uint8x8_t hit = vorr_u8(vorr_u8(vceq_u8(v, vdup_n_u8('"')), vceq_u8(v, vdup_n_u8('\\'))),
                                  vclt_u8(v, vdup_n_u8(0x20)));
    return vget_lane_u64(vreinterpret_u64_u8(hit), 0) != 0;
}

// ---- sixteen digits ------------------------------------------------------------

using portable::Digits16;
using portable::digits16_text;
using portable::significant_digits16;
using portable::store16;
using portable::store16_from;

// ---- hexadecimal digits ----------------------------------------------------------

// The 32 lowercase hexadecimal digits of 16 bytes, each byte's high digit
// first: the nibbles interleaved, then one table lookup for all sixteen.
inline void hex32(const unsigned char bytes[16], char out[32]) noexcept {
    static constexpr uint8_t digits[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                           '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    const uint8x16_t table = vld1q_u8(digits);
    const uint8x16_t v = vld1q_u8(bytes);
    const uint8x16_t high = vshrq_n_u8(v, 4);
    const uint8x16_t low = vandq_u8(v, vdupq_n_u8(0x0F));
    vst1q_u8(reinterpret_cast<uint8_t*>(out), vqtbl1q_u8(table, vzip1q_u8(high, low)));
    vst1q_u8(reinterpret_cast<uint8_t*>(out + 16), vqtbl1q_u8(table, vzip2q_u8(high, low)));
}

}  // namespace kestro::neon
