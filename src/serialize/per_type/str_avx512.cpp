#include "serialize/per_type/str.hpp"

namespace kestro {

size_t string_writer_wide(char* dst, const char* text, size_t len) noexcept {
    return string_writer_baseline(dst, text, len);
}

}  // namespace kestro
