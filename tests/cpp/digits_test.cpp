#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "arch/lanes.hpp"
#include "serialize/per_type/digits.hpp"

namespace {

constexpr char GUARD = '\x5A';

template <class T>
std::string expected_text(T v) {
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// Writes v into exactly `room` bytes followed by guard bytes and checks the
// text, the count and that nothing past the room was touched.
template <class T>
void check(T v) {
    constexpr size_t room = sizeof(T) == 4 ? 10 : 20;
    char buf[room + 16];
    std::memset(buf, GUARD, sizeof buf);
    size_t n = sizeof(T) == 4 ? kestro::write_u32_text(static_cast<uint32_t>(v), buf)
                              : kestro::write_u64_text(static_cast<uint64_t>(v), buf);
    ASSERT_EQ(std::string(buf, n), expected_text(v)) << "value " << v;
    for (size_t i = room; i < sizeof buf; ++i) ASSERT_EQ(buf[i], GUARD) << "value " << v << " byte " << i;
}

template <class T>
std::vector<T> boundaries() {
    std::vector<T> out{0, 1, static_cast<T>(~T{0}), static_cast<T>(~T{0} - 1)};
    for (T p = 1;; p *= 10) {
        out.push_back(p - 1);
        out.push_back(p);
        out.push_back(p + 1);
        if (p > static_cast<T>(~T{0}) / 10) break;
    }
    for (unsigned b = 1; b < sizeof(T) * 8; ++b) {
        T p = T{1} << b;
        out.push_back(p - 1);
        out.push_back(p);
        out.push_back(p + 1);
    }
    return out;
}

TEST(DigitPairs, HoldsEveryTwoDigitNumberInOrder) {
    for (int v = 0; v < 100; ++v) {
        EXPECT_EQ(kestro::DIGIT_PAIRS[2 * v], '0' + v / 10);
        EXPECT_EQ(kestro::DIGIT_PAIRS[2 * v + 1], '0' + v % 10);
    }
}

TEST(WriteU32Text, Boundaries) {
    for (uint32_t v : boundaries<uint32_t>()) check(v);
}

TEST(WriteU64Text, Boundaries) {
    for (uint64_t v : boundaries<uint64_t>()) check(v);
}

TEST(WriteU32Text, EveryValueBelowOneHundredThousand) {
    for (uint32_t v = 0; v < 100000; ++v) check(v);
}

TEST(WriteU32Text, RandomValuesOfEveryWidth) {
    std::mt19937_64 rng(0x5eed32);
    for (int i = 0; i < 200000; ++i) {
        unsigned width = 1 + static_cast<unsigned>(rng() % 32);
        uint32_t v = static_cast<uint32_t>(rng()) >> (32 - width);
        check(v);
    }
}

TEST(WriteU64Text, RandomValuesOfEveryWidth) {
    std::mt19937_64 rng(0x5eed64);
    for (int i = 0; i < 200000; ++i) {
        unsigned width = 1 + static_cast<unsigned>(rng() % 64);
        uint64_t v = rng() >> (64 - width);
        check(v);
    }
}

TEST(WriteU64Text, AgreesWithU32WriterOnSmallValues) {
    std::mt19937 rng(7);
    for (int i = 0; i < 10000; ++i) {
        uint32_t v = static_cast<uint32_t>(rng());
        char a[20], b[20];
        size_t na = kestro::write_u32_text(v, a);
        size_t nb = kestro::write_u64_text(v, b);
        ASSERT_EQ(std::string(a, na), std::string(b, nb));
    }
}

uint64_t power_of_ten(int n) {
    uint64_t p = 1;
    while (n-- > 0) p *= 10;
    return p;
}

// The sixteen digits of v with its leading zeros, as the standard library
// writes them.
std::string padded16(uint64_t v) {
    std::string digits = expected_text(v);
    return std::string(16 - digits.size(), '0') + digits;
}

// The sixteen digits in the family's form and in the plain one: both must
// be the standard library's text, and so must what the float writer reads
// back from them (the significant digits, the digits from a place on).
void expect_digits16(uint64_t v) {
    const std::string want = padded16(v);
    const auto family = kestro::lanes::digits16_text(v);
    const auto plain = kestro::portable::digits16_text(v);
    char text[16];
    kestro::lanes::store16(text, family);
    ASSERT_EQ(std::string(text, 16), want) << v;
    kestro::portable::store16(text, plain);
    ASSERT_EQ(std::string(text, 16), want) << v;
    const size_t last = want.find_last_not_of('0');
    const int significant = last == std::string::npos ? 0 : static_cast<int>(last) + 1;
    ASSERT_EQ(kestro::lanes::significant_digits16(family), significant) << v;
    ASSERT_EQ(kestro::portable::significant_digits16(plain), significant) << v;
    const int from = static_cast<int>(v % 16);
    kestro::lanes::store16_from(text, family, from);
    ASSERT_EQ(std::string(text, static_cast<size_t>(16 - from)), want.substr(static_cast<size_t>(from))) << v << " from " << from;
    kestro::portable::store16_from(text, plain, from);
    ASSERT_EQ(std::string(text, static_cast<size_t>(16 - from)), want.substr(static_cast<size_t>(from))) << v << " from " << from;
}

// Reads sixteen digits back as a number, which is cheaper than formatting.
template <class Digits, class Store>
uint64_t read_back(Digits d, Store store) {
    char text[16];
    store(text, d);
    uint64_t back = 0;
    for (int i = 0; i < 16; ++i) {
        if (text[i] < '0' || text[i] > '9') return ~uint64_t{0};
        back = back * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return back;
}

TEST(Digits16Text, EveryEightDigitHalf) {
    // Each half goes through the same lanes: every value below 10^8 in the
    // low half, and a stride of them in the high half.
#if defined(__SANITIZE_ADDRESS__) || defined(__aarch64__)
    constexpr uint64_t step = 97;
#else
    constexpr uint64_t step = 1;
#endif
    for (uint64_t v = 0; v < 100000000; v += step) {
        ASSERT_EQ(read_back(kestro::lanes::digits16_text(v), kestro::lanes::store16), v);
        ASSERT_EQ(read_back(kestro::portable::digits16_text(v), kestro::portable::store16), v);
    }
    for (uint64_t v = 0; v < 100000000; v += 9973) expect_digits16(v * 100000000);
}

TEST(Digits16Text, BoundariesAndRandomValues) {
    for (uint64_t v : boundaries<uint64_t>()) {
        if (v >= 10000000000000000ull) continue;
        expect_digits16(v);
    }
    std::mt19937_64 rng(0xd16);
    for (int i = 0; i < 200000; ++i) {
        // Many with trailing zeros, as the significands of short decimals have.
        const uint64_t v = rng() % 10000000000000000ull;
        expect_digits16(i % 2 == 0 ? v : v - v % power_of_ten(static_cast<int>(rng() % 16)));
    }
}

}  // namespace
