// The string builder for processors with AVX-512 VL and BW: the width comes
// from a byte-maximum reduction over 64-byte blocks, the character count from
// mask-register population counts, and non-ASCII text is decoded 16 bytes
// at a time: every byte position gets the code point of a character starting
// there, and the positions that do start one are compressed together.
#include "deserialize/string_builder.hpp"

#include <immintrin.h>

#include <cstdint>

namespace kestro {

namespace {

// Byte mask of the first n (0..64) bytes of a block.
static inline __mmask64 first_bytes(size_t n) noexcept {
    return n >= 64 ? ~0ull : _bzhi_u64(~0ull, static_cast<unsigned>(n));
}

// The zero-masking forms of these instructions, with every lane selected,
// keep the compiler from reasoning about an undefined merge source.
constexpr __mmask16 kAllLanes = 0xFFFF;

static inline __m512i widen(__m128i bytes) noexcept { return _mm512_maskz_cvtepu8_epi32(kAllLanes, bytes); }

static inline __m512i shift_left(__m512i v, unsigned bits) noexcept {
    return _mm512_maskz_slli_epi32(kAllLanes, v, bits);
}

// Stores the first n of 16 code points as units of the string's width.
static inline void store_units(uint8_t* out, __m512i units, unsigned n) noexcept {
    _mm512_mask_cvtepi32_storeu_epi8(out, static_cast<__mmask16>((1u << n) - 1), units);
}
static inline void store_units(uint16_t* out, __m512i units, unsigned n) noexcept {
    _mm512_mask_cvtepi32_storeu_epi16(out, static_cast<__mmask16>((1u << n) - 1), units);
}
static inline void store_units(uint32_t* out, __m512i units, unsigned n) noexcept {
    _mm512_mask_storeu_epi32(out, static_cast<__mmask16>((1u << n) - 1), units);
}

// Decodes the characters starting in one block of 16 bytes, b0 .. b3 being
// the block and the block shifted by 1, 2 and 3 bytes; starts limits the
// positions taken.  Returns the number of characters stored.
template <class Unit>
static inline unsigned decode_block(__m128i x0, __m128i x1, __m128i x2, __m128i x3, __mmask16 starts,
                                    Unit* out) noexcept {
    const __m512i low6 = _mm512_set1_epi32(0x3F);
    const __m512i b0 = widen(x0);
    const __m512i p1 = _mm512_and_si512(widen(x1), low6);
    const __m512i p2 = _mm512_and_si512(widen(x2), low6);
    const __m512i p3 = _mm512_and_si512(widen(x3), low6);
    // Continuation bytes are never starts.
    starts &= _mm512_cmpneq_epi32_mask(_mm512_and_si512(b0, _mm512_set1_epi32(0xC0)), _mm512_set1_epi32(0x80));
    __m512i cp = b0;
    const __mmask16 two = _mm512_cmpge_epu32_mask(b0, _mm512_set1_epi32(0xC0));
    const __mmask16 three = _mm512_cmpge_epu32_mask(b0, _mm512_set1_epi32(0xE0));
    const __mmask16 four = _mm512_cmpge_epu32_mask(b0, _mm512_set1_epi32(0xF0));
    cp = _mm512_mask_mov_epi32(
        cp, two, _mm512_or_si512(shift_left(_mm512_and_si512(b0, _mm512_set1_epi32(0x1F)), 6), p1));
    if (three != 0) {
        const __m512i p12 = _mm512_or_si512(shift_left(p1, 6), p2);
        cp = _mm512_mask_mov_epi32(
            cp, three, _mm512_or_si512(shift_left(_mm512_and_si512(b0, _mm512_set1_epi32(0x0F)), 12), p12));
        if (four != 0) {
            const __m512i p123 = _mm512_or_si512(shift_left(p12, 6), p3);
            cp = _mm512_mask_mov_epi32(
                cp, four,
                _mm512_or_si512(shift_left(_mm512_and_si512(b0, _mm512_set1_epi32(0x07)), 18), p123));
        }
    }
    const unsigned n = static_cast<unsigned>(_mm_popcnt_u32(starts));
    store_units(out, _mm512_maskz_compress_epi32(starts, cp), n);
    return n;
}

template <class Unit>
static inline void store_ascii16(Unit* out, __m128i x) noexcept {
    store_units(out, widen(x), 16);
}

template <class Unit>
static void decode_text(const char* s, size_t len, Unit* out) noexcept {
    size_t i = 0;
    // A character starting in a block reads at most 3 bytes past it.
    for (; len - i >= 16 + 3; i += 16) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(x0) == 0) {
            store_ascii16(out, x0);
            out += 16;
            continue;
        }
        out += decode_block(x0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 1)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 2)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 3)), 0xFFFF, out);
    }
    // The rest with masked loads, which read nothing past the text.
    for (; i < len; i += 16) {
        const size_t rest = len - i;
        const auto load = [&](size_t at) {
            return _mm_maskz_loadu_epi8(static_cast<__mmask16>(first_bytes(rest > at ? rest - at : 0)), s + i + at);
        };
        out += decode_block(load(0), load(1), load(2), load(3), static_cast<__mmask16>(first_bytes(rest)), out);
    }
    *out = 0;
}

}  // namespace

