// UTF-8 in 32-byte AVX2 blocks: validation, and character count and width.
//
// The validator: every byte is classified together with the one
// before it by three 16-entry table lookups (high nibble of the previous byte,
// low nibble of the previous byte, high nibble of the byte itself); each table
// entry is the set of defects that pair may show, and the AND of the three is
// the set it does show.  Third and fourth bytes of long sequences are checked
// separately from the bytes two and three places back.
#include "deserialize/utf8.hpp"

#include <immintrin.h>

namespace kestro {

namespace {

// Defects of a pair (previous byte, byte).
constexpr unsigned char kTooShort = 1 << 0;    // lead byte, then no continuation byte
constexpr unsigned char kTooLong = 1 << 1;     // ASCII, then a continuation byte
constexpr unsigned char kOverlong3 = 1 << 2;   // E0 80..9F
constexpr unsigned char kTooLarge = 1 << 3;    // F4 90..BF, F5..FF 90..BF
constexpr unsigned char kSurrogate = 1 << 4;   // ED A0..BF
constexpr unsigned char kOverlong2 = 1 << 5;   // C0 or C1, then any continuation byte
constexpr unsigned char kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr unsigned char kOverlong4 = 1 << 6;   // F0 80..8F
constexpr unsigned char kTwoConts = 1 << 7;    // continuation, then continuation
// Defects decided by the high nibbles alone.
constexpr unsigned char kCarry = kTooShort | kTooLong | kTwoConts;

#define KESTRO_TABLE16(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p)                                   \
    _mm256_setr_epi8(static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d), \
                     static_cast<char>(e), static_cast<char>(f), static_cast<char>(g), static_cast<char>(h), \
                     static_cast<char>(i), static_cast<char>(j), static_cast<char>(k), static_cast<char>(l), \
                     static_cast<char>(m), static_cast<char>(n), static_cast<char>(o), static_cast<char>(p), \
                     static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d), \
                     static_cast<char>(e), static_cast<char>(f), static_cast<char>(g), static_cast<char>(h), \
                     static_cast<char>(i), static_cast<char>(j), static_cast<char>(k), static_cast<char>(l), \
                     static_cast<char>(m), static_cast<char>(n), static_cast<char>(o), static_cast<char>(p))

struct Tables {
    __m256i prev_high, prev_low, cur_high, nibble, incomplete_bound, third_bias, fourth_bias, bit7;
};

Tables make_tables() noexcept {
    Tables t;
    t.prev_high = KESTRO_TABLE16(
        // 0_______: ASCII
        kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
        // 10______: continuation
        kTwoConts, kTwoConts, kTwoConts, kTwoConts,
        // 1100____
        kTooShort | kOverlong2,
        // 1101____
        kTooShort,
        // 1110____
        kTooShort | kOverlong3 | kSurrogate,
        // 1111____
        kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
    t.prev_low = KESTRO_TABLE16(
        // ____0000: C0, E0, F0
        kCarry | kOverlong3 | kOverlong2 | kOverlong4,
        // ____0001: C1
        kCarry | kOverlong2,
        kCarry, kCarry,
        // ____0100: F4
        kCarry | kTooLarge,
        // ____0101 and up: F5..FF
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        // ____1101: ED (and FD)
        kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000);
    t.cur_high = KESTRO_TABLE16(
        // 0_______: ASCII
        kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
        // 1000____
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
        // 1001____
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
        // 101_____
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        // 11______: lead bytes
        kTooShort, kTooShort, kTooShort, kTooShort);
    t.nibble = _mm256_set1_epi8(0x0F);
    // A block ends inside a character when one of its last three bytes starts
    // a sequence longer than the bytes left: saturating subtraction of these
    // bounds leaves a non-zero byte exactly there.
    t.incomplete_bound = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    // Bytes two places after an E0..FF lead, or three after an F0..FF lead,
    // must be continuation bytes: these biases put bit 7 on exactly those.
    t.third_bias = _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80));
    t.fourth_bias = _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80));
    t.bit7 = _mm256_set1_epi8(static_cast<char>(0x80));
    return t;
}

#undef KESTRO_TABLE16

// The 32 bytes that end n bytes before the end of cur (n = 1, 2, 3): the last
// n bytes of prev followed by the first 32 - n bytes of cur.
template <int N>
static inline __m256i shifted_in(__m256i cur, __m256i prev) noexcept {
    return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(prev, cur, 0x21), 16 - N);
}

static inline __m256i high_nibble(__m256i v, const Tables& t) noexcept {
    return _mm256_and_si256(_mm256_srli_epi16(v, 4), t.nibble);
}

