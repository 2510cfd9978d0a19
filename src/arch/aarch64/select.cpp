// The variants aarch64 processors run.  NEON (Advanced SIMD) is part of every
// aarch64 processor, so it is the baseline and there is nothing to choose.
//
//   routine          NEON
//   string writer    str_neon.cpp
//   string builder   string_builder_neon.cpp
//   UTF-8 check      utf8_neon.cpp
//   text profile     utf8_neon.cpp
//   float16          float16_neon.cpp
#include "arch/routines.hpp"

namespace kestro {

Routines select_routines(uint64_t) noexcept {
    return Routines{
        .string_writer = string_writer_neon,
        .string_builder = string_builder_neon,
        .utf8_valid = utf8_valid_neon,
        .text_profile = text_profile_neon,
        .widen_float16 = widen_float16_neon,
    };
}

}  // namespace kestro
