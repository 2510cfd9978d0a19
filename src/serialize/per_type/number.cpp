#include "serialize/per_type/number.hpp"

namespace kestro {

namespace {
constexpr uint64_t max_strict = (uint64_t{1} << 53) - 1;
}

Status write_large_int(PyObject* v, uint32_t options, OutputBuffer& buf) noexcept {
    char* p = buf.cursor();
    uint64_t magnitude;
    if (!ffi::long_is_negative(v)) {
        unsigned long long u = PyLong_AsUnsignedLongLong(v);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return &failure::integer_64bit;
        }
        magnitude = u;
    } else {
        long long s = PyLong_AsLongLong(v);
        if (s == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return &failure::integer_64bit;
        }
        magnitude = uint64_t{0} - static_cast<uint64_t>(s);
        *p++ = '-';
    }
    if ((options & opt::STRICT_INTEGER) && magnitude > max_strict) return &failure::integer_53bit;
    buf.set_cursor(p + write_u64_text(magnitude, p));
    return Status::ok();
}

}  // namespace kestro
