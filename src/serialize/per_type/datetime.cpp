#include "serialize/per_type/datetime.hpp"

#include "runtime/memory.hpp"
#include "serialize/per_type/date_text.hpp"
#include "typeref.hpp"

#include <datetime.h>

#include <cstring>
#include <utility>

namespace kestro {

namespace {

// The offset a datetime's text ends with, and the datetime whose fields go
// with it when that is not the datetime itself.  Once Python code has run
// for the offset, the datetime is held until its text is written: that code
// may have dropped the container that held it.
struct Offset {
    enum Kind : uint8_t { none, zero, given } kind;
    int32_t days = 0;
    int32_t seconds = 0;
    Ref normalized;
    Ref held;
};

// tz.name(*args) through the method-call entry (args: the receiver first).
PyObject* call_method(PyObject* name, PyObject* receiver, PyObject* arg = nullptr) noexcept {
    PyObject* args[3] = {nullptr, receiver, arg};  // args[0] is free for the callee
    const size_t count = arg == nullptr ? 1 : 2;
    return PyObject_VectorcallMethod(name, args + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// The days and seconds of a timedelta given as an offset (borrowed; null
// when the call that should give it raised, whose exception stays pending).
Status read_offset(PyObject* delta, int32_t* days, int32_t* seconds) noexcept {
    if (delta == nullptr || !PyObject_TypeCheck(delta, typeref.timedelta_type)) [[unlikely]]
        return &failure::datetime_tz_library;
    const int32_t d = PyDateTime_DELTA_GET_DAYS(delta);
    const int32_t s = PyDateTime_DELTA_GET_SECONDS(delta);
    // Strictly between -24 h and 24 h, as the interpreter requires of
    // utcoffset(): beyond that the text would name another offset.
    if (d != 0 && !(d == -1 && (s != 0 || PyDateTime_DELTA_GET_MICROSECONDS(delta) != 0)))
        return &failure::datetime_tz_library;
    *days = d;
    *seconds = s;
    return Status::ok();
}

// The offset of an aware datetime (its tzinfo is held with it).
[[gnu::noinline]] Status aware_offset(PyObject* dt, Offset* offset) noexcept {
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(dt);
    if (tz == typeref.timezone_utc) {  // its utcoffset() is always zero
        offset->kind = Offset::zero;
        return Status::ok();
    }
    if (Py_TYPE(tz) != typeref.timezone_type) offset->held = Ref(Py_NewRef(dt));  // Python code runs
    if (Status s = resolve_utc_offset(dt, tz, &offset->days, &offset->seconds, &offset->normalized);
        s.failed())
        return s;
    offset->kind = offset->days == 0 && offset->seconds == 0 ? Offset::zero : Offset::given;
    return Status::ok();
}

[[gnu::always_inline]] inline Status datetime_offset(PyObject* dt, uint32_t options,
                                                     Offset* offset) noexcept {
    if (_PyDateTime_HAS_TZINFO(dt)) [[unlikely]]
        return aware_offset(dt, offset);
    offset->kind = (options & opt::NAIVE_UTC) ? Offset::zero : Offset::none;
    return Status::ok();
}

// The whole datetime text at p (at most 32 bytes).
[[gnu::always_inline]] inline char* put_datetime_text(char* p, PyObject* dt, const Offset& offset,
                                                      uint32_t options) noexcept {
    if (offset.normalized) [[unlikely]]
        dt = offset.normalized.get();
    p = put_date_text(p, PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt));
    *p = 'T';
    p = put_clock_text(p + 1, PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
                       PyDateTime_DATE_GET_SECOND(dt));
    p = put_fraction_text(p, PyDateTime_DATE_GET_MICROSECOND(dt), options);
    if (offset.kind == Offset::zero) return put_zero_offset(p, options);
    if (offset.kind == Offset::given) return put_utc_offset_text(p, offset.days, offset.seconds, options);
    return p;
}

inline char* put_date_of(char* p, PyObject* date) noexcept {
    return put_date_text(p, PyDateTime_GET_YEAR(date), PyDateTime_GET_MONTH(date),
                         PyDateTime_GET_DAY(date));
}

inline char* put_time_of(char* p, PyObject* time, uint32_t options) noexcept {
    p = put_clock_text(p, PyDateTime_TIME_GET_HOUR(time), PyDateTime_TIME_GET_MINUTE(time),
                       PyDateTime_TIME_GET_SECOND(time));
    return put_fraction_text(p, PyDateTime_TIME_GET_MICROSECOND(time), options);
}

bool same_wall_clock(PyObject* a, PyObject* b) noexcept {
    const auto* x = reinterpret_cast<const PyDateTime_DateTime*>(a);
    const auto* y = reinterpret_cast<const PyDateTime_DateTime*>(b);
    return std::memcmp(x->data, y->data, sizeof x->data) == 0;
}

// The opening quote at the cursor, after a reservation of 128 bytes; the
// text follows.
[[gnu::always_inline]] inline char* open_quote(OutputBuffer& buf) noexcept {
    char* p = buf.cursor();
    *p = '"';
    return p + 1;
}

[[gnu::always_inline]] inline void close_quote(OutputBuffer& buf, char* p) noexcept {
    *p = '"';
    buf.set_cursor(p + 1);
}

}  // namespace

Status resolve_utc_offset(PyObject* dt, PyObject* tz, int32_t* days, int32_t* seconds,
                          Ref* normalized) noexcept {
    PyTypeObject* type = Py_TYPE(tz);
    // datetime.timezone's utcoffset(dt) is its fixed offset, read here
    // without the call; it has none of "convert" and "normalize" (its
    // instances have no attributes of their own).
    if (type == typeref.timezone_type) return read_offset(ffi::timezone_offset(tz), days, seconds);
    Ref delta;
    if (type == typeref.tzinfo_type) {
        delta = Ref(call_method(typeref.attr_utcoffset, tz, dt));
    } else if (ffi::has_attr(tz, typeref.attr_convert)) {
        delta = Ref(call_method(typeref.attr_utcoffset, dt));
    } else if (ffi::has_attr(tz, typeref.attr_normalize)) {
        Ref normal(call_method(typeref.attr_normalize, tz, dt));
        if (!normal || !PyObject_TypeCheck(normal.get(), typeref.datetime_type))
            return &failure::datetime_tz_library;
        delta = Ref(call_method(typeref.attr_utcoffset, normal.get()));
        // The normalized datetime is the same instant; when its zone's rules
        // gave it another offset (a datetime moved across a change of
        // offset by arithmetic), its wall clock differs too, and it is the
        // one whose fields go with that offset.
        if (!same_wall_clock(dt, normal.get())) *normalized = std::move(normal);
    } else if (ffi::has_attr(tz, typeref.attr_dst)) {
        delta = Ref(call_method(typeref.attr_utcoffset, tz, dt));
    } else {
        return &failure::datetime_tz_library;
    }
    return read_offset(delta.get(), days, seconds);
}

void write_date_text(PyObject* date, ScratchText& out) noexcept {
    out.set_end(put_date_of(out.end(), date));
}

Status write_time_text(PyObject* time, uint32_t options, ScratchText& out) noexcept {
    if (_PyDateTime_HAS_TZINFO(time)) [[unlikely]]
        return &failure::time_has_tzinfo;
    out.set_end(put_time_of(out.end(), time, options));
    return Status::ok();
}

Status write_datetime_text(PyObject* datetime, uint32_t options, ScratchText& out) noexcept {
    Offset offset;
    if (Status s = datetime_offset(datetime, options, &offset); s.failed()) [[unlikely]]
        return s;
    out.set_end(put_datetime_text(out.end(), datetime, offset, options));
    return Status::ok();
}

// The value writers write the text straight into the output: the offset is
// settled (and any Python code run) before the room is reserved.
Status write_datetime_value(PyObject* datetime, uint32_t options, OutputBuffer& buf) noexcept {
    Offset offset;
    if (Status s = datetime_offset(datetime, options, &offset); s.failed()) [[unlikely]]
        return s;
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    close_quote(buf, put_datetime_text(open_quote(buf), datetime, offset, options));
    return Status::ok();
}

Status write_date_value(PyObject* date, OutputBuffer& buf) noexcept {
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    close_quote(buf, put_date_of(open_quote(buf), date));
    return Status::ok();
}

Status write_time_value(PyObject* time, uint32_t options, OutputBuffer& buf) noexcept {
    if (_PyDateTime_HAS_TZINFO(time)) [[unlikely]]
        return &failure::time_has_tzinfo;
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    close_quote(buf, put_time_of(open_quote(buf), time, options));
    return Status::ok();
}

}  // namespace kestro
