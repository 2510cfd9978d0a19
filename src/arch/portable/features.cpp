// Processors without variants of their own have no features to detect.
#include "runtime/cpu.hpp"

namespace kestro {

uint64_t detect_cpu_features() noexcept { return uint64_t{1} << cpu_bit::filled; }

}  // namespace kestro
