// The option bits of dumps.
#pragma once

#include <cstdint>

namespace kestro::opt {

inline constexpr uint32_t INDENT_2 = 1;
inline constexpr uint32_t NAIVE_UTC = 2;
inline constexpr uint32_t NON_STR_KEYS = 4;
inline constexpr uint32_t OMIT_MICROSECONDS = 8;
inline constexpr uint32_t SERIALIZE_NUMPY = 16;
inline constexpr uint32_t SORT_KEYS = 32;
inline constexpr uint32_t STRICT_INTEGER = 64;
inline constexpr uint32_t UTC_Z = 128;
inline constexpr uint32_t PASSTHROUGH_SUBCLASS = 256;
inline constexpr uint32_t PASSTHROUGH_DATETIME = 512;
inline constexpr uint32_t APPEND_NEWLINE = 1024;
inline constexpr uint32_t PASSTHROUGH_DATACLASS = 2048;

// Every valid mask lies in 0..MAX.
inline constexpr uint32_t MAX = 4095;

}  // namespace kestro::opt
