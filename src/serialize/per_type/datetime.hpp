// datetime.datetime, datetime.date and datetime.time values: the texts (also
// used for dict keys of those types) and the value writers, which write a
// text between double quotes, the same in both layouts.
//
// The fields are read from the objects themselves; the only Python code run
// is the UTC offset of an aware datetime, asked of its tzinfo
// (resolve_utc_offset).
#pragma once

#include "runtime/memory.hpp"
#include "serialize/buffer.hpp"
#include "serialize/per_type/scratch_text.hpp"
#include "serialize/walk.hpp"

#include <cstdint>

namespace kestro {

// Appends "YYYY-MM-DD".  Cannot fail.
void write_date_text(PyObject* date, ScratchText& out) noexcept;

// Appends "HH:MM:SS" and the fraction (options: OPT_OMIT_MICROSECONDS); a
// time with tzinfo fails.
Status write_time_text(PyObject* time, uint32_t options, ScratchText& out) noexcept;

// Appends the date, "T", the time and the offset: none for a naive datetime
// (the zero offset under OPT_NAIVE_UTC), else the offset its tzinfo gives
// ("Z" for zero under OPT_UTC_Z).  Fails when the offset cannot be had.
Status write_datetime_text(PyObject* datetime, uint32_t options, ScratchText& out) noexcept;

// The UTC offset of datetime dt, whose tzinfo is tz, as a timedelta's days
// and seconds; asked in the way the kind of tzinfo supports, the first that
// applies of:
//   an exact datetime.tzinfo or datetime.timezone: tz.utcoffset(dt);
//   tz has "convert" (pendulum): dt.utcoffset();
//   tz has "normalize" (pytz): n = tz.normalize(dt), then n.utcoffset();
//     when n's wall clock differs from dt's (dt was moved across a change of
//     offset without being normalized), *normalized receives n, whose fields
//     are the ones that go with that offset;
//   tz has "dst" (dateutil, zoneinfo, other tzinfo subclasses): tz.utcoffset(dt).
// Fails with the time-zone-library message when none applies, when a call
// raises (its exception stays pending, the cause of the failure), when
// normalize() gives no datetime, or when the offset is not a timedelta of
// more than -24 h and less than 24 h.
Status resolve_utc_offset(PyObject* dt, PyObject* tz, int32_t* days, int32_t* seconds,
                          Ref* normalized) noexcept;

// The value writers: the text between double quotes, under one reservation.
Status write_datetime_value(PyObject* datetime, uint32_t options, OutputBuffer& buf) noexcept;
Status write_date_value(PyObject* date, OutputBuffer& buf) noexcept;
Status write_time_value(PyObject* time, uint32_t options, OutputBuffer& buf) noexcept;

template <class L>
[[gnu::always_inline]] inline Status write_datetime(WalkState state, L& out) noexcept {
    return write_datetime_value(state.object, state.word, out.buffer());
}

template <class L>
[[gnu::always_inline]] inline Status write_date(WalkState state, L& out) noexcept {
    return write_date_value(state.object, out.buffer());
}

template <class L>
[[gnu::always_inline]] inline Status write_time(WalkState state, L& out) noexcept {
    return write_time_value(state.object, state.word, out.buffer());
}

}  // namespace kestro
