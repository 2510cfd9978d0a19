// numpy float16 values, widened exactly to float32 before they are written
// (every binary16 value is a binary32 value).
#pragma once

#include "runtime/cpu.hpp"

#include <cstdint>

namespace kestro {

// In integer arithmetic, on any processor.
float widen_float16_baseline(uint16_t h) noexcept;
// With the processor's conversion instruction; only where has_f16c().
float widen_float16_f16c(uint16_t h) noexcept;

using WidenFloat16 = float (*)(uint16_t) noexcept;

// The variant this processor runs; both give the same value for every input.
inline WidenFloat16 float16_widener() noexcept {
    return has_f16c() ? widen_float16_f16c : widen_float16_baseline;
}

}  // namespace kestro
