#include <gtest/gtest.h>

#include "deserialize/utf8.hpp"
#include "ffi/python.hpp"
#include "utf8_text.hpp"
#include "variants.hpp"

#include <memory>
#include <random>
#include <string>
#include <vector>

using kestro_test::append_utf8;
using kestro_test::random_valid_text;
using kestro_test::utf8_of;

namespace {

// A heap copy of exactly the text's size, so that the sanitizers catch any
// read past its end.
class Exact {
  public:
    explicit Exact(const std::string& s) : data_(new char[s.size()]), size_(s.size()) {
        s.copy(data_.get(), s.size());
    }
    const char* data() const { return data_.get(); }
    size_t size() const { return size_; }

  private:
    std::unique_ptr<char[]> data_;
    size_t size_;
};

// The interpreter's answer: the length of the longest well-formed prefix.
size_t python_valid_prefix(const std::string& s) {
    PyObject* str = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    if (str != nullptr) {
        Py_DECREF(str);
        return s.size();
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_ssize_t start = -1;
    EXPECT_TRUE(PyErr_GivenExceptionMatches(type, PyExc_UnicodeDecodeError));
    EXPECT_EQ(PyUnicodeDecodeError_GetStart(value, &start), 0);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return static_cast<size_t>(start);
}

std::string hex(const std::string& s) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.size() > 400 ? out.substr(0, 400) + "..." : out;
}

// Every validator the processor runs agrees with the interpreter.
void expect_valid_as(const Exact& text, size_t expected) {
    EXPECT_EQ(kestro::utf8_valid_prefix(text.data(), text.size()), expected);
    for (const auto& v : kestro_test::utf8_validators()) {
        if (v.runs) {
            EXPECT_EQ(v.fn(text.data(), text.size()), expected == text.size()) << v.name;
        }
    }
}

void expect_validators_agree(const std::string& s) {
    SCOPED_TRACE("text (" + std::to_string(s.size()) + " bytes): " + hex(s));
    expect_valid_as(Exact(s), python_valid_prefix(s));
}

std::string bytes(std::initializer_list<unsigned> list) {
    std::string s;
    for (unsigned b : list) s += static_cast<char>(b);
    return s;
}

// Defective sequences of every kind.
const std::vector<std::string>& defects() {
    static const std::vector<std::string> list = {
        bytes({0x80}),                    // stray continuation
        bytes({0xBF}),
        bytes({0xC0, 0x80}),              // overlong NUL
        bytes({0xC1, 0xBF}),              // overlong 2-byte
        bytes({0xE0, 0x80, 0x80}),        // overlong 3-byte
        bytes({0xE0, 0x9F, 0xBF}),
        bytes({0xF0, 0x80, 0x80, 0x80}),  // overlong 4-byte
        bytes({0xF0, 0x8F, 0xBF, 0xBF}),
        bytes({0xED, 0xA0, 0x80}),        // surrogates
        bytes({0xED, 0xBF, 0xBF}),
        bytes({0xED, 0xAF, 0xBF, 0xED, 0xB0, 0x80}),
        bytes({0xF4, 0x90, 0x80, 0x80}),  // above U+10FFFF
        bytes({0xF5, 0x80, 0x80, 0x80}),
        bytes({0xF7, 0xBF, 0xBF, 0xBF}),
        bytes({0xF8, 0x88, 0x80, 0x80, 0x80}),
        bytes({0xFE}),
        bytes({0xFF}),
        bytes({0xC3}),                    // truncated
        bytes({0xE2, 0x82}),
        bytes({0xF0, 0x9F, 0x98}),
        bytes({0xC3, 0xC3, 0xA9}),        // lead byte where a continuation belongs
        bytes({0xE2, 0x41, 0xAC}),
        bytes({0xF0, 0x9F, 0x41, 0x80}),
        bytes({0xC3, 0xA9, 0xA9}),        // one continuation too many
        bytes({0xE2, 0x82, 0xAC, 0xAC}),
        bytes({0xF0, 0x9F, 0x98, 0x80, 0x80}),
    };
    return list;
}

}  // namespace

TEST(Utf8Valid, EmptyAndAsciiAreValid) {
    expect_validators_agree("");
    expect_validators_agree("a");
    expect_validators_agree(std::string(1000, 'x'));
}

TEST(Utf8Valid, BoundaryScalarValues) {
    for (uint32_t cp : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFDu, 0xFFFFu, 0x10000u,
                        0x10FFFFu}) {
        expect_validators_agree(utf8_of(cp));
        expect_validators_agree("ab" + utf8_of(cp) + "cd");
    }
}