// The defects of one 32-byte block given the block before it.
static inline __m256i block_defects(__m256i cur, __m256i prev, const Tables& t) noexcept {
    __m256i prev1 = shifted_in<1>(cur, prev);
    __m256i pair = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(t.prev_high, high_nibble(prev1, t)),
                         _mm256_shuffle_epi8(t.prev_low, _mm256_and_si256(prev1, t.nibble))),
        _mm256_shuffle_epi8(t.cur_high, high_nibble(cur, t)));
    __m256i third = _mm256_subs_epu8(shifted_in<2>(cur, prev), t.third_bias);
    __m256i fourth = _mm256_subs_epu8(shifted_in<3>(cur, prev), t.fourth_bias);
    __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), t.bit7);
    // Two continuation bytes in a row are right exactly where one must continue.
    return _mm256_xor_si256(pair, must_continue);
}

}  // namespace

bool utf8_valid_avx2(const char* text, size_t len) noexcept {
    const Tables t = make_tables();
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    __m256i defects = _mm256_setzero_si256();
    __m256i prev = _mm256_setzero_si256();
    __m256i prev_incomplete = _mm256_setzero_si256();

    size_t i = 0;
    alignas(32) unsigned char tail[64];
    bool last = false;
    while (!last) {
        const unsigned char* block = s + i;
        if (len - i < 64) {
            // The last, partial block is read from a copy padded with ASCII
            // zeros, which also exposes a sequence cut off by the end.
            if (i == len) break;
            __builtin_memset(tail, 0, sizeof tail);
            __builtin_memcpy(tail, s + i, len - i);
            block = tail;
            last = true;
        }
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
            // All ASCII: only a character left open by the previous block can fail.
            defects = _mm256_or_si256(defects, prev_incomplete);
            prev_incomplete = _mm256_setzero_si256();
        } else {
            defects = _mm256_or_si256(defects, block_defects(a, prev, t));
            defects = _mm256_or_si256(defects, block_defects(b, a, t));
            prev_incomplete = _mm256_subs_epu8(b, t.incomplete_bound);
        }
        prev = b;
        i += 64;
    }
    defects = _mm256_or_si256(defects, prev_incomplete);
    return _mm256_testz_si256(defects, defects) != 0;
}

// ---- character count and width ------------------------------------------------

namespace {

// 32 zero bytes then 32 ones: loaded at offset n it keeps the last n bytes of
// a 32-byte block.
alignas(64) const unsigned char kTailMask32[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline size_t sum_counters32(__m256i counters) noexcept {
    __m256i sums = _mm256_sad_epu8(counters, _mm256_setzero_si256());
    __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return static_cast<size_t>(_mm_cvtsi128_si64(halves)) +
           static_cast<size_t>(_mm_extract_epi64(halves, 1));
}

inline bool any_byte_from32(__m256i v, unsigned char bound) noexcept {
    __m256i b = _mm256_set1_epi8(static_cast<char>(bound));
    return _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, b), v)) != 0;
}

}  // namespace

TextProfile text_profile_avx2(const char* text, size_t len) noexcept {
    if (len < 32) return text_profile_sse2(text, len);
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    // Leading ASCII blocks need no counting: most texts end here.
    size_t i = 0;
    while (len - i >= 32 &&
           _mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i))) == 0)
        i += 32;
    if (i == len) return {len, 127};
    if (len - i < 32) {
        if (_mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + len - 32))) == 0)
            return {len, 127};
        i = len - 32;
    }

    // A byte is a character start when, read as signed, it is above -65 (0xBF).
    const __m256i last_continuation = _mm256_set1_epi8(-65);
    __m256i vmax = _mm256_setzero_si256();
    size_t chars = i;
    while (len - i >= 32) {
        // At most 255 steps, so that no byte counter wraps.
        size_t steps = (len - i) / 32;
        if (steps > 255) steps = 255;
        __m256i counters = _mm256_setzero_si256();
        for (size_t k = 0; k < steps; ++k, i += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
            counters = _mm256_sub_epi8(counters, _mm256_cmpgt_epi8(v, last_continuation));
            vmax = _mm256_max_epu8(vmax, v);
        }
        chars += sum_counters32(counters);
    }
    if (i < len) {
        // The last 32 bytes, counting only those not seen yet.
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + len - 32));
        __m256i keep = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kTailMask32 + (len - i)));
        __m256i starts = _mm256_and_si256(_mm256_cmpgt_epi8(v, last_continuation), keep);
        chars += static_cast<size_t>(_mm_popcnt_u32(static_cast<unsigned>(_mm256_movemask_epi8(starts))));
        vmax = _mm256_max_epu8(vmax, v);
    }
    uint32_t maxchar = 127;
    if (any_byte_from32(vmax, 0xF0)) maxchar = 1114111;
    else if (any_byte_from32(vmax, 0xC4)) maxchar = 65535;
    else if (_mm256_movemask_epi8(vmax) != 0) maxchar = 255;
    return {chars, maxchar};
}

}  // namespace kestro
