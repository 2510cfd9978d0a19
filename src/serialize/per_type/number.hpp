// int, float, bool and None values.
#pragma once

#include "serialize/buffer.hpp"
#include "serialize/options.hpp"
#include "serialize/per_type/digits.hpp"
#include "serialize/per_type/float_text.hpp"
#include "typeref.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace kestro {

// |v| of an int or int subclass from -2**63 to 2**64 - 1, and its sign;
// false (no error set) outside that range.
[[gnu::always_inline]] inline bool int_magnitude_64(PyObject* v, uint64_t* magnitude,
                                                    bool* negative) noexcept {
    *negative = ffi::long_is_negative(v);
    return ffi::long_magnitude_u64(v, magnitude) && (!*negative || *magnitude <= uint64_t{1} << 63);
}

// An int (or int subclass) of two or more 30-bit digits: 64-bit range, and
// 53-bit range under OPT_STRICT_INTEGER.
Status write_large_int(PyObject* v, uint32_t options, OutputBuffer& buf) noexcept;

[[gnu::always_inline]] inline Status write_int(PyObject* v, uint32_t options,
                                               OutputBuffer& buf) noexcept {
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    int64_t small;
    if (ffi::long_small_value(v, &small)) [[likely]] {
        // |small| < 2**30: inside every accepted range.
        char* p = buf.cursor();
        *p = '-';
        p += small < 0;
        uint32_t magnitude = static_cast<uint32_t>(small < 0 ? -small : small);
        buf.set_cursor(p + write_u32_text(magnitude, p));
        return Status::ok();
    }
    return write_large_int(v, options, buf);
}

// "true", "false" and "null" go out as one 8-byte store under the 128-byte
// reservation.
[[gnu::always_inline]] inline void write_literal(const char (&text)[9], size_t len,
                                                 OutputBuffer& buf) noexcept {
    std::memcpy(buf.cursor(), text, 8);
    buf.advance(len);
}

[[gnu::always_inline]] inline Status write_bool(PyObject* v, OutputBuffer& buf) noexcept {
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    if (v == typeref.true_) {
        write_literal("true\0\0\0\0", 4, buf);
    } else {
        write_literal("false\0\0\0", 5, buf);
    }
    return Status::ok();
}

[[gnu::always_inline]] inline Status write_null(OutputBuffer& buf) noexcept {
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    write_literal("null\0\0\0\0", 4, buf);
    return Status::ok();
}

// NaN and the infinities have no JSON form: they are written as null.
[[gnu::always_inline]] inline Status write_float(PyObject* v, OutputBuffer& buf) noexcept {
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    double d = ffi::float_value(v);
    if (!std::isfinite(d)) [[unlikely]] {
        write_literal("null\0\0\0\0", 4, buf);
        return Status::ok();
    }
    buf.set_cursor(write_f64_text(d, buf.cursor()));
    return Status::ok();
}

}  // namespace kestro
