// OutputBuffer growth and finishing, and the byte sequences of both layouts.
#include <gtest/gtest.h>

#include "serialize/layout.hpp"

#include <string>
#include <vector>

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
    // len + need == capacity must grow: capacity > len + need afterwards
    ASSERT_FALSE(buf.reserve(1024).failed());
    EXPECT_GT(buf.capacity(), 1024u);
    buf.discard();
}

TEST(OutputBuffer, ImpossibleGrowthIsMemoryError) {
    OutputBuffer buf;
    kestro::Status s = buf.reserve(static_cast<size_t>(PY_SSIZE_T_MAX));
    ASSERT_TRUE(s.failed());
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    buf.discard();
}

// Texts past the spill size, written in pieces of the given sizes: small
// ones that fill each block, and pieces larger than a block, which start
// one sized to them.
void check_spilled_text(size_t total, size_t piece, bool newline) {
    OutputBuffer buf;
    std::string text;
    for (size_t i = 0; text.size() < total; ++i) text += std::to_string(i * 7919) + ",";
    for (size_t at = 0; at < text.size(); at += piece) append(buf, text.substr(at, piece));
    EXPECT_EQ(buf.len(), text.size());
    PyObject* result = buf.finish(newline);
    ASSERT_NE(result, nullptr);
    if (newline) text += "\n";
    EXPECT_EQ(static_cast<size_t>(PyBytes_GET_SIZE(result)), text.size());
    EXPECT_TRUE(text_of(result) == text);
    EXPECT_EQ(PyBytes_AS_STRING(result)[text.size()], '\0');
    Py_DECREF(result);
}

TEST(OutputBuffer, LongTextsComeBackWholeFromTheirBlocks) {
    constexpr size_t spill = OutputBuffer::spill_capacity;
    check_spilled_text(3 * spill, 4000, false);
    check_spilled_text(3 * spill, 4000, true);
    check_spilled_text(5 * spill, spill + 12345, false);  // pieces larger than a block
    check_spilled_text(spill / 2 + 1, spill / 2 + 1, true);  // spills on the first growth
}

// Wraps one domain of the interpreter's allocators while installed: counts
// the blocks of a MiB or more handed out and not yet freed, and refuses such
// blocks when asked to.
class LargeBlockWatch {
  public:
    explicit LargeBlockWatch(PyMemAllocatorDomain domain, bool refuse = false)
        : domain_(domain), refuse_(refuse) {
        PyMem_GetAllocator(domain_, &saved_);
        PyMemAllocatorEx wrapped{this, malloc_, calloc_, realloc_, free_};
        PyMem_SetAllocator(domain_, &wrapped);
    }
    ~LargeBlockWatch() { PyMem_SetAllocator(domain_, &saved_); }
    int live() const { return static_cast<int>(live_.size()); }

  private:
    static constexpr size_t large = size_t{1} << 20;
    static LargeBlockWatch* self(void* ctx) { return static_cast<LargeBlockWatch*>(ctx); }
    static void* malloc_(void* ctx, size_t n) {
        LargeBlockWatch* w = self(ctx);
        if (n >= large && w->refuse_) return nullptr;
        void* p = w->saved_.malloc(w->saved_.ctx, n);
        if (p != nullptr && n >= large) w->live_.push_back(p);
        return p;
    }
    static void* calloc_(void* ctx, size_t n, size_t size) {
        return self(ctx)->saved_.calloc(self(ctx)->saved_.ctx, n, size);
    }
    static void* realloc_(void* ctx, void* p, size_t n) {
        LargeBlockWatch* w = self(ctx);
        if (n >= large && w->refuse_) return nullptr;
        return w->saved_.realloc(w->saved_.ctx, p, n);
    }
    static void free_(void* ctx, void* p) {
        std::erase(self(ctx)->live_, p);
        self(ctx)->saved_.free(self(ctx)->saved_.ctx, p);
    }
    PyMemAllocatorDomain domain_;
    bool refuse_;
    PyMemAllocatorEx saved_;
    std::vector<void*> live_;
};

TEST(OutputBuffer, SpillBlocksAreReleasedOnEveryPath) {
    const std::string piece(OutputBuffer::spill_capacity / 3, 'x');
    for (bool finish : {false, true}) {
        LargeBlockWatch counter(PYMEM_DOMAIN_MEM);
        {
            OutputBuffer buf;
            for (int i = 0; i < 8; ++i) append(buf, piece);
            EXPECT_EQ(buf.len(), 8 * piece.size());
            EXPECT_GE(counter.live(), 2);
            if (finish) {
                Py_DECREF(buf.finish(false));
            } else {
                buf.discard();
                EXPECT_EQ(buf.len(), 0u);
            }
            EXPECT_EQ(counter.live(), 0);
        }
    }
    {
        // Dropped without either: the destructor releases them.
        LargeBlockWatch counter(PYMEM_DOMAIN_MEM);
        {
            OutputBuffer buf;
            for (int i = 0; i < 8; ++i) append(buf, piece);
        }
        EXPECT_EQ(counter.live(), 0);
    }
}

TEST(OutputBuffer, AFailedGatherIsMemoryErrorAndReleasesTheBlocks) {
    const std::string piece(OutputBuffer::spill_capacity / 3, 'x');
    LargeBlockWatch counter(PYMEM_DOMAIN_MEM);
    OutputBuffer buf;
    for (int i = 0; i < 8; ++i) append(buf, piece);
    ASSERT_GE(counter.live(), 2);
    {
        // The final object is the only large object allocation left.
        LargeBlockWatch refusal(PYMEM_DOMAIN_OBJ, /*refuse=*/true);
        EXPECT_EQ(buf.finish(false), nullptr);
    }
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    EXPECT_EQ(counter.live(), 0);
    EXPECT_EQ(buf.len(), 0u);
}

TEST(OutputBuffer, FailedGrowthIsMemoryErrorAndTheBufferStillReleases) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer aborts on an allocation this large";
#endif
    OutputBuffer buf;
    append(buf, "abc");
    // Far more than the allocator can give, but representable as a size.
    kestro::Status s = buf.reserve(static_cast<size_t>(PY_SSIZE_T_MAX) / 4);
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
    CompactLayout out(buf);
    EXPECT_EQ(sample(out), "[1,{\"k\":[],\"q\\\"\":2},[]]");
}

TEST(Layout, Indented) {
    OutputBuffer buf;
    IndentedLayout out(buf);
    EXPECT_EQ(sample(out), "[\n  1,\n  {\n    \"k\": [],\n    \"q\\\"\": 2\n  },\n  []\n]");
    EXPECT_EQ(out.state().level, 0u);
}

TEST(Layout, IndentedContainerWithoutMembersClosesAtOnce) {
    OutputBuffer buf;
    IndentedLayout out(buf);
    ASSERT_FALSE(out.open_container('{').failed());
    ASSERT_FALSE(out.close_container('}').failed());
    PyObject* result = buf.finish(false);
    EXPECT_EQ(text_of(result), "{}");
    Py_DECREF(result);
}

TEST(Layout, DeepIndentationIsOneRunOfSpaces) {
    OutputBuffer buf;
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
