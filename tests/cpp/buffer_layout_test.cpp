// OutputBuffer growth and finishing, and the byte sequences of both layouts.
#include <gtest/gtest.h>

#include "serialize/layout.hpp"

#include <string>

namespace {

using kestro::CompactLayout;
using kestro::IndentedLayout;
using kestro::OutputBuffer;

std::string text_of(PyObject* bytes) {
    return std::string(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

void append(OutputBuffer& buf, const std::string& s) {
    ASSERT_FALSE(buf.reserve(s.size() + 32).failed());
    std::memcpy(buf.cursor(), s.data(), s.size());
    buf.advance(s.size());
}

TEST(OutputBuffer, SmallDocumentNeedsNoGrowth) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    EXPECT_EQ(buf.capacity(), 1024u);
    append(buf, "[1,2]");
    EXPECT_EQ(buf.capacity(), 1024u);
    PyObject* result = buf.finish(false);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(text_of(result), "[1,2]");
    EXPECT_EQ(PyBytes_AS_STRING(result)[5], '\0');
    Py_DECREF(result);
}

TEST(OutputBuffer, GrowthDoublesPastTheTarget) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    std::string head(900, 'h');
    append(buf, head);
    // a 200-byte str needs 8 * 200 + 32; 900 + 1632 = 2532 -> 4096
    ASSERT_FALSE(buf.reserve(8 * 200 + 32).failed());
    EXPECT_EQ(buf.capacity(), 4096u);
    EXPECT_EQ(std::string(buf.cursor() - 900, 900), head);  // text kept across the move
    ASSERT_FALSE(buf.reserve(4096).failed());
    EXPECT_EQ(buf.capacity(), 8192u);
    PyObject* result = buf.finish(true);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(text_of(result), head + "\n");
    Py_DECREF(result);
}

TEST(OutputBuffer, ReserveKeepsRoomStrictlyAbove) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    // len + need == capacity must grow: capacity > len + need afterwards
    ASSERT_FALSE(buf.reserve(1024).failed());
    EXPECT_GT(buf.capacity(), 1024u);
    buf.discard();
}

TEST(OutputBuffer, ImpossibleGrowthIsMemoryError) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    kestro::Status s = buf.reserve(static_cast<size_t>(PY_SSIZE_T_MAX));
    ASSERT_TRUE(s.failed());
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    buf.discard();
}

TEST(OutputBuffer, GrowthPastTheBulkBackedSizeKeepsTheText) {
    // Growing to 4 MiB and on moves the text into fresh objects.
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    std::string text;
    for (size_t i = 0; text.size() < 3 * OutputBuffer::prefault_capacity; ++i)
        text += std::to_string(i * 7919) + ",";
    for (size_t at = 0; at < text.size(); at += 4000) append(buf, text.substr(at, 4000));
    EXPECT_EQ(buf.capacity(), 4 * OutputBuffer::prefault_capacity);
    PyObject* result = buf.finish(false);
    ASSERT_NE(result, nullptr);
    EXPECT_TRUE(text_of(result) == text);
    Py_DECREF(result);
}

TEST(OutputBuffer, FailedGrowthIsMemoryErrorAndTheBufferStillReleases) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer aborts on an allocation this large";
#endif
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    append(buf, "abc");
    // Far more than the allocator can give, but representable as a size.
    kestro::Status s = buf.reserve(static_cast<size_t>(PY_SSIZE_T_MAX) / 2 - 64);
    ASSERT_TRUE(s.failed());
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    buf.discard();
}

// Writes [1,{"k":[],"q\"":2},[]] through a layout.
template <class L>
std::string sample(L& out) {
    OutputBuffer& buf = out.buffer();
    auto ok = [](kestro::Status s) { EXPECT_FALSE(s.failed()); };
    ok(out.open_container('['));
    ok(out.begin_member(true));
    append(buf, "1");
    out.end_member();
    ok(out.begin_member(false));
    ok(out.open_container('{'));
    ok(out.member_key(true, "k", 1));
    ok(out.write_empty("[]"));
    out.end_member();
    ok(out.member_key(false, "q\"", 2));
    append(buf, "2");
    out.end_member();
    ok(out.close_container('}'));
    out.end_member();
    ok(out.begin_member(false));
    ok(out.write_empty("[]"));
    out.end_member();
    ok(out.close_container(']'));
    PyObject* result = buf.finish(false);
    std::string text = text_of(result);
    Py_DECREF(result);
    return text;
}

TEST(Layout, Compact) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    CompactLayout out(buf);
    EXPECT_EQ(sample(out), "[1,{\"k\":[],\"q\\\"\":2},[]]");
}

TEST(Layout, Indented) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    IndentedLayout out(buf);
    EXPECT_EQ(sample(out), "[\n  1,\n  {\n    \"k\": [],\n    \"q\\\"\": 2\n  },\n  []\n]");
    EXPECT_EQ(out.state().level, 0u);
}

TEST(Layout, IndentedContainerWithoutMembersClosesAtOnce) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    IndentedLayout out(buf);
    ASSERT_FALSE(out.open_container('{').failed());
    ASSERT_FALSE(out.close_container('}').failed());
    PyObject* result = buf.finish(false);
    EXPECT_EQ(text_of(result), "{}");
    Py_DECREF(result);
}

TEST(Layout, DeepIndentationIsOneRunOfSpaces) {
    OutputBuffer buf;
    ASSERT_TRUE(buf.create());
    IndentedLayout out(buf);
    const size_t depth = 300;  // 600 spaces on the innermost line, crossing growth
    for (size_t i = 0; i < depth; ++i) {
        ASSERT_FALSE(out.open_container('[').failed());
        ASSERT_FALSE(out.begin_member(true).failed());
    }
    append(buf, "0");
    for (size_t i = 0; i < depth; ++i) {
        out.end_member();
        ASSERT_FALSE(out.close_container(']').failed());
    }
    PyObject* result = buf.finish(false);
    std::string text = text_of(result);
    Py_DECREF(result);
    std::string expected;
    for (size_t i = 0; i < depth; ++i) {
        expected.append("[\n");
        expected.append(2 * (i + 1), ' ');
    }
    expected.push_back('0');
    for (size_t i = depth; i-- > 0;) {
        expected.push_back('\n');
        expected.append(2 * i, ' ');
        expected.push_back(']');
    }
    EXPECT_EQ(text, expected);
}

}  // namespace
