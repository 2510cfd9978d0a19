// str values, str subclasses and str keys: their UTF-8 text, borrowed from the
// object, written through the selected string writer.
#pragma once

#include "serialize/buffer.hpp"
#include "serialize/per_type/str_short.hpp"
#include "typeref.hpp"

#include <cstddef>

namespace kestro {

// Text of a str that has no inline ASCII data or cached UTF-8 form (or is a
// subclass instance): asks the interpreter, which caches the form in the
// object.  Null, with the interpreter's UnicodeEncodeError pending, when the
// str holds a lone surrogate.
const char* utf8_of_str_slow(PyObject* s, size_t* len) noexcept;

// The UTF-8 text of a str, borrowed from the object and valid while it lives.
// The common compact ASCII str needs no call into the interpreter.
[[gnu::always_inline]] inline const char* utf8_of_str(PyObject* s, size_t* len) noexcept {
    if (Py_TYPE(s) == typeref.string_type) [[likely]] {
        if (ffi::str_is_compact_ascii(s)) [[likely]] {
            *len = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
            return static_cast<const char*>(ffi::str_compact_data(s));
        }
        Py_ssize_t n;
        if (const char* cached = ffi::str_cached_utf8(s, &n)) {
            *len = static_cast<size_t>(n);
            return cached;
        }
    }
    return utf8_of_str_slow(s, len);
}

// Writes text as a quoted, escaped JSON string at dst, which has room for
// 8 * len + 32 bytes, and returns its end.  Short texts with nothing to
// escape are copied in place; the others go to the selected string writer.
[[gnu::always_inline]] inline char* put_quoted(char* dst, const char* text, size_t len) noexcept {
    if (len <= plain_short_max) {
        *dst = '"';
        if (char* end = copy_plain_short(dst + 1, text, len)) [[likely]] {
            *end = '"';
            return end + 1;
        }
    }
    return dst + typeref.string_writer(dst, text, len);
}

// Writes text as a quoted, escaped JSON string (one reservation).
[[gnu::always_inline]] inline Status write_str_text(const char* text, size_t len,
                                                    OutputBuffer& buf) noexcept {
    if (Status s = buf.reserve(8 * len + 32); s.failed()) [[unlikely]]
        return s;
    buf.set_cursor(put_quoted(buf.cursor(), text, len));
    return Status::ok();
}

// A str or str subclass value.
[[gnu::always_inline]] inline Status write_str(PyObject* s, OutputBuffer& buf) noexcept {
    size_t len;
    const char* text = utf8_of_str(s, &len);
    if (text == nullptr) [[unlikely]]
        return &failure::surrogates;
    return write_str_text(text, len, buf);
}

}  // namespace kestro
