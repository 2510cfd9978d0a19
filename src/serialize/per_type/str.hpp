// Writing str values as JSON strings.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

// Writes text[0, len) as a quoted, escaped JSON string at dst and returns the
// number of bytes written (2 to 6 * len + 2).  The caller has reserved
// 8 * len + 32 bytes at dst; the writer may store anywhere inside that room.
using StringWriter = size_t (*)(char* dst, const char* text, size_t len) noexcept;

// The variants, each writing the same bytes; src/arch/<family>/select.cpp
// chooses the one the processor runs.
size_t string_writer_portable(char* dst, const char* text, size_t len) noexcept;  // 8-byte words
#if defined(__x86_64__)
size_t string_writer_sse2(char* dst, const char* text, size_t len) noexcept;    // 16-byte blocks
size_t string_writer_avx512(char* dst, const char* text, size_t len) noexcept;  // 32, AVX-512 VL+BW
// The names the micro-benchmarks use.
inline constexpr StringWriter string_writer_baseline = string_writer_sse2;
inline constexpr StringWriter string_writer_wide = string_writer_avx512;
#elif defined(__aarch64__)
size_t string_writer_neon(char* dst, const char* text, size_t len) noexcept;  // 16-byte blocks
#endif

// The escape of every byte up to the backslash (0x5C), the highest byte that
// is escaped.  An entry holds the escape text left-aligned in bytes 0 to 6 and
// its length (2 or 6) in byte 7, so that the writers store it as one 8-byte
// word and advance by byte 7.  Bytes that are written as they are have an
// all-zero entry.
inline constexpr size_t ESCAPE_TABLE_SIZE = 0x5D;

struct EscapeTable {
    alignas(8) char entry[ESCAPE_TABLE_SIZE][8];
};

// 1 for the 34 bytes that are escaped (0x00 to 0x1F, '"', '\\'), else 0.
struct NeedsEscape {
    uint8_t flag[256];
};

namespace escape_detail {

consteval EscapeTable build_escape_table() {
    EscapeTable t{};
    const char hex[] = "0123456789abcdef";
    for (unsigned c = 0; c < 0x20; ++c) {
        char* e = t.entry[c];
        e[0] = '\\';
        e[1] = 'u';
        e[2] = '0';
        e[3] = '0';
        e[4] = hex[c >> 4];
        e[5] = hex[c & 15];
        e[7] = 6;
    }
    // The short escapes keep "0000" after their two characters; only the
    // length byte says how much of the entry is output.
    const char short_forms[][2] = {{8, 'b'}, {9, 't'}, {10, 'n'}, {12, 'f'}, {13, 'r'}};
    for (const auto& f : short_forms) {
        char* e = t.entry[static_cast<unsigned char>(f[0])];
        e[0] = '\\';
        e[1] = f[1];
        e[2] = e[3] = e[4] = e[5] = '0';
        e[6] = 0;
        e[7] = 2;
    }
    constexpr unsigned char quote = '"', backslash = '\\';
    t.entry[quote][0] = '\\';
    t.entry[quote][1] = '"';
    t.entry[quote][7] = 2;
    t.entry[backslash][0] = '\\';
    t.entry[backslash][1] = '\\';
    t.entry[backslash][7] = 2;
    return t;
}

consteval NeedsEscape build_needs_escape() {
    NeedsEscape t{};
    for (unsigned c = 0; c < 0x20; ++c) t.flag[c] = 1;
    constexpr unsigned char quote = '"', backslash = '\\';
    t.flag[quote] = 1;
    t.flag[backslash] = 1;
    return t;
}

}  // namespace escape_detail

inline constexpr EscapeTable ESCAPE_TABLE = escape_detail::build_escape_table();
inline constexpr NeedsEscape NEEDS_ESCAPE = escape_detail::build_needs_escape();

}  // namespace kestro
