#include "serialize/per_type/float_text.hpp"

#include <charconv>

namespace kestro {

char* write_f64_text(double v, char* dst) noexcept {
    return std::to_chars(dst, dst + 32, v).ptr;
}

char* write_f32_text(float v, char* dst) noexcept {
    return std::to_chars(dst, dst + 32, v).ptr;
}

}  // namespace kestro
