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

// Byte length of the character a lead byte starts, by its top five bits
// (continuation bytes never start a character of valid text).
constexpr uint8_t kCharLength[32] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                     1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 4, 4};
constexpr uint8_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
constexpr uint8_t kPayloadShift[5] = {0, 18, 12, 6, 0};

// The code point of the character whose lead byte is b0, without branches:
// the payloads of four bytes are assembled as if the character had four and
// the surplus (bytes after the character) is shifted out.
inline uint32_t code_point(uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) noexcept {
    const unsigned n = kCharLength[b0 >> 3];
    uint32_t c = ((b0 & kLeadMask[n]) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
    return c >> kPayloadShift[n];
}

// Decodes well-formed UTF-8 into units of one width.  The text goes in blocks
// of 16 bytes: all-ASCII blocks are widened in one step, the others decoded
// at each character start, found by a bit mask, so that no character waits
// for the length of the one before it.  Every character makes exactly one
// unit, so the stores stay inside the string.
template <class Unit>
Unit* decode_utf8(const uint8_t* s, size_t len, Unit* out) noexcept {
    const __m128i last_continuation = _mm_set1_epi8(-65);
    size_t i = 0;
    // A character starting in the block reads at most 3 bytes past it.
    for (; len - i >= 16 + 3; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(v) == 0) {
            store_ascii16(out, v);
            out += 16;
            continue;
        }
        const uint8_t* block = s + i;
        for (auto starts = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(v, last_continuation)));
             starts != 0; starts &= starts - 1) {
            const uint8_t* c = block + __builtin_ctz(starts);
            *out++ = static_cast<Unit>(code_point(c[0], c[1], c[2], c[3]));
        }
    }
    // The last bytes one at a time, reads clamped to the text.  A unit is
    // stored for every byte but kept only for character starts; a surplus
    // store lands at most on the terminator's place.
    if (i < len) {
        const size_t last = len - 1;
        for (; i < len; ++i) {
            *out = static_cast<Unit>(code_point(s[i], s[i + 1 < last ? i + 1 : last],
                                                s[i + 2 < last ? i + 2 : last], s[i + 3 < last ? i + 3 : last]));
            out += (s[i] & 0xC0) != 0x80;
        }
    }
    return out;
}

}  // namespace

PyObject* new_str_for(TextProfile profile, void** data) noexcept {
    if (profile.chars > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(profile.chars), static_cast<Py_UCS4>(profile.maxchar));
    if (str != nullptr) *data = ffi::str_compact_data(str);
    return str;
}

PyObject* string_from_profile(const char* text, size_t len, TextProfile profile) noexcept {
    void* data = nullptr;
    PyObject* str = new_str_for(profile, &data);
    if (str == nullptr) return nullptr;
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
