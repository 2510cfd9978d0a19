// numpy datetime64 values: the unit of a value, and its conversion from a
// 64-bit count of that unit to a civil date and time (proleptic Gregorian
// calendar, no time zone), in exact integer arithmetic.
#pragma once

#include "ffi/python.hpp"

#include <cstddef>
#include <cstdint>

namespace kestro {

enum class Datetime64Unit : uint8_t {
    none,  // no unit, or one kestro does not know (such as "10s"); named "NaT"
    years,
    months,
    weeks,
    days,
    hours,
    minutes,
    seconds,
    milliseconds,
    microseconds,
    nanoseconds,
    picoseconds,
    femtoseconds,
    attoseconds,
    generic,
};

// The unit's name in messages: "NaT", "years", ..., "generic".
const char* datetime64_unit_name(Datetime64Unit unit) noexcept;

// The unit written between the brackets of a dtype text ("ns" of '<M8[ns]'),
// without the brackets; Datetime64Unit::none for any other text.
Datetime64Unit datetime64_unit_from_text(const char* text, size_t len) noexcept;

// The unit of a datetime64 array or scalar, read from its dtype description
// (obj.dtype.descr[0][1], such as '<M8[ns]').  Anything unexpected along the
// way gives Datetime64Unit::none and leaves no exception pending.
Datetime64Unit parse_datetime64_unit(PyObject* obj) noexcept;

struct CivilDateTime {
    int16_t year;  // 0 to 9999
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint32_t nanosecond;  // below 10^9
    uint32_t options;     // the call's option bits, for the text
};

enum class Datetime64Outcome : uint8_t {
    ok,
    unsupported_unit,  // no unit, a multiplied unit, ps, fs, as or generic
    unrepresentable,   // outside years 0 to 9999, or beyond the instants kestro writes
};

// The instants written, in seconds from 1970-01-01T00:00:00, inclusive; the
// year must lie in 0 to 9999 as well.
inline constexpr int64_t datetime64_min_seconds = -377705023201;
inline constexpr int64_t datetime64_max_seconds = 253402207200;

// Converts `count` units after 1970-01-01T00:00:00 (before it when negative)
// into *out.  numpy's NaT (the most negative count) is an ordinary count.
Datetime64Outcome datetime64_to_civil(int64_t count, Datetime64Unit unit, uint32_t options,
                                      CivilDateTime* out) noexcept;

// The proleptic Gregorian date `days` days after 1970-01-01.
void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) noexcept;

}  // namespace kestro
