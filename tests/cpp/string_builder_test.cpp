#include <gtest/gtest.h>

#include "deserialize/string_builder.hpp"
#include "utf8_text.hpp"
#include "variants.hpp"

#include <memory>
#include <random>
#include <string>
#include <vector>

using kestro_test::append_utf8;
using kestro_test::utf8_of;

namespace {

using Variant = kestro_test::Variant<kestro::StringBuilder>;

std::vector<Variant> variants() { return kestro_test::string_builders(); }

Py_ssize_t size_of(PyObject* o) {
    PyObject* result = PyObject_CallOneArg(PySys_GetObject("getsizeof"), o);
    EXPECT_NE(result, nullptr);
    if (result == nullptr) return -1;
    Py_ssize_t n = PyLong_AsSsize_t(result);
    Py_DECREF(result);
    return n;
}

// Every variant builds the same str as the interpreter's decoder: equal,
// same kind and size (so the same, narrowest, representation), same hash.
void expect_builders_match(const std::string& s) {
    SCOPED_TRACE("text of " + std::to_string(s.size()) + " bytes");
    PyObject* want = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    ASSERT_NE(want, nullptr);
    // An exactly sized copy, so that the sanitizers catch reads past the end.
    std::unique_ptr<char[]> exact(new char[s.size()]);
    s.copy(exact.get(), s.size());
    for (const Variant& v : variants()) {
        if (!v.runs) continue;
        SCOPED_TRACE(v.name);
        PyObject* got = v.fn(exact.get(), s.size());
        ASSERT_NE(got, nullptr);
        ASSERT_TRUE(PyUnicode_CheckExact(got));
        if (!s.empty()) {
            EXPECT_EQ(kestro::ffi::str_cached_hash(got), -1);
        }
        EXPECT_EQ(PyUnicode_GET_LENGTH(got), PyUnicode_GET_LENGTH(want));
        EXPECT_EQ(PyUnicode_KIND(got), PyUnicode_KIND(want));
        EXPECT_EQ(PyUnicode_IS_ASCII(got), PyUnicode_IS_ASCII(want));
        EXPECT_EQ(PyUnicode_Compare(got, want), 0);
        EXPECT_FALSE(PyErr_Occurred());
        EXPECT_EQ(size_of(got), size_of(want));
        EXPECT_EQ(PyObject_Hash(got), PyObject_Hash(want));
        // The interpreter's own invariant check ends the process on failure,
        // so it runs only once the comparisons above have passed.
        if (!::testing::Test::HasFailure()) {
            EXPECT_TRUE(_PyUnicode_CheckConsistency(got, 1));
        }
        Py_DECREF(got);
    }
    Py_DECREF(want);
}

// A text of exactly n bytes: ASCII filler with the character cp placed at
// the first position, the last possible one, and on both sides of every
// 16-byte boundary, wherever it fits.
std::string text_with_boundary_chars(size_t n, uint32_t cp) {
    const std::string wide = utf8_of(cp);
    std::string s;
    size_t pos = 0;
    while (s.size() < n) {
        size_t room = n - s.size();
        bool boundary = pos == 0 || (s.size() + wide.size()) % 16 == 0 || s.size() % 16 == 0;
        if (boundary && room >= wide.size()) {
            s += wide;
        } else if (room == wide.size()) {
            s += wide;  // ends the text
        } else {
            s += static_cast<char>('a' + pos % 26);
        }
        ++pos;
    }
    return s;
}

const std::vector<size_t>& builder_lengths() {
    static const std::vector<size_t> list = {0,   1,   2,   3,   4,   7,    8,    9,    15,   16,   17,   31,   32,
                                             33,  47,  48,  63,  64,  65,   127,  128,  129,  255,  256,  257,
                                             4079, 4080, 4081, 4096, 8159, 8160, 8161, 8192, 8193, 16383, 16384,
                                             20000};
    return list;
}

const std::vector<uint32_t>& sample_chars() {
    static const std::vector<uint32_t> list = {0x41,   0x80,   0xE9,   0xFF,   0x100,  0x7FF,   0x800,
                                               0x20AC, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    return list;
}

}  // namespace

TEST(StringBuilder, SmallExamples) {
    for (const std::string& s :
         {std::string("abc"), utf8_of(0xE9), utf8_of(0xFF), utf8_of(0x100), utf8_of(0x20AC), utf8_of(0xFFFF),
          utf8_of(0x1F600), "ab" + utf8_of(0xE9) + "cd" + utf8_of(0x1F600) + "ef", std::string(1, '\0'),
          std::string("a\0b", 3)})
        expect_builders_match(s);
}

TEST(StringBuilder, KindFollowsTheWidestCharacter) {
    struct Case {
        uint32_t cp;
        int kind;
        bool ascii;
    };
    for (Case c : {Case{0x7F, PyUnicode_1BYTE_KIND, true}, Case{0xE9, PyUnicode_1BYTE_KIND, false},
                   Case{0xFF, PyUnicode_1BYTE_KIND, false}, Case{0x100, PyUnicode_2BYTE_KIND, false},
                   Case{0xFFFF, PyUnicode_2BYTE_KIND, false}, Case{0x10000, PyUnicode_4BYTE_KIND, false}}) {
        std::string s = "xyz" + utf8_of(c.cp);
        for (const Variant& v : variants()) {
            if (!v.runs) continue;
            PyObject* got = v.fn(s.data(), s.size());
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(PyUnicode_KIND(got), c.kind) << v.name << " U+" << std::hex << c.cp;
            EXPECT_EQ(PyUnicode_IS_ASCII(got) != 0, c.ascii) << v.name << " U+" << std::hex << c.cp;
            EXPECT_EQ(PyUnicode_GET_LENGTH(got), 4) << v.name;
            EXPECT_EQ(PyUnicode_READ_CHAR(got, 3), c.cp) << v.name;
            Py_DECREF(got);
        }
    }
}

TEST(StringBuilder, WideCharactersAtBlockBoundaries) {
    for (uint32_t cp : sample_chars())
        for (size_t n : builder_lengths()) {
            SCOPED_TRACE("U+" + std::to_string(cp));
            expect_builders_match(text_with_boundary_chars(n, cp));
        }
}

TEST(StringBuilder, OnlyWideCharacters) {
    for (uint32_t cp : sample_chars())
        for (size_t n : builder_lengths()) {
            std::string one = utf8_of(cp), s;
            while (s.size() + one.size() <= n) s += one;
            expect_builders_match(s);
        }
}

TEST(StringBuilder, WidestCharacterFirstOrLast) {
    // A Latin-1 text whose only wider character sits at the very start or end.
    for (uint32_t cp : {0x100u, 0xFFFFu, 0x1F600u})
        for (size_t n : builder_lengths()) {
            std::string body;
            while (body.size() + 2 <= n) append_utf8(body, 0xE9);
            expect_builders_match(utf8_of(cp) + body);
            expect_builders_match(body + utf8_of(cp));
        }
}

TEST(StringBuilder, RandomValidTexts) {
    std::mt19937_64 rng(31);
    for (int round = 0; round < 1500; ++round) {
        size_t n = std::uniform_int_distribution<size_t>(0, round % 10 == 0 ? 10000 : 150)(rng);
        expect_builders_match(kestro_test::random_valid_text(rng, n, round % 5));
    }
}

TEST(StringBuilder, CorpusStrings) {
    const auto docs = kestro_test::corpus_documents();
    ASSERT_EQ(docs.size(), 3u) << "the corpus documents are in tests/data/corpus";
    for (const auto& [name, doc] : docs) {
        SCOPED_TRACE(name);
        expect_builders_match(doc);
        // Every string literal between unescaped quotes (escapes are valid UTF-8 too).
        size_t start = std::string::npos;
        for (size_t i = 0; i < doc.size(); ++i) {
            if (doc[i] == '\\') {
                ++i;
            } else if (doc[i] == '"') {
                if (start == std::string::npos) {
                    start = i + 1;
                } else {
                    expect_builders_match(doc.substr(start, i - start));
                    start = std::string::npos;
                }
            }
        }
    }
}

TEST(StringBuilder, UnallocatableStringIsAMemoryError) {
    // Profiles no interpreter can allocate: the builder must hand back the
    // interpreter's MemoryError without touching the text.
    const char text[] = "never read";
    for (size_t chars : {static_cast<size_t>(PY_SSIZE_T_MAX) / 2, static_cast<size_t>(PY_SSIZE_T_MAX) + 1,
                         ~size_t{0}}) {
        PyObject* got = kestro::string_from_profile_portable(text, chars, kestro::TextProfile{chars, 1114111});
        EXPECT_EQ(got, nullptr);
        ASSERT_TRUE(PyErr_Occurred());
        EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
        PyErr_Clear();
    }
}