PyObject* string_builder_avx512(const char* text, size_t len) noexcept {
    // The partial block comes first, so that every later block is whole.
    const size_t head = len % 64;
    const __mmask64 head_mask = first_bytes(head);
    __m512i vmax = _mm512_maskz_loadu_epi8(head_mask, text);
    size_t i = head;
    for (; len - i >= 256; i += 256) {
        __m512i a = _mm512_max_epu8(_mm512_loadu_si512(text + i), _mm512_loadu_si512(text + i + 64));
        __m512i b = _mm512_max_epu8(_mm512_loadu_si512(text + i + 128), _mm512_loadu_si512(text + i + 192));
        vmax = _mm512_max_epu8(vmax, _mm512_max_epu8(a, b));
    }
    for (; i < len; i += 64) vmax = _mm512_max_epu8(vmax, _mm512_loadu_si512(text + i));

    // In valid UTF-8 a byte of 0x80 or more implies a lead byte of 0xC2 or more.
    if (_mm512_movepi8_mask(vmax) == 0) return string_from_profile_sse2(text, len, TextProfile{len, 127});

    // Character starts are the bytes above 0xBF read as signed, i.e. above -65.
    const __m512i last_continuation = _mm512_set1_epi8(-65);
    size_t chars = static_cast<size_t>(
        _mm_popcnt_u64(_mm512_mask_cmpgt_epi8_mask(head_mask, _mm512_maskz_loadu_epi8(head_mask, text),
                                                   last_continuation)));
    for (i = head; i < len; i += 64)
        chars += static_cast<size_t>(
            _mm_popcnt_u64(_mm512_cmpgt_epi8_mask(_mm512_loadu_si512(text + i), last_continuation)));

    uint32_t maxchar = 255;
    if (_mm512_cmpge_epu8_mask(vmax, _mm512_set1_epi8(static_cast<char>(0xF0))) != 0) maxchar = 1114111;
    else if (_mm512_cmpge_epu8_mask(vmax, _mm512_set1_epi8(static_cast<char>(0xC4))) != 0) maxchar = 65535;

    void* data = nullptr;
    PyObject* str = new_str_for(TextProfile{chars, maxchar}, &data);
    if (str == nullptr) return nullptr;
    if (maxchar == 255) decode_text(text, len, static_cast<uint8_t*>(data));
    else if (maxchar == 65535) decode_text(text, len, static_cast<uint16_t*>(data));
    else decode_text(text, len, static_cast<uint32_t*>(data));
    return str;
}

}  // namespace kestro
