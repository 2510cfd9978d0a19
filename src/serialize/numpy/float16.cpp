#include "serialize/numpy/float16.hpp"

#include <bit>

namespace kestro {

float widen_float16_portable(uint16_t h) noexcept {
    const uint32_t sign = uint32_t{h & 0x8000u} << 16;
    const uint32_t exponent = (h >> 10) & 0x1Fu;
    uint32_t fraction = h & 0x3FFu;
    uint32_t bits;
    if (exponent == 0x1F) {
        // Infinity, or a NaN made quiet with its payload kept.
        bits = sign | 0x7F800000u | (fraction != 0 ? 0x00400000u | fraction << 13 : 0);
    } else if (exponent != 0) {
        bits = sign | (exponent + (127 - 15)) << 23 | fraction << 13;
    } else if (fraction == 0) {
        bits = sign;
    } else {
        // A subnormal, fraction x 2^-24: shifted until its leading one is the
        // implicit bit of a normal binary32 number.
        const int shift = std::countl_zero(fraction) - 21;  // 1 to 10
        fraction = (fraction << shift) & 0x3FFu;
        bits = sign | static_cast<uint32_t>(127 - 14 - shift) << 23 | fraction << 13;
    }
    return std::bit_cast<float>(bits);
}

}  // namespace kestro
