#include "serialize/per_type/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "serialize/per_type/digits.hpp"

namespace kestro {

namespace {

// Fixed notation covers the values whose first digit has a power of ten in
// [MinFixed, MaxFixed]; the others are written in scientific notation.
template <int MinFixed, int MaxFixed, class Float>
char* write_float_text(Float v, char* dst) noexcept {
    char* out = dst;
    if (std::signbit(v)) *out++ = '-';
    if (v == 0) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    // Shortest round-trip digits in the form d[.ddd]e(+|-)XX[X].
    char sci[32];
    char* sci_end = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific).ptr;

    // Gather the digits contiguously: sci[0] and, when there is a point,
    // the digits after it.
    char digits[24];
    digits[0] = sci[0];
    const char* e_pos = sci + 1;
    int n = 1;
    if (*e_pos == '.') {
        const char* d = e_pos + 1;
        while (*d != 'e') ++d;
        n = static_cast<int>(d - e_pos);  // the point counts for the first digit
        std::memcpy(digits + 1, e_pos + 1, static_cast<size_t>(n - 1));
        e_pos = d;
    }
    bool negative_exp = e_pos[1] == '-';
    int exp = 0;
    for (const char* p = e_pos + 2; p != sci_end; ++p) exp = exp * 10 + (*p - '0');
    if (negative_exp) exp = -exp;

    if (exp < MinFixed || exp > MaxFixed) {
        *out++ = digits[0];
        if (n > 1) {
            *out++ = '.';
            std::memcpy(out, digits + 1, static_cast<size_t>(n - 1));
            out += n - 1;
        }
        *out++ = 'e';
        *out++ = negative_exp ? '-' : '+';
        out += write_u32_text(static_cast<uint32_t>(negative_exp ? -exp : exp), out);
        return out;
    }
    if (exp < 0) {
        // 0.000ddd: at most 5 zeros after the point before the digits.
        std::memcpy(out, "0.00000", 8);
        out += 1 - exp;
        std::memcpy(out, digits, static_cast<size_t>(n));
        return out + n;
    }
    if (n <= exp + 1) {
        // Integral: the digits, zeros up to the point, ".0".
        std::memset(out, '0', 16);
        std::memcpy(out, digits, static_cast<size_t>(n));
        out += exp + 1;
        std::memcpy(out, ".0", 2);
        return out + 2;
    }
    std::memcpy(out, digits, static_cast<size_t>(exp + 1));
    out += exp + 1;
    *out++ = '.';
    std::memcpy(out, digits + exp + 1, static_cast<size_t>(n - exp - 1));
    return out + (n - exp - 1);
}

}  // namespace

char* write_f64_text(double v, char* dst) noexcept { return write_float_text<-5, 15>(v, dst); }

char* write_f32_text(float v, char* dst) noexcept { return write_float_text<-6, 12>(v, dst); }

}  // namespace kestro
