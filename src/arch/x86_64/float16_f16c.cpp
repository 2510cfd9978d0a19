// float16 widening with the F16C instruction; compiled with F16C and called
// only where the processor has it.
#include "serialize/numpy/float16.hpp"

#include <immintrin.h>

namespace kestro {

float widen_float16_f16c(uint16_t h) noexcept { return _cvtsh_ss(h); }

}  // namespace kestro