TEST(Utf8Valid, EveryDefectAloneAndInContext) {
    for (const std::string& d : defects()) {
        expect_validators_agree(d);
        expect_validators_agree("abc" + d);
        expect_validators_agree(d + "abc");
        expect_validators_agree(utf8_of(0xE9) + d + utf8_of(0x1F600));
    }
}

TEST(Utf8Valid, EveryTwoByteSequence) {
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b) expect_validators_agree(bytes({a, b}));
}

TEST(Utf8Valid, LeadBytesWithEveryFirstContinuation) {
    // Covers the edges of every lead byte's allowed range, then two valid continuations.
    for (unsigned lead = 0xC0; lead < 0x100; ++lead)
        for (unsigned first = 0x70; first < 0xD0; ++first)
            expect_validators_agree(bytes({lead, first, 0x80, 0x80, 0x41}));
}

TEST(Utf8Valid, TruncationAtEveryPosition) {
    std::string text = "a" + utf8_of(0xE9) + utf8_of(0x20AC) + utf8_of(0x1F600) + "z" + utf8_of(0x10FFFF) +
                       utf8_of(0x7FF) + utf8_of(0xFFFF);
    std::string longer;
    while (longer.size() < 200) longer += text;
    for (const std::string* t : {&text, &longer})
        for (size_t n = 0; n <= t->size(); ++n) expect_validators_agree(t->substr(0, n));
}

TEST(Utf8Valid, DefectAtEveryOffsetAcrossBlockBoundaries) {
    std::mt19937_64 rng(7);
    for (size_t total : {31, 32, 33, 63, 64, 65, 127, 128, 129, 191, 192, 193}) {
        std::string ascii(total, 'q');
        std::string mixed = random_valid_text(rng, total, 4);
        for (const std::string& d : defects()) {
            for (size_t at = 0; at + d.size() <= total; ++at) {
                std::string s = ascii;
                s.replace(at, d.size(), d);
                expect_validators_agree(s);
                std::string m = mixed.substr(0, at) + d + mixed.substr(at);
                expect_validators_agree(m);
            }
        }
    }
}

// Short texts take a quick all-ASCII check first: a single non-ASCII byte,
// valid or not, anywhere in them must send them to the full validation.
TEST(Utf8Valid, ShortTextsWithOneNonAsciiSequenceAnywhere) {
    const std::vector<std::string> inserts = {bytes({0x80}), bytes({0xFF}), bytes({0xC3, 0xA9}),
                                              bytes({0xE2, 0x82, 0xAC}), bytes({0xC3})};
    for (size_t total = 1; total < 32; ++total) {
        std::string ascii(total, 'q');
        expect_validators_agree(ascii);
        for (const std::string& d : inserts) {
            for (size_t at = 0; at + d.size() <= total; ++at) {
                std::string s = ascii;
                s.replace(at, d.size(), d);
                expect_validators_agree(s);
            }
        }
    }
}

TEST(Utf8Valid, ValidCharactersStraddlingEveryBlockBoundary) {
    for (uint32_t cp : {0xE9u, 0x20ACu, 0x1F600u})
        for (size_t total : {63, 64, 65, 127, 128, 129})
            for (size_t at = 0; at + 1 < total; ++at) {
                std::string s(at, 'a');
                append_utf8(s, cp);
                s.resize(std::max(s.size(), total), 'b');
                expect_validators_agree(s);
                expect_validators_agree(s.substr(0, at + 1));  // cut inside the character
            }
}

TEST(Utf8Valid, RandomValidTexts) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 400; ++round) {
        size_t n = std::uniform_int_distribution<size_t>(0, round < 300 ? 200 : 5000)(rng);
        expect_validators_agree(random_valid_text(rng, n, round % 5));
    }
}

TEST(Utf8Valid, RandomMutationsOfValidTexts) {
    std::mt19937_64 rng(13);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 3000; ++round) {
        std::string s = random_valid_text(rng, std::uniform_int_distribution<size_t>(1, 300)(rng), 4);
        int edits = std::uniform_int_distribution<int>(1, 3)(rng);
        for (int e = 0; e < edits; ++e) {
            size_t at = std::uniform_int_distribution<size_t>(0, s.size() - 1)(rng);
            switch (round % 3) {
                case 0: s[at] = static_cast<char>(byte(rng)); break;
                case 1: s.erase(at, 1); break;
                default: s.insert(at, 1, static_cast<char>(0x80 | (byte(rng) & 0x7F))); break;
            }
            if (s.empty()) break;
        }
        expect_validators_agree(s);
    }
}

