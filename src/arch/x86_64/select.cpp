// The variants x86-64 processors run.  SSE2, part of every x86-64 processor,
// is the baseline; AVX2, AVX-512 (VL with BW) and F16C variants are taken
// where the processor has them and the operating system saves their state.
//
//   routine          baseline (SSE2)        AVX2               AVX-512           F16C
//   string writer    str_sse2.cpp           -                  str_avx512.cpp    -
//   string builder   string_builder_sse2    counts in utf8_avx2  string_builder_avx512  -
//   UTF-8 check      (portable word scan)   utf8_avx2.cpp      -                 -
//   text profile     utf8_sse2.cpp          utf8_avx2.cpp      -                 -
//   float16          (portable integers)    -                  -                 float16_f16c.cpp
#include "arch/routines.hpp"

#include "runtime/cpu.hpp"

namespace kestro {

Routines select_routines(uint64_t features) noexcept {
    const bool avx2 = has_feature(features, cpu_bit::avx2);
    const bool avx512 = has_feature(features, cpu_bit::avx512vl);
    const bool f16c = has_feature(features, cpu_bit::f16c);
    return Routines{
        .string_writer = avx512 ? string_writer_avx512 : string_writer_sse2,
        .string_builder = avx512 ? string_builder_avx512 : avx2 ? string_builder_avx2 : string_builder_sse2,
        .utf8_valid = avx2 ? utf8_valid_avx2 : utf8_valid_portable,
        .text_profile = avx2 ? text_profile_avx2 : text_profile_sse2,
        .widen_float16 = f16c ? widen_float16_f16c : widen_float16_portable,
    };
}

}  // namespace kestro
