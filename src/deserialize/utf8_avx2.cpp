#include "deserialize/utf8.hpp"

namespace kestro {

bool utf8_valid_avx2(const char* text, size_t len) noexcept {
    return utf8_valid_prefix(text, len) == len;
}

}  // namespace kestro
