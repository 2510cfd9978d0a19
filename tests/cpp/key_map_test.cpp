// The key cache of loads: slot hashing, text confirmation, sharing and replacement.
#include <gtest/gtest.h>

#include "deserialize/key_map.hpp"
#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <xxhash.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using kestro::Ref;

namespace {

// SipHash-1-3, written from the algorithm's description with its state as an
// array and its input consumed byte by byte.
uint64_t reference_siphash13(uint64_t k0, uint64_t k1, const std::string& msg) {
    auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    uint64_t v[4] = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
                     k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
    auto sipround = [&] {
        v[0] += v[1]; v[1] = rotl(v[1], 13); v[1] ^= v[0]; v[0] = rotl(v[0], 32);
        v[2] += v[3]; v[3] = rotl(v[3], 16); v[3] ^= v[2];
        v[0] += v[3]; v[3] = rotl(v[3], 21); v[3] ^= v[0];
        v[2] += v[1]; v[1] = rotl(v[1], 17); v[1] ^= v[2]; v[2] = rotl(v[2], 32);
    };
    std::string padded = msg;
    while (padded.size() % 8 != 7) padded.push_back('\0');
    padded.push_back(static_cast<char>(msg.size() & 0xff));
    for (size_t block = 0; block < padded.size(); block += 8) {
        uint64_t m = 0;
        for (int i = 0; i < 8; ++i)
            m |= static_cast<uint64_t>(static_cast<unsigned char>(padded[block + i])) << (8 * i);
        v[3] ^= m;
        sipround();
        v[0] ^= m;
    }
    v[2] ^= 0xff;
    for (int i = 0; i < 3; ++i) sipround();
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

std::string bytes_0_to(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
    return s;
}

class SipHashLengths : public ::testing::TestWithParam<size_t> {};

TEST_P(SipHashLengths, MatchesReferenceWithZeroAndVectorKeys) {
    std::string msg = bytes_0_to(GetParam());
    // The zero key of the cache, and the key 00 01 .. 0f of the published test vectors.
    const uint64_t vector_k0 = 0x0706050403020100ULL, vector_k1 = 0x0f0e0d0c0b0a0908ULL;
    EXPECT_EQ(kestro::siphash13(0, 0, msg.data(), msg.size()), reference_siphash13(0, 0, msg));
    EXPECT_EQ(kestro::siphash13(vector_k0, vector_k1, msg.data(), msg.size()),
              reference_siphash13(vector_k0, vector_k1, msg));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SipHashLengths,
                         ::testing::Values(0, 1, 7, 8, 9, 15, 16, 17, 63, 64));

// The interpreter's own bytes hash is SipHash-1-3 as well; with hash
// randomisation off its key is zero.  A second interpreter answers for it.
TEST(SipHash, AgreesWithInterpreterUnderZeroKey) {
    const char* cmd =
        "PYTHONHASHSEED=0 /usr/bin/python3 -c \"import sys\n"
        "assert sys.hash_info.algorithm == 'siphash13' and sys.hash_info.cutoff == 0\n"
        "for n in (1, 3, 8, 13, 16, 31): print(n, hash(bytes(range(n))) & (2**64 - 1))\"";
    FILE* p = popen(cmd, "r");
    ASSERT_NE(p, nullptr);
    int checked = 0;
    unsigned long long n = 0, h = 0;
    while (std::fscanf(p, "%llu %llu", &n, &h) == 2) {
        std::string msg = bytes_0_to(n);
        uint64_t ours = kestro::siphash13(0, 0, msg.data(), msg.size());
        if (ours == UINT64_MAX) ours = static_cast<uint64_t>(-2);  // -1 is reserved there
        EXPECT_EQ(ours, h) << "length " << n;
        ++checked;
    }
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(checked, 6);
}

TEST(KeySlotIndex, IsLowBitsOfSipHashOverLittleEndianHash) {
    for (const char* key : {"", "a", "id", "created_at", "\xc3\xa9t\xc3\xa9"}) {
        uint64_t h = XXH3_64bits(key, std::strlen(key));
        std::string le;
        for (int i = 0; i < 8; ++i) le.push_back(static_cast<char>(h >> (8 * i)));
        EXPECT_EQ(kestro::key_slot_index(h), reference_siphash13(0, 0, le) & 2047) << key;
        EXPECT_LT(kestro::key_slot_index(h), kestro::KEY_MAP_SLOTS);
    }
}

PyObject* from_utf8(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

struct EqualsCase {
    const char* str;   // UTF-8 of the str object
    const char* text;  // the text it is compared with
    bool equal;
};

class StrEqualsUtf8 : public ::testing::TestWithParam<EqualsCase> {};

TEST_P(StrEqualsUtf8, ComparesCodePoints) {
    const EqualsCase& c = GetParam();
    Ref s(from_utf8(c.str));
    ASSERT_TRUE(s);
    EXPECT_EQ(kestro::str_equals_utf8(s.get(), c.text, std::strlen(c.text)), c.equal);
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, StrEqualsUtf8,
    ::testing::Values(EqualsCase{"abc", "abc", true}, EqualsCase{"abc", "abd", false},
                      EqualsCase{"abc", "ab", false}, EqualsCase{"ab", "abc", false},
                      EqualsCase{"", "", true}, EqualsCase{"", "a", false},
                      EqualsCase{"\xc3\xa9", "\xc3\xa9", true},           // one byte per char
                      EqualsCase{"\xc3\xa9", "\xc3\xa8", false},
                      EqualsCase{"\xc3\xa9x", "\xc3\xa9", false},
                      EqualsCase{"\xe2\x82\xac", "\xe2\x82\xac", true},   // two bytes per char
                      EqualsCase{"\xe2\x82\xac", "\xe2\x82\xad", false},
                      EqualsCase{"a\xf0\x9f\x98\x80", "a\xf0\x9f\x98\x80", true},  // four
                      EqualsCase{"a\xf0\x9f\x98\x80", "a\xf0\x9f\x98\x81", false},
                      EqualsCase{"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80\xf0\x9f\x98\x80", false}));

Py_hash_t interpreter_hash_of(const std::string& text) {
    Ref fresh(from_utf8(text));
    return PyObject_Hash(fresh.get());
}

TEST(KeyObject, SharedUpTo64BytesWithInterpreterHash) {
    for (const std::string& text : {std::string("k"), std::string(64, 'x'),
                                   std::string("cl\xc3\xa9"), std::string("\xe2\x82\xac")}) {
        Ref a(kestro::key_object(text.data(), text.size()));
        Ref b(kestro::key_object(text.data(), text.size()));
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a.get(), b.get()) << text;
        EXPECT_EQ(kestro::ffi::str_cached_hash(a.get()), interpreter_hash_of(text));
        EXPECT_TRUE(kestro::str_equals_utf8(a.get(), text.data(), text.size()));
    }
}

TEST(KeyObject, LongerKeysAreNotCached) {
    std::string text(65, 'y');
    Ref a(kestro::key_object(text.data(), text.size()));
    Ref b(kestro::key_object(text.data(), text.size()));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(kestro::ffi::str_cached_hash(a.get()), interpreter_hash_of(text));
    EXPECT_EQ(Py_REFCNT(a.get()), 1);
}

TEST(KeyObject, EmptyKeyIsTheEmptyString) {
    Ref a(kestro::key_object("", 0));
    ASSERT_TRUE(a);
    EXPECT_EQ(a.get(), kestro::typeref.empty_str);
    EXPECT_EQ(kestro::ffi::str_cached_hash(a.get()), 0);
}

size_t slot_of(const std::string& text) {
    return kestro::key_slot_index(XXH3_64bits(text.data(), text.size()));
}

TEST(KeyObject, ACollidingKeyReplacesTheSlot) {
    // Two texts that fall into the same slot.
    std::string first = "collide-0", second;
    for (int i = 1; second.empty(); ++i) {
        std::string candidate = "collide-" + std::to_string(i);
        if (slot_of(candidate) == slot_of(first)) second = candidate;
    }
    kestro::KeySlot& slot = kestro::KEY_MAP->slots[slot_of(first)];
    Ref a(kestro::key_object(first.data(), first.size()));
    EXPECT_EQ(slot.str, a.get());
    uint64_t occupied = kestro::KEY_MAP->occupied;
    Ref b(kestro::key_object(second.data(), second.size()));
    EXPECT_EQ(slot.str, b.get());
    EXPECT_TRUE(kestro::KEY_MAP->replaced);
    EXPECT_EQ(kestro::KEY_MAP->occupied, occupied);
    EXPECT_EQ(Py_REFCNT(a.get()), 1);  // the cache let go of it
    Ref again(kestro::key_object(first.data(), first.size()));
    EXPECT_NE(again.get(), a.get());
    EXPECT_TRUE(kestro::str_equals_utf8(again.get(), first.data(), first.size()));
}

TEST(KeyObject, MatchingHashWithOtherTextIsAMiss) {
    // A slot whose stored hash matches but whose str holds another text must
    // never be handed out.
    std::string text = "genuine";
    uint64_t h = XXH3_64bits(text.data(), text.size());
    kestro::KeySlot& slot = kestro::KEY_MAP->slots[kestro::key_slot_index(h)];
    Ref impostor(from_utf8("impostor"));
    Py_XDECREF(slot.str);
    slot.str = Py_NewRef(impostor.get());
    slot.hash = h;
    Ref key(kestro::key_object(text.data(), text.size()));
    ASSERT_TRUE(key);
    EXPECT_NE(key.get(), impostor.get());
    EXPECT_TRUE(kestro::str_equals_utf8(key.get(), text.data(), text.size()));
    EXPECT_EQ(slot.str, key.get());
}

}  // namespace
