#include "serialize/per_type/digits.hpp"

#include <charconv>

namespace kestro {

size_t write_u32_text(uint32_t v, char* dst) noexcept {
    return static_cast<size_t>(std::to_chars(dst, dst + 10, v).ptr - dst);
}

size_t write_u64_text(uint64_t v, char* dst) noexcept {
    return static_cast<size_t>(std::to_chars(dst, dst + 20, v).ptr - dst);
}

}  // namespace kestro
