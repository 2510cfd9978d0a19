// float16 widening for all 65536 inputs: the integer variant against the
// value each bit pattern stands for, the processor's own conversion against
// the integer one.
#include <gtest/gtest.h>

#include "serialize/numpy/float16.hpp"
#include "variants.hpp"

#include <bit>
#include <cmath>

namespace {

// The value of a binary16 pattern from its fields, in binary64 (exact).
double binary16_value(uint16_t h) {
    const int exponent = (h >> 10) & 0x1F, fraction = h & 0x3FF;
    const double magnitude = exponent == 0    ? std::ldexp(fraction, -24)
                             : exponent == 31 ? (fraction == 0 ? HUGE_VAL : NAN)
                                              : std::ldexp(1024 + fraction, exponent - 25);
    return (h & 0x8000) ? -magnitude : magnitude;
}

TEST(Float16, IntegerWideningIsExactForEveryInput) {
    for (uint32_t i = 0; i < 65536; ++i) {
        const auto h = static_cast<uint16_t>(i);
        const float widened = kestro::widen_float16_portable(h);
        const uint32_t bits = std::bit_cast<uint32_t>(widened);
        ASSERT_EQ(bits >> 31, uint32_t{h} >> 15) << i;
        if (std::isnan(binary16_value(h))) {  // quiet, with the payload kept
            ASSERT_EQ(bits & 0x7FFFFFFFu, 0x7FC00000u | uint32_t{h & 0x3FFu} << 13) << i;
        } else {
            ASSERT_EQ(static_cast<double>(widened), binary16_value(h)) << i;
        }
    }
}

TEST(Float16, EveryVariantAgreesWithIntegerWideningForEveryInput) {
    EXPECT_EQ(kestro::float16_widener(), kestro::ROUTINES.widen_float16);
    for (const auto& v : kestro_test::float16_wideners()) {
        if (!v.runs) continue;
        for (uint32_t i = 0; i < 65536; ++i) {
            const auto h = static_cast<uint16_t>(i);
            ASSERT_EQ(std::bit_cast<uint32_t>(v.fn(h)), std::bit_cast<uint32_t>(kestro::widen_float16_portable(h)))
                << v.name << " " << i;
        }
    }
}

}  // namespace
