// The date, time, offset and UUID texts against printf, over every value of
// each field.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "arch/lanes.hpp"
#include "serialize/per_type/date_text.hpp"
#include "serialize/per_type/uuid.hpp"

namespace {

using namespace kestro;

// Runs a writer into a guarded buffer: checks that it wrote nothing past
// the end it returned (beyond `slack` bytes) and returns the text.
template <class Write>
std::string written(Write write, size_t slack = 0) {
    char buf[96];
    std::memset(buf, '#', sizeof buf);
    char* end = write(buf + 8);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(buf[i], '#');
    for (char* p = end + slack; p < buf + sizeof buf; ++p) EXPECT_EQ(*p, '#');
    return std::string(buf + 8, end);
}

std::string printed(const char* format, auto... args) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, format, args...);
    return std::string(buf, static_cast<size_t>(n));
}

TEST(DateText, EveryYearMonthAndDay) {
    for (uint32_t year = 0; year <= 9999; ++year) {
        const uint32_t month = year % 12 + 1, day = year % 31 + 1;
        ASSERT_EQ(written([&](char* p) { return put_date_text(p, year, month, day); }),
                  printed("%04u-%02u-%02u", year, month, day));
    }
}

TEST(DateText, EveryClockTime) {
    for (uint32_t s = 0; s < 86400; ++s) {
        ASSERT_EQ(written([&](char* p) { return put_clock_text(p, s / 3600, s / 60 % 60, s % 60); }),
                  printed("%02u:%02u:%02u", s / 3600, s / 60 % 60, s % 60));
    }
}

TEST(DateText, EveryFraction) {
    EXPECT_EQ(written([](char* p) { return put_fraction_text(p, 0, 0); }), "");
    for (uint32_t us = 1; us < 1000000; ++us) {
        ASSERT_EQ(written([&](char* p) { return put_fraction_text(p, us, 0); }), printed(".%06u", us));
    }
    for (uint32_t us : {1u, 500000u, 999999u}) {
        EXPECT_EQ(written([&](char* p) { return put_fraction_text(p, us, opt::OMIT_MICROSECONDS); }), "");
    }
}

// Every offset a timedelta of more than -24 h and less than 24 h can hold,
// against whole minutes rounded half away from zero, computed from the
// signed number of seconds.
TEST(DateText, EveryOffset) {
    for (int32_t days = -1; days <= 0; ++days) {
        for (int32_t seconds = 0; seconds < 86400; ++seconds) {
            const int32_t total = days * 86400 + seconds;
            std::string want;
            if (total == 0) {
                want = "+00:00";
            } else {
                const int32_t minutes = (std::abs(total) * 2 + 60) / 120;
                want = printed("%c%02d:%02d", total < 0 ? '-' : '+', minutes / 60, minutes % 60);
            }
            ASSERT_EQ(written([&](char* p) { return put_utc_offset_text(p, days, seconds, 0); }), want)
                << days << " " << seconds;
        }
    }
    EXPECT_EQ(written([](char* p) { return put_utc_offset_text(p, 0, 3570, 0); }), "+01:00");
    EXPECT_EQ(written([](char* p) { return put_utc_offset_text(p, -1, 85228, opt::UTC_Z); }), "-00:20");
    EXPECT_EQ(written([](char* p) { return put_utc_offset_text(p, 0, 0, opt::UTC_Z); }), "Z");
    EXPECT_EQ(written([](char* p) { return put_zero_offset(p, opt::UTC_Z | opt::NAIVE_UTC); }), "Z");
}

TEST(UuidText, RandomBytesAndTheExtremes) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 20000; ++round) {
        unsigned char bytes[16];
        for (auto& b : bytes) b = static_cast<unsigned char>(round < 256 ? round : rng());
        std::string want;
        for (int i = 0; i < 16; ++i) {
            want += printed("%02x", bytes[i]);
            if (i == 3 || i == 5 || i == 7 || i == 9) want += '-';
        }
        ASSERT_EQ(written([&](char* p) { return put_uuid_text(p, bytes); }), want);
        // The hexadecimal digits alone, in the plain form too.
        std::erase(want, '-');
        char hex[32];
        portable::hex32(bytes, hex);
        ASSERT_EQ(std::string(hex, 32), want);
    }
}

}  // namespace
