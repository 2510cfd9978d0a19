#include "serialize/per_type/str.hpp"

namespace kestro {

size_t string_writer_baseline(char* dst, const char* text, size_t len) noexcept {
    static const char hex[] = "0123456789abcdef";
    char* out = dst;
    *out++ = '"';
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = static_cast<char>(c);
        } else if (c < 0x20) {
            *out++ = '\\';
            *out++ = 'u';
            *out++ = '0';
            *out++ = '0';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 15];
        } else {
            *out++ = static_cast<char>(c);
        }
    }
    *out++ = '"';
    return static_cast<size_t>(out - dst);
}

}  // namespace kestro
