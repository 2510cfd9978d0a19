#include "deserialize/string_builder.hpp"

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

namespace kestro {

namespace {

// Stores 16 ASCII bytes as 16 units of the string's width.
inline void store_ascii16(uint8_t* out, __m128i v) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}

inline void store_ascii16(uint16_t* out, __m128i v) noexcept {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
}

inline void store_ascii16(uint32_t* out, __m128i v) noexcept {
    const __m128i zero = _mm_setzero_si128();
    __m128i lo = _mm_unpacklo_epi8(v, zero);
    __m128i hi = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
}

// Decodes well-formed UTF-8 into units of one width.  Runs of 16 ASCII bytes
// are widened in one step; every 16 input bytes make at least as many
// characters as they hold ASCII bytes, so the stores stay inside the string.
template <class Unit>
Unit* decode_utf8(const uint8_t* s, size_t len, Unit* out) noexcept {
    size_t i = 0;
    while (i < len) {
        if (len - i >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            unsigned wide = static_cast<unsigned>(_mm_movemask_epi8(v));
            if (wide == 0) {
                store_ascii16(out, v);
                out += 16;
                i += 16;
                continue;
            }
            for (size_t end = i + static_cast<size_t>(__builtin_ctz(wide)); i < end; ++i) *out++ = s[i];
        }
        uint32_t c = s[i];
        if (c < 0x80) {
            i += 1;
        } else if (c < 0xE0) {
            c = ((c & 0x1F) << 6) | (s[i + 1] & 0x3Fu);
            i += 2;
        } else if (c < 0xF0) {
            c = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            i += 3;
        } else {
            c = ((c & 0x07) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
                (s[i + 3] & 0x3Fu);
            i += 4;
        }
        *out++ = static_cast<Unit>(c);
    }
    return out;
}

}  // namespace

PyObject* string_from_profile(const char* text, size_t len, TextProfile profile) noexcept {
    if (len > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(profile.chars), static_cast<Py_UCS4>(profile.maxchar));
    if (str == nullptr) return nullptr;
    void* data = ffi::str_compact_data(str);
    const auto* s = reinterpret_cast<const uint8_t*>(text);
    if (profile.maxchar <= 255) {
        if (profile.chars == len) {
            std::memcpy(data, s, len);
            static_cast<uint8_t*>(data)[len] = 0;
        } else {
            *decode_utf8(s, len, static_cast<uint8_t*>(data)) = 0;
        }
    } else if (profile.maxchar <= 65535) {
        *decode_utf8(s, len, static_cast<uint16_t*>(data)) = 0;
    } else {
        *decode_utf8(s, len, static_cast<uint32_t*>(data)) = 0;
    }
    return str;
}

PyObject* string_builder_baseline(const char* text, size_t len) noexcept {
    return string_from_profile(text, len, text_profile(text, len));
}

}  // namespace kestro
