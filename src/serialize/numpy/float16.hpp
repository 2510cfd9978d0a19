// numpy float16 values, widened exactly to float32 before they are written
// (every binary16 value is a binary32 value).
#pragma once

#include <cstdint>

namespace kestro {

using WidenFloat16 = float (*)(uint16_t) noexcept;

// The variants, each giving the same value for every input.
float widen_float16_portable(uint16_t h) noexcept;  // integer arithmetic
#if defined(__x86_64__)
float widen_float16_f16c(uint16_t h) noexcept;  // the F16C instruction; only where has_f16c()
#elif defined(__aarch64__)
float widen_float16_neon(uint16_t h) noexcept;  // the processor's own conversion
#endif

// The variant this processor runs (src/arch/<family>/select.cpp).
WidenFloat16 float16_widener() noexcept;

}  // namespace kestro
