#include "serialize/per_type/numpy.hpp"

#include "serialize/options.hpp"
#include "serialize/per_type/date_text.hpp"
#include "typeref.hpp"

namespace kestro {

size_t write_datetime64_text(const CivilDateTime& c, char* dst) noexcept {
    char* p = put_date_text(dst, static_cast<uint32_t>(c.year), c.month, c.day);
    *p = 'T';
    p = put_clock_text(p + 1, c.hour, c.minute, c.second);
    p = put_fraction_text(p, c.nanosecond / 1000, c.options);
    if (c.options & opt::NAIVE_UTC) p = put_zero_offset(p, c.options);
    return static_cast<size_t>(p - dst);
}

const EncodeFailure* datetime64_failure(Datetime64Outcome outcome, int64_t count,
                                        Datetime64Unit unit) noexcept {
    const char* name = datetime64_unit_name(unit);
    const size_t name_len = std::strlen(name);
    if (outcome == Datetime64Outcome::unsupported_unit) {
        static constexpr char prefix[] = "unsupported numpy.datetime64 unit: ";
        return failure_with_detail(prefix, sizeof prefix - 1, name, name_len);
    }
    static constexpr char prefix[] = "unrepresentable numpy.datetime64: ";
    char detail[64];  // sign, 20 digits, a space and the longest name
    char* p = detail;
    *p = '-';
    p += count < 0;
    const auto u = static_cast<uint64_t>(count);
    p += write_u64_text(count < 0 ? 0 - u : u, p);
    *p++ = ' ';
    std::memcpy(p, name, name_len);
    p += name_len;
    return failure_with_detail(prefix, sizeof prefix - 1, detail, static_cast<size_t>(p - detail));
}

namespace {

template <class E>
Status put_scalar(PyObject* obj, E element, OutputBuffer& buf) noexcept {
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    const auto value = ffi::scalar_value<typename E::type>(obj);
    buf.set_cursor(element(buf.cursor(), reinterpret_cast<const char*>(&value)));
    return Status::ok();
}

Status write_datetime64_scalar(PyObject* obj, uint32_t options, OutputBuffer& buf) noexcept {
    const int64_t count = ffi::scalar_value<int64_t>(obj);
    const Datetime64Unit unit = parse_datetime64_unit(obj);
    CivilDateTime civil;
    const Datetime64Outcome outcome = datetime64_to_civil(count, unit, options, &civil);
    if (outcome != Datetime64Outcome::ok) return datetime64_failure(outcome, count, unit);
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    buf.set_cursor(put_datetime64_quoted(buf.cursor(), civil));
    return Status::ok();
}

}  // namespace

Status write_numpy_scalar_value(PyObject* obj, uint32_t options, OutputBuffer& buf) noexcept {
    namespace e = numpy_element;
    const NumpyTypes& t = numpy_types()->types;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (type == t.float64) return put_scalar(obj, e::Float<double>{}, buf);
    if (type == t.float32) return put_scalar(obj, e::Float<float>{}, buf);
    if (type == t.float16) return put_scalar(obj, e::Float16{float16_widener()}, buf);
    if (type == t.int64) return put_scalar(obj, e::Integer<int64_t>{}, buf);
    if (type == t.int32) return put_scalar(obj, e::Integer<int32_t>{}, buf);
    if (type == t.int16) return put_scalar(obj, e::Integer<int16_t>{}, buf);
    if (type == t.int8) return put_scalar(obj, e::Integer<int8_t>{}, buf);
    if (type == t.uint64) return put_scalar(obj, e::Integer<uint64_t>{}, buf);
    if (type == t.uint32) return put_scalar(obj, e::Integer<uint32_t>{}, buf);
    if (type == t.uint16) return put_scalar(obj, e::Integer<uint16_t>{}, buf);
    if (type == t.uint8) return put_scalar(obj, e::Integer<uint8_t>{}, buf);
    if (type == t.bool_) return put_scalar(obj, e::Bool{}, buf);
    return write_datetime64_scalar(obj, options, buf);
}

}  // namespace kestro
