// UTF-8 in NEON blocks: validation in 64-byte steps (four 16-byte vectors),
// and character count and width in 16-byte steps.
//
// The validator: every byte is classified together with the one before it
// by three 16-entry table lookups (high nibble of the previous byte, low
// nibble of the previous byte, high nibble of the byte itself); each table
// entry is the set of defects that pair may show, and the AND of the three is
// the set it does show.  Third and fourth bytes of long sequences are checked
// separately from the bytes two and three places back.
#include "deserialize/utf8.hpp"
#include "deserialize/utf8_words.hpp"

#include <arm_neon.h>

namespace kestro {

namespace {

// Defects of a pair (previous byte, byte).
constexpr uint8_t kTooShort = 1 << 0;      // lead byte, then no continuation byte
constexpr uint8_t kTooLong = 1 << 1;       // ASCII, then a continuation byte
constexpr uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
constexpr uint8_t kTooLarge = 1 << 3;      // F4 90..BF, F5..FF 90..BF
constexpr uint8_t kSurrogate = 1 << 4;     // ED A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;     // C0 or C1, then any continuation byte
constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr uint8_t kTwoConts = 1 << 7;      // continuation, then continuation
// Defects decided by the high nibbles alone.
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

alignas(16) constexpr uint8_t kPrevHigh[16] = {
    // 0_______: ASCII
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    // 10______: continuation
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    // 1100____
    kTooShort | kOverlong2,
    // 1101____
    kTooShort,
    // 1110____
    kTooShort | kOverlong3 | kSurrogate,
    // 1111____
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};

alignas(16) constexpr uint8_t kPrevLow[16] = {
    // ____0000: C0, E0, F0
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    // ____0001: C1
    kCarry | kOverlong2, kCarry, kCarry,
    // ____0100: F4
    kCarry | kTooLarge,
    // ____0101 and up: F5..FF
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
    // ____1101: ED (and FD)
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000};

alignas(16) constexpr uint8_t kCurHigh[16] = {
    // 0_______: ASCII
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    // 1000____
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    // 1001____
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    // 101_____
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    // 11______: lead bytes
    kTooShort, kTooShort, kTooShort, kTooShort};

// A block ends inside a character when one of its last three bytes starts a
// sequence longer than the bytes left: saturating subtraction of these
// bounds leaves a non-zero byte exactly there.
alignas(16) constexpr uint8_t kIncompleteBound[16] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};

struct Tables {
    uint8x16_t prev_high, prev_low, cur_high, incomplete_bound;
};

// The defects of one 16-byte block given the block before it.
inline uint8x16_t block_defects(uint8x16_t cur, uint8x16_t prev, const Tables& t) noexcept {
    const uint8x16_t prev1 = vextq_u8(prev, cur, 15);
    const uint8x16_t pair = vandq_u8(vandq_u8(vqtbl1q_u8(t.prev_high, vshrq_n_u8(prev1, 4)),
                                              vqtbl1q_u8(t.prev_low, vandq_u8(prev1, vdupq_n_u8(0x0F)))),
                                     vqtbl1q_u8(t.cur_high, vshrq_n_u8(cur, 4)));
    // Bytes two places after an E0..FF lead, or three after an F0..FF lead,
    // must be continuation bytes: these biases put bit 7 on exactly those.
    const uint8x16_t third = vqsubq_u8(vextq_u8(prev, cur, 14), vdupq_n_u8(0xE0 - 0x80));
    const uint8x16_t fourth = vqsubq_u8(vextq_u8(prev, cur, 13), vdupq_n_u8(0xF0 - 0x80));
    const uint8x16_t must_continue = vandq_u8(vorrq_u8(third, fourth), vdupq_n_u8(0x80));
    // Two continuation bytes in a row are right exactly where one must continue.
    return veorq_u8(pair, must_continue);
}

}  // namespace

