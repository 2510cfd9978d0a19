#include "runtime/cpu.hpp"

namespace kestro {

std::atomic<uint64_t> cpu_features_word{0};

}  // namespace kestro
