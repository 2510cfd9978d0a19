// numpy scalars and arrays (with OPT_SERIALIZE_NUMPY).  Values are read as
// machine values straight from the scalar object and written by the number
// writers.
#pragma once

#include "ffi/numpy.hpp"
#include "ffi/numpy/datetime.hpp"
#include "serialize/numpy/float16.hpp"
#include "serialize/per_type/digits.hpp"
#include "serialize/per_type/float_text.hpp"
#include "serialize/per_type/str_value.hpp"
#include "serialize/walk.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>

namespace kestro {

// The text of a datetime64 value, without quotes: the date, "T" and the time
// always, the microseconds when there are any (and OPT_OMIT_MICROSECONDS is
// not set), the zero offset under OPT_NAIVE_UTC.  At most 32 bytes at dst,
// which has room for 40; returns the length.
size_t write_datetime64_text(const CivilDateTime& civil, char* dst) noexcept;

// The failure of a datetime64 count that datetime64_to_civil refused.
const EncodeFailure* datetime64_failure(Datetime64Outcome outcome, int64_t count,
                                        Datetime64Unit unit) noexcept;

// One numpy scalar (its type is one of the record's scalar types).
Status write_numpy_scalar_value(PyObject* obj, uint32_t options, OutputBuffer& buf) noexcept;

// Element writers: each writes the text of the element at src into p, which
// has `room` bytes, and returns the end.  The datetime64 writer returns null
// when the value cannot be written, and keeps its failure.
namespace numpy_element {

template <class T>
inline T load(const char* src) noexcept {
    T v;
    std::memcpy(&v, src, sizeof v);  // array memory need not be aligned
    return v;
}

struct Bool {
    using type = uint8_t;
    static constexpr size_t room = 16;
    static constexpr bool can_fail = false;
    char* operator()(char* p, const char* src) const noexcept {
        const bool value = *src != 0;  // numpy reads any non-zero byte as True
        std::memcpy(p, value ? "true\0\0\0\0" : "false\0\0\0", 8);
        return p + 5 - value;
    }
};

template <class T>
struct Integer {
    using type = T;
    static constexpr size_t room = 32;
    static constexpr bool can_fail = false;
    char* operator()(char* p, const char* src) const noexcept {
        using U = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
        const T v = load<T>(src);
        U magnitude = static_cast<U>(v);
        if constexpr (std::is_signed_v<T>) {
            *p = '-';
            p += v < 0;
            if (v < 0) magnitude = 0 - magnitude;  // the most negative value too
        }
        if constexpr (sizeof(T) == 8) {
            return p + write_u64_text(magnitude, p);
        } else {
            return p + write_u32_text(magnitude, p);
        }
    }
};

// float16 and float32 are written with the shortest text that reads back as
// the same binary32 value; NaN and the infinities as null.
template <class T>
struct Float {
    using type = T;
    static constexpr size_t room = 48;
    static constexpr bool can_fail = false;
    char* operator()(char* p, const char* src) const noexcept {
        const T v = load<T>(src);
        if (!std::isfinite(v)) [[unlikely]] {
            std::memcpy(p, "null\0\0\0\0", 8);
            return p + 4;
        }
        if constexpr (sizeof(T) == 8) {
            return write_f64_text(v, p);
        } else {
            return write_f32_text(v, p);
        }
    }
};

struct Float16 {
    using type = uint16_t;
    static constexpr size_t room = 48;
    static constexpr bool can_fail = false;
    WidenFloat16 widen;
    char* operator()(char* p, const char* src) const noexcept {
        const float v = widen(load<uint16_t>(src));
        return Float<float>{}(p, reinterpret_cast<const char*>(&v));
    }
};

struct Datetime64 {
    using type = int64_t;
    static constexpr size_t text_max = 32;
    static constexpr size_t room = 8 * text_max + 32;  // a quoted text by put_quoted
    static constexpr bool can_fail = true;
    Datetime64Unit unit;
    uint32_t options;
    const EncodeFailure* failure = nullptr;
    char* operator()(char* p, const char* src) noexcept {
        const int64_t count = load<int64_t>(src);
        CivilDateTime civil;
        const Datetime64Outcome outcome = datetime64_to_civil(count, unit, options, &civil);
        if (outcome != Datetime64Outcome::ok) [[unlikely]] {
            failure = datetime64_failure(outcome, count, unit);
            return nullptr;
        }
        char text[text_max + 8];
        return put_quoted(p, text, write_datetime64_text(civil, text));
    }
};

}  // namespace numpy_element

template <class L>
Status write_numpy_scalar(WalkState state, L& out) noexcept {
    return write_numpy_scalar_value(state.object, state_word::options(state.word), out.buffer());
}

// numpy arrays are not written natively yet: they fail as an unsupported type.
template <class L>
Status write_numpy_array(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

}  // namespace kestro
