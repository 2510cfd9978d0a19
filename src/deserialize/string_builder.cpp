// The string builder in plain C++, on 8-byte words: the variant of
// processors without one of their own, and the reference of the vector
// variants.
#include "deserialize/string_builder.hpp"

#include "deserialize/utf8_words.hpp"

#include <cstdint>
#include <cstring>

namespace kestro {

namespace {

// Decodes well-formed UTF-8 into units of one width: a word of eight ASCII
// bytes at a time where there is one, else one character.
template <class Unit>
Unit* decode_utf8(const uint8_t* s, size_t len, Unit* out) noexcept {
    size_t i = 0;
    while (i < len) {
        if (len - i >= 8 && (utf8_words::load_u64(s + i) & utf8_words::kHighBits) == 0) {
            for (size_t k = 0; k < 8; ++k) out[k] = s[i + k];
            out += 8;
            i += 8;
            continue;
        }
        const uint32_t lead = s[i];
        if (lead < 0x80) {
            *out++ = static_cast<Unit>(lead);
            i += 1;
        } else if (lead < 0xE0) {
            *out++ = static_cast<Unit>((lead & 0x1F) << 6 | (s[i + 1] & 0x3Fu));
            i += 2;
        } else if (lead < 0xF0) {
            *out++ = static_cast<Unit>((lead & 0x0F) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu));
            i += 3;
        } else {
            *out++ = static_cast<Unit>((lead & 0x07) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 |
                                       (s[i + 3] & 0x3Fu));
            i += 4;
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

PyObject* string_from_profile_portable(const char* text, size_t len, TextProfile profile) noexcept {
    return str_of_profile(text, len, profile,
                          [](const uint8_t* s, size_t n, auto* out) { return decode_utf8(s, n, out); });
}

PyObject* string_builder_portable(const char* text, size_t len) noexcept {
    return string_from_profile_portable(text, len, text_profile_portable(text, len));
}

}  // namespace kestro
