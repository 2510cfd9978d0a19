#include <gtest/gtest.h>

#include "runtime/cpu.hpp"

namespace bit = kestro::cpu_bit;

namespace {

bool has(uint64_t word, unsigned b) { return (word >> b) & 1; }

}  // namespace

TEST(CpuFeatures, DetectionOnThisMachineIsStableAndFilled) {
    uint64_t first = kestro::cpu_features();
    EXPECT_TRUE(has(first, bit::filled));
    EXPECT_EQ(first, kestro::detect_cpu_features());
    EXPECT_EQ(first, kestro::cpu_features());
#if defined(__aarch64__)
    EXPECT_TRUE(has(first, bit::neon));
    EXPECT_TRUE(has(first, bit::fp));
#endif
}

#if defined(__x86_64__)
#include "arch/x86_64/cpuid.hpp"

using kestro::CpuidSnapshot;
using kestro::features_from;

namespace {

// A processor with everything up to AVX-512 BW/VL and an OS that saves it all.
CpuidSnapshot full_avx512() {
    CpuidSnapshot s;
    s.max_leaf = 0xd;
    s.leaf1_ecx = (1u << 12) | (1u << 26) | (1u << 27) | (1u << 28) | (1u << 29);
    s.leaf1_edx = 1u << 26;
    s.leaf7_ebx = (1u << 5) | (1u << 16) | (1u << 30) | (1u << 31);
    s.xcr0 = 0xE7;
    return s;
}

}  // namespace

TEST(CpuFeatures, NoStandardLeavesGivesOnlyTheFilledMark) {
    CpuidSnapshot s;
    EXPECT_EQ(features_from(s), uint64_t{1} << bit::filled);
}

TEST(CpuFeatures, FullAvx512ProcessorEnablesAllThree) {
    uint64_t w = features_from(full_avx512());
    EXPECT_TRUE(has(w, bit::filled));
    EXPECT_TRUE(has(w, bit::avx2));
    EXPECT_TRUE(has(w, bit::avx512vl));
    EXPECT_TRUE(has(w, bit::f16c));
}

TEST(CpuFeatures, OsWithoutAvxStateDisablesAvxFamily) {
    CpuidSnapshot s = full_avx512();
    s.xcr0 = 0x3;  // x87 and SSE only
    uint64_t w = features_from(s);
    EXPECT_FALSE(has(w, bit::avx2));
    EXPECT_FALSE(has(w, bit::avx512vl));
    EXPECT_FALSE(has(w, bit::f16c));
    EXPECT_TRUE(has(w, bit::sse2));
}

TEST(CpuFeatures, WithoutOsxsaveXcr0IsIgnored) {
    CpuidSnapshot s = full_avx512();
    s.leaf1_ecx &= ~(1u << 27);
    EXPECT_FALSE(has(features_from(s), bit::avx2));
}

TEST(CpuFeatures, Avx512StateMissingKeepsAvx2) {
    CpuidSnapshot s = full_avx512();
    s.xcr0 = 0x7;
    uint64_t w = features_from(s);
    EXPECT_TRUE(has(w, bit::avx2));
    EXPECT_FALSE(has(w, bit::avx512vl));
}

TEST(CpuFeatures, VlWithoutBwIsNotEnoughForTheWideVariants) {
    CpuidSnapshot s = full_avx512();
    s.leaf7_ebx &= ~(1u << 30);
    EXPECT_FALSE(has(features_from(s), bit::avx512vl));
}

TEST(CpuFeatures, VlNeedsFmaAndF16c) {
    CpuidSnapshot s = full_avx512();
    s.leaf1_ecx &= ~(1u << 12);
    EXPECT_FALSE(has(features_from(s), bit::avx512vl));
    s = full_avx512();
    s.leaf1_ecx &= ~(1u << 29);
    uint64_t w = features_from(s);
    EXPECT_FALSE(has(w, bit::avx512vl));
    EXPECT_FALSE(has(w, bit::f16c));
}

TEST(CpuFeatures, DetectionReadsThisMachinesCpuid) {
    EXPECT_EQ(kestro::cpu_features(), features_from(kestro::read_cpuid()));
}
#endif
