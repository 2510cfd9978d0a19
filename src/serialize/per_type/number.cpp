#include "serialize/per_type/number.hpp"

namespace kestro {

namespace {
constexpr uint64_t max_strict = (uint64_t{1} << 53) - 1;
}

Status write_large_int(PyObject* v, uint32_t options, OutputBuffer& buf) noexcept {
    char* p = buf.cursor();
    uint64_t magnitude;
    bool negative;
    if (!int_magnitude_64(v, &magnitude, &negative)) return &failure::integer_64bit;
    *p = '-';
    p += negative;
    if ((options & opt::STRICT_INTEGER) && magnitude > max_strict) return &failure::integer_53bit;
    buf.set_cursor(p + write_u64_text(magnitude, p));
    return Status::ok();
}

}  // namespace kestro
