// Processor features, detected once with CPUID and XGETBV.
#pragma once

#include <atomic>
#include <cstdint>

namespace kestro {

namespace cpu_bit {
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
inline constexpr unsigned f16c = 55;
inline constexpr unsigned filled = 63;
}  // namespace cpu_bit

// Raw CPUID/XGETBV answers; detection is a pure function of these so that it
// can be tested with made-up processors.
struct CpuidSnapshot {
    uint32_t max_leaf = 0;
    uint32_t leaf1_ecx = 0, leaf1_edx = 0;
    uint32_t leaf7_ebx = 0, leaf7_ecx = 0, leaf7_edx = 0;
    uint32_t leaf7_1_eax = 0;
    uint32_t max_ext_leaf = 0;
    uint32_t ext1_ecx = 0, ext1_edx = 0;
    uint64_t xcr0 = 0;  // read only when XSAVE and OSXSAVE are both set
};

CpuidSnapshot read_cpuid() noexcept;
uint64_t features_from(const CpuidSnapshot& s) noexcept;

// The process-wide feature word: zero until detected, then bit 63 and one bit
// per feature.  Every thread computes the same value, so a relaxed store is enough.
extern std::atomic<uint64_t> cpu_features_word;

inline uint64_t cpu_features() noexcept {
    uint64_t w = cpu_features_word.load(std::memory_order_relaxed);
    if (w == 0) {
        w = features_from(read_cpuid());
        cpu_features_word.store(w, std::memory_order_relaxed);
    }
    return w;
}

inline bool has_avx2() noexcept { return (cpu_features() >> cpu_bit::avx2) & 1; }
inline bool has_avx512vl() noexcept { return (cpu_features() >> cpu_bit::avx512vl) & 1; }
inline bool has_f16c() noexcept { return (cpu_features() >> cpu_bit::f16c) & 1; }

}  // namespace kestro
