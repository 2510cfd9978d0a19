#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "arch/lanes.hpp"
#include "serialize/per_type/str.hpp"
#include "serialize/per_type/str_value.hpp"
#include "variants.hpp"

namespace {

using kestro::StringWriter;

// JSON string text by the plain rules, one byte at a time.
std::string reference_escape(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

constexpr size_t GUARD_BYTES = 64;
constexpr unsigned char GUARD = 0xA5;

// Runs the writer on a copy of text in a block of exactly its size, with an
// output room of exactly 8 * len + 32 bytes followed by guard bytes.
std::string run(StringWriter writer, const std::string& text) {
    size_t len = text.size();
    std::unique_ptr<char[]> input(new char[len]);
    if (len != 0) std::memcpy(input.get(), text.data(), len);
    size_t room = 8 * len + 32;
    std::vector<unsigned char> out(room + GUARD_BYTES, GUARD);
    size_t n = writer(reinterpret_cast<char*>(out.data()), input.get(), len);
    EXPECT_GE(n, 2u);
    EXPECT_LE(n, 6 * len + 2);
    for (size_t i = room; i < out.size(); ++i) {
        if (out[i] != GUARD) {
            ADD_FAILURE() << "store past the reserved room at offset " << i << " for length " << len;
            break;
        }
    }
    return std::string(reinterpret_cast<char*>(out.data()), n);
}

using Variant = kestro_test::Variant<StringWriter>;

class StringWriterTest : public ::testing::TestWithParam<Variant> {
  protected:
    void SetUp() override {
        if (!GetParam().runs) GTEST_SKIP() << "this processor does not run " << GetParam().name;
    }
    void expect_escaped(const std::string& text) {
        ASSERT_EQ(run(GetParam().fn, text), reference_escape(text)) << "text length " << text.size();
    }
};

std::string plain_text(size_t len) {
    std::string s(len, ' ');
    for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

TEST_P(StringWriterTest, EveryLengthOfPlainText) {
    for (size_t len = 0; len <= 200; ++len) expect_escaped(plain_text(len));
}

TEST_P(StringWriterTest, EachEscapeAtEveryPosition) {
    const char escapes[] = {'"', '\\', '\0', '\x1f', '\b', '\n'};
    for (size_t len = 1; len <= 140; ++len) {
        for (size_t pos = 0; pos < len; ++pos) {
            for (char e : escapes) {
                std::string s = plain_text(len);
                s[pos] = e;
                expect_escaped(s);
            }
        }
    }
}

TEST_P(StringWriterTest, TwoEscapesAtEveryPairOfPositions) {
    for (size_t len : {17u, 33u, 64u, 70u}) {
        for (size_t a = 0; a < len; ++a) {
            for (size_t b = a; b < len; ++b) {
                std::string s = plain_text(len);
                s[a] = '"';
                s[b] = '\x01';
                expect_escaped(s);
            }
        }
    }
}

TEST_P(StringWriterTest, EveryByteValueAloneAndEmbedded) {
    for (int c = 0; c < 256; ++c) {
        std::string one(1, static_cast<char>(c));
        expect_escaped(one);
        for (size_t len : {2u, 3u, 4u, 5u, 7u, 8u, 9u, 12u, 15u, 16u, 17u, 31u, 32u, 33u, 48u, 65u}) {
            for (size_t pos : {size_t{0}, size_t{1}, len / 2, len - 2, len - 1}) {
                std::string s = plain_text(len);
                s[pos] = static_cast<char>(c);
                expect_escaped(s);
            }
        }
    }
}

TEST_P(StringWriterTest, AllBytesTogether) {
    std::string s;
    for (int c = 0; c < 256; ++c) s += static_cast<char>(c);
    expect_escaped(s);
    std::string reversed(s.rbegin(), s.rend());
    expect_escaped(reversed);
}

TEST_P(StringWriterTest, NonAsciiTextIsCopiedUnchanged) {
    const std::string pieces[] = {"caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "\xf0\x9f\x98\x80",
                                  "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", " \"q\" ", "\t"};
    std::string s;
    for (int i = 0; i < 40; ++i) {
        s += pieces[i % 6];
        expect_escaped(s);
    }
    std::string e_acute = "\xc3\xa9";
    EXPECT_EQ(run(GetParam().fn, e_acute), "\"\xc3\xa9\"");
}

TEST_P(StringWriterTest, OnlyControlCharactersUseTheWholeRoomEstimate) {
    for (size_t n : {0u, 1u, 7u, 15u, 16u, 17u, 31u, 32u, 33u, 100u}) {
        std::string s(n, '\x01');
        std::string out = run(GetParam().fn, s);
        EXPECT_EQ(out.size(), 6 * n + 2);
        EXPECT_EQ(out, reference_escape(s));
    }
}

TEST_P(StringWriterTest, Literals) {
    StringWriter w = GetParam().fn;
    EXPECT_EQ(run(w, ""), "\"\"");
    EXPECT_EQ(run(w, "a/b"), "\"a/b\"");
    EXPECT_EQ(run(w, "\x7f"), "\"\x7f\"");
    EXPECT_EQ(run(w, std::string(1, '\0')), "\"\\u0000\"");
    EXPECT_EQ(run(w, "\x0b"), "\"\\u000b\"");
    EXPECT_EQ(run(w, "\x1f"), "\"\\u001f\"");
    EXPECT_EQ(run(w, "\b"), "\"\\b\"");
}

TEST_P(StringWriterTest, RandomTexts) {
    std::mt19937_64 rng(std::string(GetParam().name).size() * 1234);
    const char specials[] = {'"', '\\', '\0', '\x1f', '\n', '\x7f', '/', '\x80', '\xff', ' ', '\x20', '\x21'};
    for (int i = 0; i < 3000; ++i) {
        size_t len = rng() % 400;
        unsigned density = static_cast<unsigned>(rng() % 4);  // none, rare, frequent, everywhere
        std::string s(len, ' ');
        for (auto& ch : s) {
            unsigned roll = static_cast<unsigned>(rng() % 100);
            bool special = density == 3 || (density == 2 && roll < 25) || (density == 1 && roll < 2);
            ch = special ? specials[rng() % sizeof specials] : static_cast<char>(rng());
        }
        expect_escaped(s);
    }
}

TEST_P(StringWriterTest, WritesInsideTheRoomWhenTheOutputIsAtTheEndOfABlock) {
    // Exactly sized output blocks let the address checker see any stray store.
    std::mt19937 rng(99);
    for (size_t len = 0; len <= 80; ++len) {
        for (int k = 0; k < 3; ++k) {
            std::string s(len, ' ');
            for (auto& ch : s) ch = static_cast<char>(rng() % 3 == 0 ? '"' : 'x');
            std::unique_ptr<char[]> out(new char[8 * len + 32]);
            size_t n = GetParam().fn(out.get(), s.data(), len);
            ASSERT_EQ(std::string(out.get(), n), reference_escape(s));
        }
    }
}

// The in-place copy of short plain texts, in front of the selected writer.
size_t quoted_in_place(char* dst, const char* text, size_t len) noexcept {
    return static_cast<size_t>(kestro::put_quoted(dst, text, len) - dst);
}

std::vector<Variant> writers_and_in_place() {
    std::vector<Variant> list = kestro_test::string_writers();
    list.push_back({"in_place", quoted_in_place, true});
    return list;
}

INSTANTIATE_TEST_SUITE_P(Variants, StringWriterTest, ::testing::ValuesIn(writers_and_in_place()),
                         [](const ::testing::TestParamInfo<Variant>& info) { return info.param.name; });

TEST(EscapeTables, EntriesMatchTheFlags) {
    int flagged = 0;
    for (int c = 0; c < 256; ++c) {
        bool flag = kestro::NEEDS_ESCAPE.flag[c] != 0;
        flagged += flag;
        bool expected = c < 0x20 || c == '"' || c == '\\';
        EXPECT_EQ(flag, expected) << "byte " << c;
        if (c < static_cast<int>(kestro::ESCAPE_TABLE_SIZE)) {
            const char* e = kestro::ESCAPE_TABLE.entry[c];
            int len = static_cast<unsigned char>(e[7]);
            if (!expected) {
                for (int i = 0; i < 8; ++i) EXPECT_EQ(e[i], 0) << "byte " << c;
                continue;
            }
            std::string text(e, static_cast<size_t>(len));
            std::string ref = reference_escape(std::string(1, static_cast<char>(c)));
            EXPECT_EQ(text, ref.substr(1, ref.size() - 2)) << "byte " << c;
        } else {
            EXPECT_FALSE(expected);
        }
    }
    EXPECT_EQ(flagged, 34);
}

TEST(EscapeTables, ShortControlEscapesKeepZeroFiller) {
    for (int c : {8, 9, 10, 12, 13}) {
        const char* e = kestro::ESCAPE_TABLE.entry[c];
        EXPECT_EQ(e[7], 2);
        EXPECT_EQ(std::string(e + 2, 4), "0000") << "byte " << c;
    }
    EXPECT_EQ(std::string(kestro::ESCAPE_TABLE.entry[8], 6), "\\b0000");
}

}  // namespace

namespace {

// copy_plain_short on a copy of text in a block of exactly its size; the
// copied bytes, or nullopt when it declined.
std::optional<std::string> copy_short(const std::string& text) {
    std::unique_ptr<char[]> input(new char[text.size() + 1]);
    std::memcpy(input.get(), text.data(), text.size());
    char out[32];
    char* end = kestro::copy_plain_short(out, input.get(), text.size());
    if (end == nullptr) return std::nullopt;
    return std::string(out, static_cast<size_t>(end - out));
}

TEST(PlainShortText, EveryPlainLengthIsCopied) {
    for (size_t len = 0; len <= kestro::plain_short_max; ++len) {
        std::string text = plain_text(len);
        EXPECT_EQ(copy_short(text), text) << "length " << len;
        // bytes of multi-byte characters and the highest plain bytes
        for (char c : {'\x80', '\xff', '\x7f', ' ', '!', '#', '[', ']'}) {
            std::string s(len, c);
            EXPECT_EQ(copy_short(s), s) << "length " << len << " byte " << int(c);
        }
    }
}

TEST(PlainShortText, EveryEscapeAnywhereIsDeclined) {
    for (size_t len = 1; len <= kestro::plain_short_max; ++len) {
        for (size_t pos = 0; pos < len; ++pos) {
            for (int c : {0, 1, 0x1f, int{'"'}, int{'\\'}, int{'\n'}}) {
                std::string s = plain_text(len);
                s[pos] = static_cast<char>(c);
                EXPECT_EQ(copy_short(s), std::nullopt) << "length " << len << " position " << pos;
            }
        }
    }
}

}  // namespace

namespace {

// The word test of short texts, in the family's form and the plain one,
// against the flags of NEEDS_ESCAPE: every byte value at every position of
// one word and of two, among bytes that are never escaped; then words of
// bytes next to the edges of the escaped ranges, in every mix.
TEST(PlainShortText, WordTestsAgreeWithTheTable) {
    auto flagged = [](uint64_t w) {
        bool any = false;
        for (int i = 0; i < 8; ++i) any |= kestro::NEEDS_ESCAPE.flag[(w >> (8 * i)) & 0xFF] != 0;
        return any;
    };
    std::mt19937_64 rng(0x5c22);
    const uint8_t edges[] = {0x00, 0x01, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x5B, 0x5C, 0x5D, 0x7F, 0x80, 0xA2, 0xDC, 0xFF};
    for (int round = 0; round < 200000; ++round) {
        uint64_t words[2] = {0, 0};
        for (int i = 0; i < 16; ++i) words[i / 8] |= uint64_t{edges[rng() % sizeof edges]} << (8 * (i % 8));
        const bool want = flagged(words[0]) || flagged(words[1]);
        ASSERT_EQ(kestro::lanes::words_need_escape(words[0], words[1]), want) << std::hex << words[0] << " " << words[1];
        ASSERT_EQ(kestro::portable::words_need_escape(words[0], words[1]), want) << std::hex << words[0];
        ASSERT_EQ(kestro::lanes::word_needs_escape(words[0]), flagged(words[0])) << std::hex << words[0];
        ASSERT_EQ(kestro::portable::word_needs_escape(words[0]), flagged(words[0])) << std::hex << words[0];
    }
    const uint64_t plain = 0x6162636465666768ull;  // "hgfedcba"
    for (unsigned c = 0; c < 256; ++c) {
        const bool escaped = kestro::NEEDS_ESCAPE.flag[c] != 0;
        for (unsigned at = 0; at < 16; ++at) {
            const uint64_t with = (plain & ~(uint64_t{0xFF} << (8 * (at % 8)))) | uint64_t{c} << (8 * (at % 8));
            const uint64_t low = at < 8 ? with : plain, high = at < 8 ? plain : with;
            ASSERT_EQ(kestro::lanes::words_need_escape(low, high), escaped) << c << " at " << at;
            ASSERT_EQ(kestro::portable::words_need_escape(low, high), escaped) << c << " at " << at;
            if (at < 8) {
                ASSERT_EQ(kestro::lanes::word_needs_escape(with), escaped) << c << " at " << at;
                ASSERT_EQ(kestro::portable::word_needs_escape(with), escaped) << c << " at " << at;
            }
        }
    }
}

}  // namespace
