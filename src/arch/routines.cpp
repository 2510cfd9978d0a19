#include "arch/routines.hpp"

#include "runtime/cpu.hpp"

namespace kestro {

const Routines ROUTINES = select_routines(cpu_features());

WidenFloat16 float16_widener() noexcept { return ROUTINES.widen_float16; }

}  // namespace kestro