TEST(Utf8Valid, RandomBytes) {
    std::mt19937_64 rng(17);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        std::string s(std::uniform_int_distribution<size_t>(0, 100)(rng), '\0');
        for (char& c : s) c = static_cast<char>(byte(rng));
        expect_validators_agree(s);
    }
}

TEST(Utf8Valid, CorpusDocumentsWithOneBadByte) {
    std::mt19937_64 rng(19);
    const auto docs = kestro_test::corpus_documents();
    ASSERT_EQ(docs.size(), 3u) << "the corpus documents are in tests/data/corpus";
    for (const auto& [name, doc] : docs) {
        SCOPED_TRACE(name);
        expect_validators_agree(doc);
        for (int round = 0; round < 40; ++round) {
            std::string s = doc;
            size_t at = std::uniform_int_distribution<size_t>(0, s.size() - 1)(rng);
            const std::string& d = defects()[static_cast<size_t>(round) % defects().size()];
            s.replace(at, std::min(d.size(), s.size() - at), d);
            SCOPED_TRACE("defect at " + std::to_string(at));
            expect_valid_as(Exact(s), python_valid_prefix(s));
        }
    }
}

// ---- character counting and text profiles -------------------------------------

namespace {

kestro::TextProfile plain_profile(const std::string& s) {
    size_t chars = 0;
    unsigned max_byte = 0;
    for (unsigned char c : s) {
        chars += (c & 0xC0) != 0x80;
        max_byte = std::max<unsigned>(max_byte, c);
    }
    return {chars, kestro::maxchar_of_byte(max_byte)};
}

void expect_profiles_agree(const std::string& s) {
    SCOPED_TRACE("text (" + std::to_string(s.size()) + " bytes): " + hex(s));
    Exact text(s);
    kestro::TextProfile want = plain_profile(s);
    EXPECT_EQ(kestro::utf8_count_chars(text.data(), text.size()), want.chars);
    for (const auto& v : kestro_test::text_profilers()) {
        if (!v.runs) continue;
        kestro::TextProfile got = v.fn(text.data(), text.size());
        EXPECT_EQ(got.chars, want.chars) << v.name;
        EXPECT_EQ(got.maxchar, want.maxchar) << v.name;
    }
}

const std::vector<size_t>& counting_lengths() {
    static const std::vector<size_t> list = [] {
        std::vector<size_t> v;
        for (size_t n = 0; n <= 130; ++n) v.push_back(n);
        // Around the points where byte counters are summed (255 steps of 8, 16 or 32 bytes).
        for (size_t edge : {2040, 4080, 8160, 16320})
            for (size_t n = edge - 33; n <= edge + 33; n += 3) v.push_back(n);
        v.push_back(65536 + 17);
        return v;
    }();
    return list;
}

}  // namespace

TEST(Utf8Count, RandomBytesOfManyLengths) {
    std::mt19937_64 rng(23);
    for (unsigned ceiling : {0x7Fu, 0xBFu, 0xC3u, 0xEFu, 0xFFu}) {
        std::uniform_int_distribution<unsigned> byte(0, ceiling);
        for (size_t n : counting_lengths()) {
            std::string s(n, '\0');
            for (char& c : s) c = static_cast<char>(byte(rng));
            expect_profiles_agree(s);
        }
    }
}

TEST(Utf8Count, UniformTextsNeverOverflowCounters) {
    for (char fill : {'a', '\x80', '\xC3', '\xF0', '\0'})
        for (size_t n : {4080, 4096, 8160, 8192, 20000}) expect_profiles_agree(std::string(n, fill));
}

TEST(Utf8Count, OneWideByteAtEveryPosition) {
    for (unsigned wide : {0x80u, 0xBFu, 0xC2u, 0xC3u, 0xC4u, 0xDFu, 0xE0u, 0xEFu, 0xF0u, 0xF4u, 0xFFu})
        for (size_t n = 1; n <= 70; ++n)
            for (size_t at = 0; at < n; ++at) {
                std::string s(n, 'k');
                s[at] = static_cast<char>(wide);
                expect_profiles_agree(s);
            }
}

TEST(Utf8Count, ValidTextCountsCharacters) {
    std::mt19937_64 rng(29);
    for (int round = 0; round < 300; ++round) {
        std::string s;
        size_t chars = std::uniform_int_distribution<size_t>(0, 400)(rng);
        for (size_t k = 0; k < chars; ++k) append_utf8(s, kestro_test::random_code_point(rng, round % 5));
        Exact text(s);
        EXPECT_EQ(kestro::utf8_count_chars(text.data(), text.size()), chars);
    }
}
