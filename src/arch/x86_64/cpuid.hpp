// The raw CPUID and XGETBV answers the x86-64 feature word is made from;
// detection is a pure function of them, so that it can be tested with
// made-up processors.
#pragma once

#include "runtime/cpu.hpp"

#include <cstdint>

namespace kestro {

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

}  // namespace kestro