bool utf8_valid_neon(const char* text, size_t len) noexcept {
    const Tables t{vld1q_u8(kPrevHigh), vld1q_u8(kPrevLow), vld1q_u8(kCurHigh), vld1q_u8(kIncompleteBound)};
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    uint8x16_t defects = vdupq_n_u8(0);
    uint8x16_t prev = vdupq_n_u8(0);
    uint8x16_t prev_incomplete = vdupq_n_u8(0);

    size_t i = 0;
    alignas(16) uint8_t tail[64];
    bool last = false;
    while (!last) {
        const uint8_t* block = s + i;
        if (len - i < 64) {
            // The last, partial block is read from a copy padded with ASCII
            // zeros, which also exposes a sequence cut off by the end.
            if (i == len) break;
            __builtin_memset(tail, 0, sizeof tail);
            __builtin_memcpy(tail, s + i, len - i);
            block = tail;
            last = true;
        }
        const uint8x16x4_t v = vld1q_u8_x4(block);
        const uint8x16_t any = vorrq_u8(vorrq_u8(v.val[0], v.val[1]), vorrq_u8(v.val[2], v.val[3]));
        if (vmaxvq_u8(any) < 0x80) [[likely]] {
            // All ASCII: only a character left open by the previous block can fail.
            defects = vorrq_u8(defects, prev_incomplete);
            prev_incomplete = vdupq_n_u8(0);
        } else {
            defects = vorrq_u8(defects, block_defects(v.val[0], prev, t));
            defects = vorrq_u8(defects, block_defects(v.val[1], v.val[0], t));
            defects = vorrq_u8(defects, block_defects(v.val[2], v.val[1], t));
            defects = vorrq_u8(defects, block_defects(v.val[3], v.val[2], t));
            prev_incomplete = vqsubq_u8(v.val[3], t.incomplete_bound);
        }
        prev = v.val[3];
        i += 64;
    }
    defects = vorrq_u8(defects, prev_incomplete);
    return vmaxvq_u8(defects) == 0;
}

// ---- character count and width ------------------------------------------------

namespace {

// 16 zero bytes then 16 ones: loaded at offset n it keeps the last n bytes of
// a 16-byte block.
alignas(32) constexpr uint8_t kTailMask[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

TextProfile text_profile_neon(const char* text, size_t len) noexcept {
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    if (len < 16) return utf8_words::short_text_profile(s, len);

    // Leading ASCII blocks need no counting: most texts end here.
    size_t i = 0;
    while (len - i >= 16 && vmaxvq_u8(vld1q_u8(s + i)) < 0x80) i += 16;
    if (i == len) return {len, 127};
    if (len - i < 16) {
        if (vmaxvq_u8(vld1q_u8(s + len - 16)) < 0x80) return {len, 127};
        i = len - 16;
    }

    // A byte is a character start when, read as signed, it is above -65 (0xBF).
    const int8x16_t last_continuation = vdupq_n_s8(-65);
    uint8x16_t vmax = vdupq_n_u8(0);
    size_t chars = i;
    while (len - i >= 16) {
        // At most 255 steps, so that no byte counter wraps.
        size_t steps = (len - i) / 16;
        if (steps > 255) steps = 255;
        uint8x16_t counters = vdupq_n_u8(0);
        for (size_t k = 0; k < steps; ++k, i += 16) {
            const uint8x16_t v = vld1q_u8(s + i);
            counters = vsubq_u8(counters, vcgtq_s8(vreinterpretq_s8_u8(v), last_continuation));
            vmax = vmaxq_u8(vmax, v);
        }
        chars += vaddlvq_u8(counters);
    }
    if (i < len) {
        // The last 16 bytes, counting only those not seen yet.
        const uint8x16_t v = vld1q_u8(s + len - 16);
        const uint8x16_t keep = vld1q_u8(kTailMask + (len - i));
        const uint8x16_t starts = vandq_u8(vcgtq_s8(vreinterpretq_s8_u8(v), last_continuation), keep);
        chars += vaddlvq_u8(vandq_u8(starts, vdupq_n_u8(1)));
        vmax = vmaxq_u8(vmax, v);
    }
    return {chars, maxchar_of_byte(vmaxvq_u8(vmax))};
}

}  // namespace kestro
