// The calendar of datetime64 conversion over every written day, including
// year 0, which the datetime module (the Python tests' other oracle) lacks.
#include <gtest/gtest.h>

#include "ffi/numpy/datetime.hpp"

#include <chrono>
#include <tuple>

namespace {

namespace chr = std::chrono;

TEST(CivilFromDays, AgreesWithTheStandardCalendarOnEveryWrittenDay) {
    // 0000-01-01 is day -719528, 9999-12-31 day 2932896; a margin of a few eras.
    for (int64_t day = -719528 - 1000; day <= 2932896 + 1000; ++day) {
        int64_t year;
        unsigned month, d;
        kestro::civil_from_days(day, &year, &month, &d);
        const chr::year_month_day ymd{chr::sys_days{chr::days{day}}};
        ASSERT_EQ(year, static_cast<int>(ymd.year())) << day;
        ASSERT_EQ(month, static_cast<unsigned>(ymd.month())) << day;
        ASSERT_EQ(d, static_cast<unsigned>(ymd.day())) << day;
    }
}

TEST(Datetime64ToCivil, NanosecondCountsAtBothEndsOfSixtyFourBits) {
    kestro::CivilDateTime c;
    ASSERT_EQ(kestro::datetime64_to_civil(INT64_MIN, kestro::Datetime64Unit::nanoseconds, 0, &c),
              kestro::Datetime64Outcome::ok);
    EXPECT_EQ(std::make_tuple(c.year, c.month, c.day, c.hour, c.minute, c.second, c.nanosecond),
              std::make_tuple(1677, 9, 21, 0, 12, 43, 145224192));
    ASSERT_EQ(kestro::datetime64_to_civil(INT64_MAX, kestro::Datetime64Unit::nanoseconds, 0, &c),
              kestro::Datetime64Outcome::ok);
    EXPECT_EQ(std::make_tuple(c.year, c.month, c.day, c.hour, c.minute, c.second, c.nanosecond),
              std::make_tuple(2262, 4, 11, 23, 47, 16, 854775807));
}

}  // namespace
