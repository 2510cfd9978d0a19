// numpy scalars and arrays (with OPT_SERIALIZE_NUMPY).  Elements are read as
// machine values straight from the array's memory (or from the scalar
// object) and written by the number writers; no Python object is made per
// element.
#pragma once

#include "ffi/numpy.hpp"
#include "ffi/numpy/datetime.hpp"
#include "serialize/buffer.hpp"
#include "serialize/numpy/array.hpp"
#include "serialize/numpy/float16.hpp"
#include "serialize/per_type/digits.hpp"
#include "serialize/per_type/float_text.hpp"
#include "serialize/walk.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace kestro {

// The text of a datetime64 value, without quotes: the date, "T" and the time
// always, the microseconds when there are any (and OPT_OMIT_MICROSECONDS is
// not set), the zero offset under OPT_NAIVE_UTC.  At most 32 bytes at dst,
// which has room for 40; returns the length.
size_t write_datetime64_text(const CivilDateTime& civil, char* dst) noexcept;

// The text between double quotes (it never needs escaping); returns the end.
inline char* put_datetime64_quoted(char* p, const CivilDateTime& civil) noexcept {
    *p = '"';
    char* end = p + 1 + write_datetime64_text(civil, p + 1);
    *end = '"';
    return end + 1;
}

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
    static constexpr size_t room = 48;
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
        return put_datetime64_quoted(p, civil);
    }
};

}  // namespace numpy_element

// One row of consecutive elements as a JSON array.  Many elements share one
// reservation; each starts with the layout's separator.
template <class E, class L>
Status write_numpy_row(const char*& src, size_t count, E& element, L& out) noexcept {
    if (Status s = out.open_container('['); s.failed()) [[unlikely]]
        return s;
    OutputBuffer& buf = out.buffer();
    const size_t per_element = E::room + out.member_start_room();
    const size_t batch = std::max<size_t>(1, 16384 / per_element);
    for (size_t i = 0; i < count;) {
        const size_t end = i + std::min(batch, count - i);
        if (Status s = buf.reserve((end - i) * per_element + 32); s.failed()) [[unlikely]]
            return s;
        char* p = buf.cursor();
        for (; i < end; ++i, src += sizeof(typename E::type)) {
            p = element(out.member_start(p, i == 0), src);
            if constexpr (E::can_fail) {
                if (p == nullptr) [[unlikely]]
                    return element.failure;
            }
        }
        buf.set_cursor(p);
    }
    out.end_member();
    return out.close_container(']');
}

// Dimension `dim` of the array, from the element at src onward, which it
// moves past its elements.  Each index prefix is visited in row-major order;
// an empty extent at any dimension is "[]".  The array's dimensions indent
// like nested lists but are not counted against the nesting limit.
template <class E, class L>
Status write_numpy_dimension(const ArrayView& view, int dim, const char*& src, E& element,
                             L& out) noexcept {
    const size_t extent = view.extent(dim);
    if (extent == 0) return out.write_empty("[]");
    if (dim == view.nd() - 1) return write_numpy_row(src, extent, element, out);
    if (Status s = out.open_container('['); s.failed()) [[unlikely]]
        return s;
    for (size_t i = 0; i < extent; ++i) {
        if (Status s = out.begin_member(i == 0); s.failed()) [[unlikely]]
            return s;
        if (Status s = write_numpy_dimension(view, dim + 1, src, element, out); s.failed())
            [[unlikely]]
            return s;
        out.end_member();
    }
    return out.close_container(']');
}

template <class E, class L>
Status write_numpy_elements(const ArrayView& view, E element, L& out) noexcept {
    const char* src = view.data();
    return write_numpy_dimension(view, 0, src, element, out);
}

template <class L>
Status write_numpy_view(const ArrayView& view, uint32_t options, L& out) noexcept {
    namespace e = numpy_element;
    switch (view.element) {
        case ElementKind::bool_: return write_numpy_elements(view, e::Bool{}, out);
        case ElementKind::int8: return write_numpy_elements(view, e::Integer<int8_t>{}, out);
        case ElementKind::int16: return write_numpy_elements(view, e::Integer<int16_t>{}, out);
        case ElementKind::int32: return write_numpy_elements(view, e::Integer<int32_t>{}, out);
        case ElementKind::int64: return write_numpy_elements(view, e::Integer<int64_t>{}, out);
        case ElementKind::uint8: return write_numpy_elements(view, e::Integer<uint8_t>{}, out);
        case ElementKind::uint16: return write_numpy_elements(view, e::Integer<uint16_t>{}, out);
        case ElementKind::uint32: return write_numpy_elements(view, e::Integer<uint32_t>{}, out);
        case ElementKind::uint64: return write_numpy_elements(view, e::Integer<uint64_t>{}, out);
        case ElementKind::float16:
            return write_numpy_elements(view, e::Float16{float16_widener()}, out);
        case ElementKind::float32: return write_numpy_elements(view, e::Float<float>{}, out);
        case ElementKind::float64: return write_numpy_elements(view, e::Float<double>{}, out);
        case ElementKind::datetime64:
            return write_numpy_elements(view, e::Datetime64{view.unit, options}, out);
    }
    return Status::ok();
}

template <class L>
Status write_numpy_scalar(WalkState state, L& out) noexcept {
    return write_numpy_scalar_value(state.object, state_word::options(state.word), out.buffer());
}

// An exact numpy.ndarray.  An array that is not contiguous in row-major order
// or whose elements kestro does not write goes to default when there is one;
// a malformed interface and a foreign byte order fail regardless.
template <class L>
Status write_numpy_array(WalkState state, L& out) noexcept {
    ArrayView view;
    switch (read_array_view(state.object, &view)) {
        case ArrayViewFailure::none:
            return write_numpy_view(view, state_word::options(state.word), out);
        case ArrayViewFailure::malformed:
            return &failure::numpy_malformed;
        case ArrayViewFailure::not_native_endian:
            return &failure::numpy_not_native_endian;
        case ArrayViewFailure::not_contiguous:
            if (state.default_fn != nullptr) return default_hook(state, out);
            return &failure::numpy_not_contiguous;
        case ArrayViewFailure::unsupported_element:
            if (state.default_fn != nullptr) return default_hook(state, out);
            return &failure::numpy_unsupported_dtype;
    }
    return &failure::numpy_malformed;
}

}  // namespace kestro
