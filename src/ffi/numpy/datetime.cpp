#include "ffi/numpy/datetime.hpp"

#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <cstring>

namespace kestro {

namespace {

constexpr const char* unit_names[] = {
    "NaT",          "years",        "months",       "weeks",       "days",
    "hours",        "minutes",      "seconds",      "milliseconds", "microseconds",
    "nanoseconds",  "picoseconds",  "femtoseconds", "attoseconds", "generic",
};
static_assert(sizeof unit_names / sizeof unit_names[0] ==
              static_cast<size_t>(Datetime64Unit::generic) + 1);

// Quotient rounded toward minus infinity, for a positive divisor.
constexpr int64_t floor_div(int64_t a, int64_t b) noexcept {
    int64_t q = a / b;
    return q - (a % b < 0);
}

constexpr bool year_in_range(int64_t year) noexcept { return year >= 0 && year <= 9999; }

}  // namespace

const char* datetime64_unit_name(Datetime64Unit unit) noexcept {
    return unit_names[static_cast<size_t>(unit)];
}

Datetime64Unit datetime64_unit_from_text(const char* text, size_t len) noexcept {
    using U = Datetime64Unit;
    if (len == 1) {
        switch (text[0]) {
            case 'Y': return U::years;
            case 'M': return U::months;
            case 'W': return U::weeks;
            case 'D': return U::days;
            case 'h': return U::hours;
            case 'm': return U::minutes;
            case 's': return U::seconds;
            default: return U::none;
        }
    }
    if (len == 2 && text[1] == 's') {
        switch (text[0]) {
            case 'm': return U::milliseconds;
            case 'u': return U::microseconds;
            case 'n': return U::nanoseconds;
            case 'p': return U::picoseconds;
            case 'f': return U::femtoseconds;
            case 'a': return U::attoseconds;
            default: return U::none;
        }
    }
    if (len == 7 && std::memcmp(text, "generic", 7) == 0) return U::generic;
    return U::none;
}

Datetime64Unit parse_datetime64_unit(PyObject* obj) noexcept {
    Ref dtype(PyObject_GetAttr(obj, typeref.attr_dtype));
    Ref descr(dtype ? PyObject_GetAttr(dtype.get(), typeref.attr_descr) : nullptr);
    if (!descr) {
        PyErr_Clear();
        return Datetime64Unit::none;
    }
    // [('', '<M8[ns]')]: byte order, 'M', '8', '[', the unit, ']'.
    PyObject* list = descr.get();
    if (!PyList_Check(list) || PyList_GET_SIZE(list) < 1) return Datetime64Unit::none;
    PyObject* field = PyList_GET_ITEM(list, 0);
    if (!PyTuple_Check(field) || PyTuple_GET_SIZE(field) < 2) return Datetime64Unit::none;
    PyObject* type_text = PyTuple_GET_ITEM(field, 1);
    if (Py_TYPE(type_text) != &PyUnicode_Type) return Datetime64Unit::none;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(type_text, &len);
    if (text == nullptr) {
        PyErr_Clear();
        return Datetime64Unit::none;
    }
    if (len < 5 || text[3] != '[' || text[len - 1] != ']') return Datetime64Unit::none;
    return datetime64_unit_from_text(text + 4, static_cast<size_t>(len) - 5);
}

void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) noexcept {
    // Days are counted in eras of 400 years (146097 days) from 0000-03-01, so
    // that the leap day ends each year of the era.
    const int64_t z = days + 719468;
    const int64_t era = floor_div(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);                    // [0, 146096]
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
    const unsigned mp = (5 * doy + 2) / 153;                                     // [0, 11], March first
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

Datetime64Outcome datetime64_to_civil(int64_t count, Datetime64Unit unit, uint32_t options,
                                      CivilDateTime* out) noexcept {
    using U = Datetime64Unit;
    *out = CivilDateTime{};
    out->options = options;
    out->month = 1;
    out->day = 1;
    int64_t seconds;
    switch (unit) {
        case U::years: {
            if (count < -1970 || count > 9999 - 1970) return Datetime64Outcome::unrepresentable;
            out->year = static_cast<int16_t>(1970 + count);
            return Datetime64Outcome::ok;
        }
        case U::months: {
            const int64_t years = floor_div(count, 12);
            if (!year_in_range(1970 + years)) return Datetime64Outcome::unrepresentable;
            out->year = static_cast<int16_t>(1970 + years);
            out->month = static_cast<uint8_t>(count - years * 12 + 1);
            return Datetime64Outcome::ok;
        }
        case U::weeks:
        case U::days:
        case U::hours:
        case U::minutes:
        case U::seconds: {
            constexpr int64_t unit_seconds[] = {604800, 86400, 3600, 60, 1};
            const int64_t per = unit_seconds[static_cast<int>(unit) - static_cast<int>(U::weeks)];
            if (__builtin_mul_overflow(count, per, &seconds))
                return Datetime64Outcome::unrepresentable;
            break;
        }
        case U::milliseconds:
        case U::microseconds:
        case U::nanoseconds: {
            constexpr int64_t per_second[] = {1000, 1000000, 1000000000};
            const int64_t per = per_second[static_cast<int>(unit) - static_cast<int>(U::milliseconds)];
            // Every nanosecond count lies within the seconds range; coarser
            // counts are bounded by it exactly, fractions included.
            if (unit != U::nanoseconds &&
                (count < datetime64_min_seconds * per || count > datetime64_max_seconds * per))
                return Datetime64Outcome::unrepresentable;
            // The remainder from %, not count - seconds * per: that product
            // leaves 64 bits for the lowest nanosecond counts.
            int64_t rest = count % per;
            seconds = count / per - (rest < 0);
            rest += rest < 0 ? per : 0;
            out->nanosecond = static_cast<uint32_t>(rest * (1000000000 / per));
            break;
        }
        case U::none:
        case U::picoseconds:
        case U::femtoseconds:
        case U::attoseconds:
        case U::generic:
        default:
            return Datetime64Outcome::unsupported_unit;
    }
    if (seconds < datetime64_min_seconds || seconds > datetime64_max_seconds)
        return Datetime64Outcome::unrepresentable;
    const int64_t days = floor_div(seconds, 86400);
    const auto second_of_day = static_cast<uint32_t>(seconds - days * 86400);
    int64_t year;
    unsigned month, day;
    civil_from_days(days, &year, &month, &day);
    if (!year_in_range(year)) return Datetime64Outcome::unrepresentable;
    out->year = static_cast<int16_t>(year);
    out->month = static_cast<uint8_t>(month);
    out->day = static_cast<uint8_t>(day);
    out->hour = static_cast<uint8_t>(second_of_day / 3600);
    out->minute = static_cast<uint8_t>(second_of_day % 3600 / 60);
    out->second = static_cast<uint8_t>(second_of_day % 60);
    return Datetime64Outcome::ok;
}

}  // namespace kestro
