#include "deserialize/utf8.hpp"

#include "arch/routines.hpp"
#include "deserialize/utf8_words.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestro {

using namespace utf8_words;

namespace {

// What a lead byte allows: how many continuation bytes follow it, and the
// range of the first of them (the tighter ranges exclude overlong forms,
// surrogates and code points above U+10FFFF).  follow == 0 marks a byte that
// cannot start a multi-byte character.
struct LeadRule {
    uint8_t follow;
    uint8_t lo;
    uint8_t hi;
};

constexpr std::array<LeadRule, 256> make_lead_rules() {
    std::array<LeadRule, 256> t{};
    for (unsigned c = 0xC2; c <= 0xDF; ++c) t[c] = {1, 0x80, 0xBF};
    for (unsigned c = 0xE1; c <= 0xEF; ++c) t[c] = {2, 0x80, 0xBF};
    t[0xE0] = {2, 0xA0, 0xBF};
    t[0xED] = {2, 0x80, 0x9F};
    for (unsigned c = 0xF1; c <= 0xF3; ++c) t[c] = {3, 0x80, 0xBF};
    t[0xF0] = {3, 0x90, 0xBF};
    t[0xF4] = {3, 0x80, 0x8F};
    return t;
}

constexpr std::array<LeadRule, 256> kLeadRules = make_lead_rules();

}  // namespace

// ---- validation --------------------------------------------------------------

size_t utf8_valid_prefix(const char* text, size_t len) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < len) {
        if (s[i] < 0x80) {
            // Skip an ASCII run a word at a time.
            ++i;
            while (len - i >= 16) {
                uint64_t hi = (load_u64(s + i) | load_u64(s + i + 8)) & kHighBits;
                if (hi != 0) break;
                i += 16;
            }
            while (len - i >= 8) {
                uint64_t hi = load_u64(s + i) & kHighBits;
                if (hi != 0) {
                    i += static_cast<size_t>(__builtin_ctzll(hi)) / 8;
                    break;
                }
                i += 8;
            }
            continue;
        }
        const LeadRule rule = kLeadRules[s[i]];
        if (rule.follow == 0 || len - i <= rule.follow) return i;
        if (s[i + 1] < rule.lo || s[i + 1] > rule.hi) return i;
        for (size_t k = 2; k <= rule.follow; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return i;
        i += rule.follow + 1u;
    }
    return i;
}

bool utf8_valid_portable(const char* text, size_t len) noexcept { return utf8_valid_prefix(text, len) == len; }

bool utf8_valid(const char* text, size_t len) noexcept {
    // Below 32 bytes the word scan is faster than a vector validator's
    // padded copy of its last block.
    if (len >= 32) return ROUTINES.utf8_valid(text, len);
    if (short_text_is_ascii(reinterpret_cast<const unsigned char*>(text), len)) return true;
    return utf8_valid_prefix(text, len) == len;
}

// ---- counting ------------------------------------------------------------------

TextProfile text_profile_portable(const char* text, size_t len) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (len < 16) return short_text_profile(s, len);
    // Leading ASCII words need no counting: most texts end here.
    size_t i = 0;
    while (len - i >= 8 && (load_u64(s + i) & kHighBits) == 0) i += 8;
    if (i == len) return {len, 127};
    uint64_t continuations = 0;  // counted in bytes, summed every 255 words
    auto sum_counters = [](uint64_t c) {  // the eight byte counters, through 16-bit lanes
        c = (c & 0x00FF00FF00FF00FFull) + ((c >> 8) & 0x00FF00FF00FF00FFull);
        return static_cast<size_t>((c * 0x0001000100010001ull) >> 48);
    };
    size_t chars = len;
    uint64_t from_c4 = 0, from_f0 = 0, high = 0;
    auto take = [&](uint64_t w) {
        high |= w;
        from_c4 |= w & (w << 1) & ((w << 2) | (w << 3) | (w << 4) | (w << 5));
        from_f0 |= w & (w << 1) & (w << 2) & (w << 3);
        continuations += continuation_bits(w) >> 7;
    };
    while (len - i >= 8) {
        const size_t end = i + 8 * std::min<size_t>((len - i) / 8, 255);
        for (; i < end; i += 8) take(load_u64(s + i));
        chars -= sum_counters(continuations);
        continuations = 0;
    }
    if (i < len) {
        // The bytes not seen yet, from the word that ends the text; the bytes
        // already seen are shifted out and read as zero, which counts nowhere.
        const uint64_t w = load_u64(s + len - 8);
        take(w >> (8 * (8 - (len - i))));
        chars -= sum_counters(continuations);
    }
    uint32_t maxchar = 127;
    if (from_f0 & kHighBits) maxchar = 1114111;
    else if (from_c4 & kHighBits) maxchar = 65535;
    else if (high & kHighBits) maxchar = 255;
    return {chars, maxchar};
}

TextProfile text_profile(const char* text, size_t len) noexcept { return ROUTINES.text_profile(text, len); }

size_t utf8_count_chars(const char* text, size_t len) noexcept {
    return text_profile(text, len).chars;
}

}  // namespace kestro
