#include "deserialize/utf8.hpp"

#include "runtime/cpu.hpp"

#include <emmintrin.h>

#include <array>
#include <cstring>

namespace kestro {

namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

inline uint64_t load_u64(const unsigned char* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline uint32_t load_u32(const unsigned char* p) noexcept {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

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

// ---- character counting and width ------------------------------------------

// Bit 7 of each byte of w that is a continuation byte (10xxxxxx).
inline uint64_t continuation_bits(uint64_t w) noexcept { return w & ~(w << 1) & kHighBits; }

// Number of set high bits, one per byte, without a popcount instruction.
inline size_t count_high_bits(uint64_t bits) noexcept {
    return static_cast<size_t>(((bits >> 7) * 0x0101010101010101ull) >> 56);
}

// Whether some byte of w is at least 0xC4 (11xxxxxx with one of bits 5-2 set).
inline bool has_byte_from_c4(uint64_t w) noexcept {
    return (w & (w << 1) & ((w << 2) | (w << 3) | (w << 4) | (w << 5)) & kHighBits) != 0;
}

// Whether some byte of w is at least 0xF0.
inline bool has_byte_from_f0(uint64_t w) noexcept {
    return (w & (w << 1) & (w << 2) & (w << 3) & kHighBits) != 0;
}

// Texts of fewer than 16 bytes, read as two words with zero bytes past the end.
// Zero bytes are neither continuation bytes nor wide, so they change nothing.
TextProfile short_text_profile(const unsigned char* s, size_t len) noexcept {
    uint64_t a = 0, b = 0;
    if (len >= 8) {
        a = load_u64(s);
        // Bytes 8 .. len-1, taken from the word ending at the last byte.
        if (len > 8) b = load_u64(s + len - 8) >> (8 * (16 - len));
    } else if (len >= 4) {
        // Two overlapping halves; the shared bytes are equal, so OR keeps them.
        a = load_u32(s) | (uint64_t{load_u32(s + len - 4)} << (8 * (len - 4)));
    } else if (len > 0) {
        a = s[0] | (uint64_t{s[len / 2]} << (8 * (len / 2))) | (uint64_t{s[len - 1]} << (8 * (len - 1)));
    }
    if (((a | b) & kHighBits) == 0) return {len, 127};
    size_t chars = len - count_high_bits(continuation_bits(a)) - count_high_bits(continuation_bits(b));
    uint32_t maxchar = 255;
    if (has_byte_from_f0(a) || has_byte_from_f0(b)) maxchar = 1114111;
    else if (has_byte_from_c4(a) || has_byte_from_c4(b)) maxchar = 65535;
    return {chars, maxchar};
}

// 16 zero bytes then 16 ones: loaded at offset n it keeps the last n bytes of
// a 16-byte block.
alignas(32) constexpr unsigned char kTailMask[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline bool any_byte_from(__m128i v, unsigned char bound) noexcept {
    __m128i b = _mm_set1_epi8(static_cast<char>(bound));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, b), v)) != 0;
}

inline size_t sum_byte_counters(__m128i counters) noexcept {
    __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    return static_cast<size_t>(_mm_cvtsi128_si64(sums)) +
           static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}

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

namespace {

// Whether every byte of a text shorter than 32 bytes is ASCII, read as a few
// (possibly overlapping) words without a branch per byte.
inline bool short_text_is_ascii(const unsigned char* s, size_t len) noexcept {
    uint64_t any = 0;
    if (len >= 8) {
        for (size_t i = 0; i + 8 <= len; i += 8) any |= load_u64(s + i);
        any |= load_u64(s + len - 8);
    } else if (len >= 4) {
        any = load_u32(s) | load_u32(s + len - 4);
    } else if (len > 0) {
        any = s[0] | s[len / 2] | s[len - 1];
    }
    return (any & kHighBits) == 0;
}

}  // namespace

bool utf8_valid(const char* text, size_t len) noexcept {
    // Below 32 bytes the word scan is faster than the vector validator's
    // padded copy of its last block.
    if (len >= 32 && has_avx2()) return utf8_valid_avx2(text, len);
    if (len < 32 && short_text_is_ascii(reinterpret_cast<const unsigned char*>(text), len)) return true;
    return utf8_valid_prefix(text, len) == len;
}

// ---- counting ------------------------------------------------------------------

TextProfile text_profile_sse2(const char* text, size_t len) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (len < 16) return short_text_profile(s, len);

    // Leading ASCII blocks need no counting: most texts end here.
    size_t i = 0;
    while (len - i >= 16 && _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i))) == 0)
        i += 16;
    if (i == len) return {len, 127};
    if (len - i < 16) {
        if (_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + len - 16))) == 0)
            return {len, 127};
        i = len - 16;
    }

    // A byte is a character start when, read as signed, it is above -65 (0xBF).
    const __m128i last_continuation = _mm_set1_epi8(-65);
    __m128i vmax = _mm_setzero_si128();
    size_t chars = i;
    while (len - i >= 16) {
        // At most 255 steps, so that no byte counter wraps.
        size_t steps = (len - i) / 16;
        if (steps > 255) steps = 255;
        __m128i counters = _mm_setzero_si128();
        for (size_t k = 0; k < steps; ++k, i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            counters = _mm_sub_epi8(counters, _mm_cmpgt_epi8(v, last_continuation));
            vmax = _mm_max_epu8(vmax, v);
        }
        chars += sum_byte_counters(counters);
    }
    if (i < len) {
        // The last 16 bytes, counting only those not seen yet.
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + len - 16));
        __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kTailMask + (len - i)));
        __m128i starts = _mm_and_si128(_mm_cmpgt_epi8(v, last_continuation), keep);
        chars += sum_byte_counters(_mm_and_si128(starts, _mm_set1_epi8(1)));
        vmax = _mm_max_epu8(vmax, v);
    }
    uint32_t maxchar = 127;
    if (any_byte_from(vmax, 0xF0)) maxchar = 1114111;
    else if (any_byte_from(vmax, 0xC4)) maxchar = 65535;
    else if (_mm_movemask_epi8(vmax) != 0) maxchar = 255;
    return {chars, maxchar};
}

TextProfile text_profile(const char* text, size_t len) noexcept {
    if (len >= 32 && has_avx2()) return text_profile_avx2(text, len);
    return text_profile_sse2(text, len);
}

size_t utf8_count_chars(const char* text, size_t len) noexcept {
    return text_profile(text, len).chars;
}

}  // namespace kestro
