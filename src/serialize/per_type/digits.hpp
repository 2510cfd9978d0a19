// Decimal digit writers shared by every number the serializer writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

// "00", "01", ..., "99": the two characters of every value below 100.
extern const char DIGIT_PAIRS[200];

// Writes the decimal digits of v (no sign, no leading zeros, "0" for zero) at
// dst and returns how many were written.  dst has room for 10 (u32) or 20
// (u64) bytes; the writers may store whole words inside that room.
size_t write_u32_text(uint32_t v, char* dst) noexcept;
size_t write_u64_text(uint64_t v, char* dst) noexcept;

// Fixed-width fields, leading zeros included: the two digits of v < 100 and
// the four digits of v < 10^4, at dst.
inline void put_2digits(char* dst, uint32_t v) noexcept { std::memcpy(dst, DIGIT_PAIRS + 2 * v, 2); }

inline void put_4digits(char* dst, uint32_t v) noexcept {
    const uint32_t hi = (v * 5243u) >> 19;  // v / 100, exact for v < 10^4
    put_2digits(dst, hi);
    put_2digits(dst + 2, v - hi * 100);
}

}  // namespace kestro
