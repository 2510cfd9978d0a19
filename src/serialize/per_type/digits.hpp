// Decimal digit writers shared by every number the serializer writes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

// "00", "01", ..., "99": the two characters of every value below 100.
extern const char DIGIT_PAIRS[200];

// Writes the decimal digits of v (no sign, no leading zeros, "0" for zero) at
// dst and returns how many were written.  dst has room for 10 (u32) or 20
// (u64) bytes; the writers may store whole words inside that room.
size_t write_u32_text(uint32_t v, char* dst) noexcept;
size_t write_u64_text(uint64_t v, char* dst) noexcept;

}  // namespace kestro
