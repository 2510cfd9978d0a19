// Feature detection on aarch64: the kernel's hardware capability word.
// Advanced SIMD (NEON) and the floating-point unit are part of every aarch64
// Linux system; the word records them so that the tests can see it.
#include "runtime/cpu.hpp"

#include <sys/auxv.h>

namespace kestro {

uint64_t detect_cpu_features() noexcept {
    // The kernel's bits (asm/hwcap.h): HWCAP_FP is bit 0, HWCAP_ASIMD bit 1.
    const unsigned long hwcap = getauxval(AT_HWCAP);
    uint64_t w = uint64_t{1} << cpu_bit::filled;
    if (hwcap & (1ul << 0)) w |= uint64_t{1} << cpu_bit::fp;
    if (hwcap & (1ul << 1)) w |= uint64_t{1} << cpu_bit::neon;
    return w;
}

}  // namespace kestro
