// The layout of date and time texts, from their calendar fields: shared by
// datetime, date and time objects, by dict keys of those types and by numpy
// datetime64 values, so that all of them read alike.  Every function writes
// at p and returns the end of what it wrote; none reads back.
//
//   date      2024-03-09                         (year 0 to 9999, four digits)
//   time      08:05:03 or 08:05:03.000120        (fraction: six digits, never trimmed)
//   datetime  2024-03-09T08:05:03.000120+05:30   (at most 32 bytes)
#pragma once

#include "serialize/options.hpp"
#include "serialize/per_type/digits.hpp"

#include <cstdint>
#include <cstring>

namespace kestro {

// "YYYY-MM-DD": 10 bytes.
inline char* put_date_text(char* p, uint32_t year, uint32_t month, uint32_t day) noexcept {
    put_4digits(p, year);
    p[4] = '-';
    put_2digits(p + 5, month);
    p[7] = '-';
    put_2digits(p + 8, day);
    return p + 10;
}

// "HH:MM:SS": 8 bytes.
inline char* put_clock_text(char* p, uint32_t hour, uint32_t minute, uint32_t second) noexcept {
    put_2digits(p, hour);
    p[2] = ':';
    put_2digits(p + 3, minute);
    p[5] = ':';
    put_2digits(p + 6, second);
    return p + 8;
}

// "." and the six digits of the microsecond (below 10^6); nothing when it is
// 0 or under OPT_OMIT_MICROSECONDS.
inline char* put_fraction_text(char* p, uint32_t microsecond, uint32_t options) noexcept {
    if (microsecond == 0 || (options & opt::OMIT_MICROSECONDS)) return p;
    const uint32_t hi = microsecond / 10000;  // the first two digits
    *p = '.';
    put_2digits(p + 1, hi);
    put_4digits(p + 3, microsecond - hi * 10000);
    return p + 7;
}

// The offset of UTC itself: "Z" under OPT_UTC_Z, else "+00:00".
inline char* put_zero_offset(char* p, uint32_t options) noexcept {
    if (options & opt::UTC_Z) {
        *p = 'Z';
        return p + 1;
    }
    std::memcpy(p, "+00:00", 6);
    return p + 6;
}

// A UTC offset of more than -24 h and less than 24 h, as the interpreter's
// timedelta holds it: days 0 for a positive offset, -1 for a negative one,
// and seconds from 0 to 86399 added to them.  Written in whole minutes,
// rounded half up ("+05:30"; 5 h 30 min 30 s is "+05:31"), a rounding that
// reaches 60 minutes carrying into the hour (0 h 59 min 30 s is "+01:00");
// the zero offset as put_zero_offset.
inline char* put_utc_offset_text(char* p, int32_t days, int32_t seconds, uint32_t options) noexcept {
    if (days == 0 && seconds == 0) return put_zero_offset(p, options);
    const bool negative = days < 0;
    const uint32_t magnitude = static_cast<uint32_t>(negative ? 86400 - seconds : seconds);
    const uint32_t minutes = (magnitude + 30) / 60;  // at most 24 h
    const uint32_t hours = minutes / 60;
    *p = negative ? '-' : '+';
    put_2digits(p + 1, hours);
    p[3] = ':';
    put_2digits(p + 4, minutes - hours * 60);
    return p + 6;
}

}  // namespace kestro
