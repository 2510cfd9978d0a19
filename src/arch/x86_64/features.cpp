// Feature detection on x86-64: CPUID, and XGETBV for the state the operating
// system saves.
#include "arch/x86_64/cpuid.hpp"

#include <cpuid.h>

namespace kestro {

namespace {

inline bool bit(uint32_t word, unsigned n) { return (word >> n) & 1u; }

uint64_t read_xcr0() noexcept {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

}  // namespace

CpuidSnapshot read_cpuid() noexcept {
    CpuidSnapshot s;
    unsigned a, b, c, d;
    __cpuid(0, a, b, c, d);
    s.max_leaf = a;
    if (s.max_leaf == 0) return s;
    __cpuid(1, a, b, c, d);
    s.leaf1_ecx = c;
    s.leaf1_edx = d;
    if (s.max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        s.leaf7_ebx = b;
        s.leaf7_ecx = c;
        s.leaf7_edx = d;
        __cpuid_count(7, 1, a, b, c, d);
        s.leaf7_1_eax = a;
    }
    __cpuid(0x80000000u, a, b, c, d);
    s.max_ext_leaf = a;
    if (s.max_ext_leaf >= 0x80000001u) {
        __cpuid(0x80000001u, a, b, c, d);
        s.ext1_ecx = c;
        s.ext1_edx = d;
    }
    if (bit(s.leaf1_ecx, 26) && bit(s.leaf1_ecx, 27)) s.xcr0 = read_xcr0();
    return s;
}

uint64_t features_from(const CpuidSnapshot& s) noexcept {
    uint64_t w = uint64_t{1} << cpu_bit::filled;
    if (s.max_leaf == 0) return w;
    auto set = [&w](unsigned b, bool on) {
        if (on) w |= uint64_t{1} << b;
    };
    set(cpu_bit::sse2, bit(s.leaf1_edx, 26));
    set(cpu_bit::sse3, bit(s.leaf1_ecx, 0));
    set(cpu_bit::ssse3, bit(s.leaf1_ecx, 9));
    set(cpu_bit::sse41, bit(s.leaf1_ecx, 19));
    set(cpu_bit::sse42, bit(s.leaf1_ecx, 20));
    set(cpu_bit::popcnt, bit(s.leaf1_ecx, 23));
    set(cpu_bit::movbe, bit(s.leaf1_ecx, 22));
    set(cpu_bit::xsave, bit(s.leaf1_ecx, 26));
    set(cpu_bit::osxsave, bit(s.leaf1_ecx, 27));
    set(cpu_bit::bmi1, bit(s.leaf7_ebx, 3));
    set(cpu_bit::bmi2, bit(s.leaf7_ebx, 8));
    set(cpu_bit::lzcnt, bit(s.ext1_ecx, 5));

    // AVX-family features count only when the operating system saves their state.
    bool os_xsave = bit(s.leaf1_ecx, 26) && bit(s.leaf1_ecx, 27);
    bool avx_state = os_xsave && (s.xcr0 & 0x6) == 0x6;
    bool avx512_state = avx_state && (s.xcr0 & 0xE0) == 0xE0;
    bool f16c = bit(s.leaf1_ecx, 29);
    bool fma = bit(s.leaf1_ecx, 12);

    set(cpu_bit::avx, avx_state && bit(s.leaf1_ecx, 28));
    set(cpu_bit::fma, avx_state && fma);
    set(cpu_bit::avx2, avx_state && bit(s.leaf7_ebx, 5));
    // The conversion instruction is VEX-encoded, so it needs the AVX state too.
    set(cpu_bit::f16c, avx_state && f16c);
    if (avx512_state) {
        set(cpu_bit::avx512f, bit(s.leaf7_ebx, 16));
        set(cpu_bit::avx512dq, bit(s.leaf7_ebx, 17));
        set(cpu_bit::avx512cd, bit(s.leaf7_ebx, 28));
        set(cpu_bit::avx512bw, bit(s.leaf7_ebx, 30));
        set(cpu_bit::avx512vbmi, bit(s.leaf7_ecx, 1));
        // The wide variants use byte masks (BW) besides the 256-bit forms (VL).
        set(cpu_bit::avx512vl, bit(s.leaf7_ebx, 31) && bit(s.leaf7_ebx, 30) &&
                                   bit(s.leaf7_ebx, 16) && fma && f16c);
    }
    return w;
}

uint64_t detect_cpu_features() noexcept { return features_from(read_cpuid()); }

}  // namespace kestro
