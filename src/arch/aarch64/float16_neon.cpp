// float16 widening with the processor's own conversion (FCVTL), part of
// every aarch64 processor.
#include "serialize/numpy/float16.hpp"

#include <arm_neon.h>

namespace kestro {

float widen_float16_neon(uint16_t h) noexcept {
    return vgetq_lane_f32(vcvt_f32_f16(vreinterpret_f16_u16(vdup_n_u16(h))), 0);
}

}  // namespace kestro
