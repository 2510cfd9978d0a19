// The inline helpers of the hot routines in plain C++, on 64-bit words (eight
// byte lanes each): the escape test of short texts, the sixteen digits of
// numbers and the hexadecimal digits of UUIDs.  Every processor family has
// the same helpers (src/arch/<family>/lanes.hpp, chosen in src/arch/lanes.hpp);
// these serve processors without vector forms and are the reference the
// unit tests hold the vector forms to on every processor.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro::portable {

inline constexpr uint64_t ONES = 0x0101010101010101ull;
inline constexpr uint64_t HIGHS = 0x8080808080808080ull;
inline constexpr bool little_endian = std::endian::native == std::endian::little;

// Bit 7 set in every byte of w that is zero, and only there: the sums stay
// inside their byte, so no byte disturbs its neighbour.
constexpr uint64_t zero_bytes(uint64_t w) noexcept { return ~(((w & ~HIGHS) + ~HIGHS) | w) & HIGHS; }

// Bit 7 set in every byte of w below 0x20.
constexpr uint64_t control_bytes(uint64_t w) noexcept {
    return ~(((w & ~HIGHS) + 0x6060606060606060ull) | w) & HIGHS;
}

// Bit 7 set in every byte of w that a JSON string escapes: '"', '\\', or
// below 0x20.
constexpr uint64_t escape_bytes(uint64_t w) noexcept {
    return control_bytes(w) | zero_bytes(w ^ (ONES * '"')) | zero_bytes(w ^ (ONES * '\\'));
}

// The index, in memory order, of the first byte flagged in a mask of bit-7 flags.
inline unsigned first_flagged(uint64_t flags) noexcept {
    return little_endian ? static_cast<unsigned>(std::countr_zero(flags)) / 8
                         : static_cast<unsigned>(std::countl_zero(flags)) / 8;
}

// Whether a byte of the two words must be escaped.
inline bool words_need_escape(uint64_t low, uint64_t high) noexcept {
    return (escape_bytes(low) | escape_bytes(high)) != 0;
}

// Whether a byte of the word must be escaped.
inline bool word_needs_escape(uint64_t w) noexcept { return escape_bytes(w) != 0; }

// ---- sixteen digits ------------------------------------------------------------

// Sixteen ASCII digits, in memory order: low holds the first eight.
struct Digits16 {
    uint64_t low, high;
};

// The eight digits of v < 10^8, leading zeros included, as ASCII bytes in
// memory order.  v is split into two halves of four digits in the 32-bit
// lanes of a word, each half into two of two digits in 16-bit lanes, each of
// those into two digits in bytes: one multiplication by a reciprocal and one
// subtraction a step, every lane at once.
inline uint64_t digits8(uint32_t v) noexcept {
    uint64_t x = v / 10000 | uint64_t{v % 10000} << 32;
    const uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Full;  // x / 100, exact below 10^4
    x = (x - hundreds * 100) << 16 | hundreds;
    const uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000Full;  // x / 10, exact below 100
    x = ((x - tens * 10) << 8 | tens) + ONES * '0';
    return little_endian ? x : __builtin_bswap64(x);
}

// The sixteen digits of v < 10^16, leading zeros included.
inline Digits16 digits16_text(uint64_t v) noexcept {
    const uint64_t hi = v / 100000000;
    return {digits8(static_cast<uint32_t>(hi)), digits8(static_cast<uint32_t>(v - hi * 100000000))};
}

inline void store16(char* dst, Digits16 d) noexcept {
    std::memcpy(dst, &d.low, 8);
    std::memcpy(dst + 8, &d.high, 8);
}

// How many of the sixteen digits count when trailing zeros are left out:
// the position of the last digit other than '0', 0 when all are '0'.
inline int significant_digits16(Digits16 d) noexcept {
    const uint64_t lo = ~zero_bytes(d.low ^ (ONES * '0')) & HIGHS;
    const uint64_t hi = ~zero_bytes(d.high ^ (ONES * '0')) & HIGHS;
    auto last = [](uint64_t flags) {  // 1 + the memory index of the last flagged byte
        return little_endian ? (64 - std::countl_zero(flags)) / 8 : 8 - std::countr_zero(flags) / 8;
    };
    return hi != 0 ? 8 + last(hi) : lo != 0 ? last(lo) : 0;
}

// Stores digits from, from + 1, ..., 15 at dst, followed by `from` bytes of
// no meaning (16 bytes in all).
inline void store16_from(char* dst, Digits16 d, int from) noexcept {
    char both[32] = {};
    store16(both, d);
    std::memcpy(dst, both + from, 16);
}

// ---- hexadecimal digits ----------------------------------------------------------

// The 32 lowercase hexadecimal digits of 16 bytes, each byte's high digit first.
inline void hex32(const unsigned char bytes[16], char out[32]) noexcept {
    for (size_t i = 0; i < 32; ++i) {
        const unsigned nibble = i % 2 == 0 ? bytes[i / 2] >> 4 : bytes[i / 2] & 15u;
        out[i] = static_cast<char>('0' + nibble + (nibble > 9 ? 'a' - '0' - 10 : 0));
    }
}

}  // namespace kestro::portable
