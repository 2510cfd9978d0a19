#include "deserialize/utf8.hpp"

#include "runtime/cpu.hpp"

#include <cstdint>

namespace kestro {

size_t utf8_valid_prefix(const char* text, size_t len) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < len) {
        unsigned c = s[i];
        if (c < 0x80) { ++i; continue; }
        size_t n;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) n = 1;
        else if (c == 0xE0) { n = 2; lo = 0xA0; }
        else if (c == 0xED) { n = 2; hi = 0x9F; }
        else if (c >= 0xE1 && c <= 0xEF) n = 2;
        else if (c == 0xF0) { n = 3; lo = 0x90; }
        else if (c == 0xF4) { n = 3; hi = 0x8F; }
        else if (c >= 0xF1 && c <= 0xF3) n = 3;
        else return i;
        if (len - i <= n) return i;
        if (s[i + 1] < lo || s[i + 1] > hi) return i;
        for (size_t k = 2; k <= n; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return i;
        i += n + 1;
    }
    return i;
}

bool utf8_valid(const char* text, size_t len) noexcept {
    if (has_avx2()) return utf8_valid_avx2(text, len);
    return utf8_valid_prefix(text, len) == len;
}

size_t utf8_count_chars(const char* text, size_t len) noexcept {
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) n += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    return n;
}

}  // namespace kestro
