// The key cache of loads: slot hashing, text confirmation, sharing and replacement.
#include <gtest/gtest.h>

#include "deserialize/key_map.hpp"
#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <xxhash.h>

#include <cstring>
#include <string>
#include <vector>

using kestro::Ref;

namespace {

// Slots come from the text hash alone, stay in range, and spread keys: a
// cache's worth of distinct keys, the kind records carry, share few slots.
TEST(KeySlotIndex, SpreadsKeysOverTheSlots) {
    std::vector<bool> used(kestro::KEY_MAP_SLOTS, false);
    size_t distinct = 0;
    for (size_t i = 0; i < kestro::KEY_MAP_SLOTS; ++i) {
        std::string field = "field_", short_key = "k";
        field += std::to_string(i);
        short_key += std::to_string(i * 7);
        for (const std::string& key : {field, short_key}) {
            size_t slot = kestro::key_slot_index(XXH3_64bits(key.data(), key.size()));
            ASSERT_LT(slot, kestro::KEY_MAP_SLOTS) << key;
            if (!used[slot]) ++distinct;
            used[slot] = true;
        }
    }
    // Uniform hashing of 4096 keys into 2048 slots fills 1 - e^-2, about 86%.
    EXPECT_GT(distinct, kestro::KEY_MAP_SLOTS * 80 / 100);
    // Every bit of the text moves the slot: keys one bit apart differ.
    size_t same = 0;
    for (int bit = 0; bit < 64; ++bit) {
        uint64_t a = 0x0123456789abcdefULL, b = a ^ (uint64_t{1} << bit);
        same += kestro::key_slot_index(XXH3_64bits(&a, 8)) == kestro::key_slot_index(XXH3_64bits(&b, 8));
    }
    EXPECT_LE(same, 2u);
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
