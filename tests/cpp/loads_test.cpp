// The reader side of loads: scratch sizing, the nesting pre-scan, the reader's
// messages and the document conversion.
#include <gtest/gtest.h>

#include "deserialize/convert.hpp"
#include "deserialize/error.hpp"
#include "deserialize/loads.hpp"
#include "runtime/memory.hpp"

#include <yyjson.h>

#include <cstring>
#include <string>

using kestro::Ref;

namespace {

TEST(ScratchSize, RoundedFromTwelveBytesPerInputByte) {
    for (size_t len = 0; len < 20000; len += 7) {
        size_t want = ((len / 2) * 24 + 256 + 4095) / 4096 * 4096;
        EXPECT_EQ(kestro::scratch_size(len), want) << len;
    }
    EXPECT_EQ(kestro::scratch_size(0), 4096u);
    EXPECT_EQ(kestro::scratch_size(SIZE_MAX), 0u);
}

struct NestingCase {
    std::string text;
    size_t expected;  // npos: nothing too deep
};

std::string repeat(const std::string& s, size_t n, const char* prefix = "") {
    std::string out = prefix;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

class NestingOverflow : public ::testing::TestWithParam<NestingCase> {};

TEST_P(NestingOverflow, FindsTheFirstBracketAtLevel1025) {
    const NestingCase& c = GetParam();
    size_t got = kestro::find_nesting_overflow(c.text.data(), c.text.size());
    EXPECT_EQ(got, c.expected == std::string::npos ? c.text.size() : c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NestingOverflow,
    ::testing::Values(
        NestingCase{repeat("[", 1024) + repeat("]", 1024), std::string::npos},
        NestingCase{repeat("[", 1025), 1024},
        NestingCase{repeat("[", 1025, "\n"), 1025},
        NestingCase{repeat("{\"a\":", 1025), 5 * 1024},
        NestingCase{repeat("[{\"k\":", 513), 512 * 6},
        // Closed containers give their level back.
        NestingCase{repeat("[]", 3000), std::string::npos},
        NestingCase{repeat("[", 1000) + repeat("]", 1000) + repeat("[", 1025), 2000 + 1024},
        // Brackets inside strings do not count, escapes included.
        NestingCase{repeat("[", 1024) + "\"[\"", std::string::npos},
        NestingCase{repeat("[", 1024) + "\"\\\"[\"", std::string::npos},
        NestingCase{repeat("[", 1024) + "\"\\\\\"[", 1024 + 4},
        NestingCase{repeat("[", 1024) + "\"\\u005b[", std::string::npos}));

// Runs text through the reader as loads does and gives the message callers see.
std::string reader_message_for(const std::string& text, size_t* pos) {
    yyjson_read_err err;
    std::memset(&err, 0, sizeof err);
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(text.data()), text.size(),
                                       YYJSON_READ_NOFLAG, nullptr, &err);
    if (doc != nullptr) {
        yyjson_doc_free(doc);
        return "(parsed)";
    }
    *pos = err.pos;
    return kestro::reader_message(err.msg);
}

struct ReaderCase {
    const char* text;
    const char* message;
    size_t pos;
};

class ReaderMessages : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderMessages, ShortFormAndPosition) {
    const ReaderCase& c = GetParam();
    size_t pos = 0;
    EXPECT_EQ(reader_message_for(c.text, &pos), c.message) << c.text;
    EXPECT_EQ(pos, c.pos) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    EveryMessage, ReaderMessages,
    ::testing::Values(
        ReaderCase{" ", "input data is empty", 0},
        ReaderCase{"[1,2", "unexpected end of data", 4},
        ReaderCase{"NaN", "unexpected character", 0},
        ReaderCase{"]", "unexpected character", 0},
        ReaderCase{"{\"a\" 1}", "unexpected character", 5},
        ReaderCase{"{1:2}", "unexpected character", 1},
        ReaderCase{"[1 2]", "unexpected character", 3},
        ReaderCase{"{\"a\":1 \"b\"}", "unexpected character", 7},
        ReaderCase{"[1] x", "unexpected content after document", 4},
        ReaderCase{"trux", "invalid literal", 0},
        ReaderCase{"[fals]", "invalid literal", 1},
        ReaderCase{"nan", "invalid literal", 0},
        ReaderCase{"[1,]", "trailing comma is not allowed", 2},
        ReaderCase{"{\"a\":1,}", "trailing comma is not allowed", 6},
        ReaderCase{"-a", "no digit after minus sign", 1},
        ReaderCase{"1.e", "no digit after decimal point", 2},
        ReaderCase{"[1e]", "no digit after exponent sign", 3},
        ReaderCase{"01", "number with leading zero is not allowed", 0},
        ReaderCase{"1e400", "number is infinity when parsed as double", 0},
        ReaderCase{"\"\x01\"", "unexpected control character in string", 1},
        ReaderCase{"\"\\q\"", "invalid escaped character in string", 2},
        ReaderCase{"\"\\u12x4\"", "invalid escaped sequence in string", 1},
        ReaderCase{"\"\\udc00\"", "invalid high surrogate in string", 1},
        ReaderCase{"\"\\ud800\\u0041\"", "invalid low surrogate in string", 7},
        ReaderCase{"\"\\ud800\"", "no low surrogate in string", 7},
        ReaderCase{"\"\xff\"", "invalid UTF-8 encoding in string", 1}));

TEST(ReaderMessage, LongWordingsAreCutAtTheComma) {
    const char* pairs[][2] = {
        {"unexpected character, expected a colon after object key", "unexpected character"},
        {"unexpected character, expected a valid root value", "unexpected character"},
        {"invalid literal, expected a valid literal such as 'true'", "invalid literal"},
        {"unexpected end of data", "unexpected end of data"},
        {"memory allocation failed", "memory allocation failed"},
        {"byte order mark (BOM) is not supported", "unexpected character"},
        {"invalid escaped character", "invalid escaped character in string"},
        {"invalid utf-8 encoding in string", "invalid UTF-8 encoding in string"},
    };
    for (auto& p : pairs) EXPECT_STREQ(kestro::reader_message(p[0]), p[1]);
    // Unknown wordings are passed through as they stand.
    EXPECT_STREQ(kestro::reader_message("something new, with detail"), "something new, with detail");
}

struct Parsed {
    yyjson_doc* doc;
    explicit Parsed(const std::string& text)
        : doc(yyjson_read(text.data(), text.size(), YYJSON_READ_NOFLAG)) {}
    ~Parsed() { yyjson_doc_free(doc); }
};

TEST(ConvertDocument, NestingLimitCountsArraysAndObjectsTogether) {
    std::string ok = repeat("[{\"a\":", 512) + "1" + repeat("}]", 512);
    std::string deep = repeat("[", 1) + ok;
    deep += "]";
    Parsed a(ok), b(deep);
    ASSERT_TRUE(a.doc && b.doc);
    kestro::Converted good = kestro::convert_document(yyjson_doc_get_root(a.doc));
    EXPECT_EQ(good.status, kestro::ConvertStatus::ok);
    Ref hold(good.obj);
    ASSERT_TRUE(hold);
    kestro::Converted bad = kestro::convert_document(yyjson_doc_get_root(b.doc));
    EXPECT_EQ(bad.status, kestro::ConvertStatus::too_deep);
    EXPECT_EQ(bad.obj, nullptr);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(ConvertDocument, EqualsTheStandardLibrary) {
    const std::string text =
        "{\"a\":[1,-2,3.5,\"x\",\"\",null,true,false,[],{}],\"\xc3\xa9\":{\"n\":18446744073709551615}}";
    Parsed p(text);
    ASSERT_TRUE(p.doc);
    kestro::Converted c = kestro::convert_document(yyjson_doc_get_root(p.doc));
    ASSERT_EQ(c.status, kestro::ConvertStatus::ok);
    Ref ours(c.obj);
    Ref json(PyImport_ImportModule("json"));
    ASSERT_TRUE(json);
    Ref theirs(PyObject_CallMethod(json.get(), "loads", "s#", text.data(),
                                   static_cast<Py_ssize_t>(text.size())));
    ASSERT_TRUE(theirs);
    EXPECT_EQ(PyObject_RichCompareBool(ours.get(), theirs.get(), Py_EQ), 1);
}

}  // namespace
