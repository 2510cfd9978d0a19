// The inline helpers of the hot routines as this processor family runs them,
// with no run-time choice: the family's baseline instruction set (SSE2 on
// x86-64, NEON on aarch64, plain C++ elsewhere).  kestro::lanes names them;
// kestro::portable always holds the plain C++ forms.
#pragma once

#include "arch/portable/lanes.hpp"

#if defined(__x86_64__)
#include "arch/x86_64/lanes.hpp"
namespace kestro {
namespace lanes = sse2;
}
#elif defined(__aarch64__)
#include "arch/aarch64/lanes.hpp"
namespace kestro {
namespace lanes = neon;
}
#else
namespace kestro {
namespace lanes = portable;
}
#endif
