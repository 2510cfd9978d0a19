// Processor features, detected once per process.  The detection is the
// processor family's own (src/arch/<family>/features.cpp); the word is what
// the family's routine selection (src/arch/<family>/select.cpp) reads.
#pragma once

#include <atomic>
#include <cstdint>

namespace kestro {

namespace cpu_bit {
// x86-64 (CPUID, with XGETBV for the state the operating system saves)
inline constexpr unsigned sse2 = 0;
inline constexpr unsigned sse3 = 1;
inline constexpr unsigned ssse3 = 2;
inline constexpr unsigned sse41 = 3;
inline constexpr unsigned sse42 = 4;
inline constexpr unsigned popcnt = 5;
inline constexpr unsigned fma = 6;
inline constexpr unsigned xsave = 7;
inline constexpr unsigned osxsave = 8;
inline constexpr unsigned bmi1 = 9;
inline constexpr unsigned bmi2 = 10;
inline constexpr unsigned lzcnt = 11;
inline constexpr unsigned movbe = 12;
inline constexpr unsigned avx = 14;
inline constexpr unsigned avx2 = 15;
inline constexpr unsigned avx512f = 20;
inline constexpr unsigned avx512bw = 21;
inline constexpr unsigned avx512dq = 22;
inline constexpr unsigned avx512cd = 23;
inline constexpr unsigned avx512vbmi = 24;
inline constexpr unsigned avx512vl = 25;
// aarch64 (the kernel's hardware capability word)
inline constexpr unsigned neon = 32;  // Advanced SIMD, part of every aarch64 Linux system
inline constexpr unsigned fp = 33;    // scalar floating point, half-precision conversion included
inline constexpr unsigned f16c = 55;
inline constexpr unsigned filled = 63;
}  // namespace cpu_bit

// The feature word of the processor this runs on, bit 63 set.
uint64_t detect_cpu_features() noexcept;

// The process-wide feature word: zero until detected, then bit 63 and one bit
// per feature.  Every thread computes the same value, so a relaxed store is enough.
extern std::atomic<uint64_t> cpu_features_word;

inline uint64_t cpu_features() noexcept {
    uint64_t w = cpu_features_word.load(std::memory_order_relaxed);
    if (w == 0) {
        w = detect_cpu_features();
        cpu_features_word.store(w, std::memory_order_relaxed);
    }
    return w;
}

inline bool has_feature(uint64_t word, unsigned bit) noexcept { return (word >> bit) & 1; }
inline bool has_avx2() noexcept { return has_feature(cpu_features(), cpu_bit::avx2); }
inline bool has_avx512vl() noexcept { return has_feature(cpu_features(), cpu_bit::avx512vl); }
inline bool has_f16c() noexcept { return has_feature(cpu_features(), cpu_bit::f16c); }
inline bool has_neon() noexcept { return has_feature(cpu_features(), cpu_bit::neon); }

}  // namespace kestro
