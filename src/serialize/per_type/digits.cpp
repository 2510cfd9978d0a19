#include "serialize/per_type/digits.hpp"

#include "arch/lanes.hpp"

#include <cstring>

namespace kestro {

alignas(64) const char DIGIT_PAIRS[200] = {
    '0', '0', '0', '1', '0', '2', '0', '3', '0', '4', '0', '5', '0', '6', '0', '7', '0', '8', '0', '9',
    '1', '0', '1', '1', '1', '2', '1', '3', '1', '4', '1', '5', '1', '6', '1', '7', '1', '8', '1', '9',
    '2', '0', '2', '1', '2', '2', '2', '3', '2', '4', '2', '5', '2', '6', '2', '7', '2', '8', '2', '9',
    '3', '0', '3', '1', '3', '2', '3', '3', '3', '4', '3', '5', '3', '6', '3', '7', '3', '8', '3', '9',
    '4', '0', '4', '1', '4', '2', '4', '3', '4', '4', '4', '5', '4', '6', '4', '7', '4', '8', '4', '9',
    '5', '0', '5', '1', '5', '2', '5', '3', '5', '4', '5', '5', '5', '6', '5', '7', '5', '8', '5', '9',
    '6', '0', '6', '1', '6', '2', '6', '3', '6', '4', '6', '5', '6', '6', '6', '7', '6', '8', '6', '9',
    '7', '0', '7', '1', '7', '2', '7', '3', '7', '4', '7', '5', '7', '6', '7', '7', '7', '8', '7', '9',
    '8', '0', '8', '1', '8', '2', '8', '3', '8', '4', '8', '5', '8', '6', '8', '7', '8', '8', '8', '9',
    '9', '0', '9', '1', '9', '2', '9', '3', '9', '4', '9', '5', '9', '6', '9', '7', '9', '8', '9', '9',
};

namespace {

// Quotients by multiply and shift, exact over the ranges the writers use them on.
inline uint32_t div100(uint32_t v) noexcept {  // v < 10^4
    return (v * 5243u) >> 19;
}
inline uint32_t div10000(uint32_t v) noexcept {  // v < 10^8
    return static_cast<uint32_t>((uint64_t{v} * 109951163u) >> 40);
}
inline uint32_t div1e8(uint64_t v) noexcept {  // v < 10^16
    return static_cast<uint32_t>(
        static_cast<uint64_t>((static_cast<unsigned __int128>(v) * 0xABCC77118461CEFDull) >> 90));
}

// A value below 100 without a leading zero: one or two characters.
inline size_t put_lead2(char* dst, uint32_t v) noexcept {
    bool two = v >= 10;
    std::memcpy(dst, DIGIT_PAIRS + 2 * v + !two, 2);
    return 1 + two;
}

// All eight digits of a value below 10^8.
inline void put8(char* dst, uint32_t v) noexcept {
    uint32_t hi = div10000(v);
    put_4digits(dst, hi);
    put_4digits(dst + 4, v - hi * 10000);
}

// A value below 10^4 without leading zeros.
inline size_t put_lead4(char* dst, uint32_t v) noexcept {
    if (v < 100) return put_lead2(dst, v);
    uint32_t hi = div100(v);
    size_t n = put_lead2(dst, hi);
    put_2digits(dst + n, v - hi * 100);
    return n + 2;
}

// A value below 10^8 without leading zeros.
inline size_t put_lead8(char* dst, uint32_t v) noexcept {
    if (v < 10000) return put_lead4(dst, v);
    uint32_t hi = div10000(v);
    size_t n = put_lead4(dst, hi);
    put_4digits(dst + n, v - hi * 10000);
    return n + 4;
}

}  // namespace

size_t write_u32_text(uint32_t v, char* dst) noexcept {
    if (v < 100) return put_lead2(dst, v);
    if (v < 100000000) return put_lead8(dst, v);
    uint32_t hi = v / 100000000;  // 1 to 42
    size_t n = put_lead2(dst, hi);
    put8(dst + n, v - hi * 100000000);
    return n + 8;
}

size_t write_u64_text(uint64_t v, char* dst) noexcept {
    if (v < 100000000) return put_lead8(dst, static_cast<uint32_t>(v));
    if (v < 10000000000000000ull) {
        uint32_t hi = div1e8(v);
        size_t n = put_lead8(dst, hi);
        put8(dst + n, static_cast<uint32_t>(v - uint64_t{hi} * 100000000));
        return n + 8;
    }
    // Seventeen digits and more (ids, hashes): the last sixteen at once.
    const uint64_t lead = v / 10000000000000000ull;  // 1 to 1844
    const size_t n = put_lead4(dst, static_cast<uint32_t>(lead));
    lanes::store16(dst + n, lanes::digits16_text(v - lead * 10000000000000000ull));
    return n + 16;
}

}  // namespace kestro
