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

// Sets stay in range and spread keys: a cache's worth of distinct keys of
// the kinds records carry (short ones held as words, longer ones hashed)
// share few sets, and keys one bit apart land apart.
TEST(KeySet, SpreadsKeysOverTheSets) {
    for (size_t pad : {0, 20}) {
        constexpr size_t sets = kestro::KEY_MAP_SLOTS / kestro::KEY_MAP_WAYS;
        std::vector<bool> used(sets, false);
        size_t distinct = 0;
        for (size_t i = 0; i < sets; ++i) {
            std::string field(pad, '_'), short_key = "k";
            field += "field_";
            field += std::to_string(i);
            short_key += std::to_string(i * 7);
            for (const std::string& key : {field, short_key}) {
                size_t first = kestro::key_set(key.data(), key.size());
                ASSERT_LT(first, kestro::KEY_MAP_SLOTS) << key;
                ASSERT_EQ(first % kestro::KEY_MAP_WAYS, 0u) << key;
                size_t set = first / kestro::KEY_MAP_WAYS;
                if (!used[set]) ++distinct;
                used[set] = true;
            }
        }
        // Uniform hashing of twice as many keys as sets fills 1 - e^-2, about 86%.
        EXPECT_GT(distinct, sets * 80 / 100) << pad;
    }
    for (size_t len : {1, 3, 4, 7, 8, 15, 16, 17, 40}) {
        size_t same = 0;
        for (size_t bit = 0; bit < 8 * len; ++bit) {
            std::string a(len, 'a'), b = a;
            b[bit / 8] = static_cast<char>(b[bit / 8] ^ (1 << (bit % 8)));
            same += kestro::key_set(a.data(), len) == kestro::key_set(b.data(), len);
        }
        EXPECT_LE(same, 2u) << len;
    }
}

// The words of a short text hold all of its bytes: texts of one length
// that differ in any byte have different words.
TEST(KeyWords, TellEveryByteOfShortTexts) {
    for (size_t len = 1; len <= kestro::KEY_MAP_WORDS_MAX; ++len) {
        const std::string base(len, 'x');
        const kestro::KeyWords w = kestro::key_words(base.data(), len);
        for (size_t at = 0; at < len; ++at) {
            std::string other = base;
            other[at] = 'y';
            const kestro::KeyWords o = kestro::key_words(other.data(), len);
            EXPECT_TRUE(o.first != w.first || o.second != w.second) << len << " " << at;
        }
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

size_t set_of(const std::string& text) { return kestro::key_set(text.data(), text.size()); }

TEST(KeyObject, KeysOfOneSetShareItUntilAThirdComes) {
    // Three texts that fall into the same set.
    std::vector<std::string> texts{"collide-0"};
    for (int i = 1; texts.size() < 3; ++i) {
        std::string candidate = "collide-" + std::to_string(i);
        if (set_of(candidate) == set_of(texts[0])) texts.push_back(candidate);
    }
    kestro::KeySlot* set = &kestro::KEY_MAP->slots[set_of(texts[0])];
    Ref a(kestro::key_object(texts[0].data(), texts[0].size()));
    Ref b(kestro::key_object(texts[1].data(), texts[1].size()));
    EXPECT_EQ(set[0].str, b.get());  // the newest first
    EXPECT_EQ(set[1].str, a.get());
    Ref a_again(kestro::key_object(texts[0].data(), texts[0].size()));
    EXPECT_EQ(a_again.get(), a.get());  // both stay cached
    uint64_t occupied = kestro::KEY_MAP->occupied;
    kestro::KEY_MAP->replaced = false;
    Ref c(kestro::key_object(texts[2].data(), texts[2].size()));
    EXPECT_EQ(set[0].str, c.get());
    EXPECT_EQ(set[1].str, b.get());
    EXPECT_TRUE(kestro::KEY_MAP->replaced);
    EXPECT_EQ(kestro::KEY_MAP->occupied, occupied);
    EXPECT_EQ(Py_REFCNT(a.get()), 2);  // a and a_again: the cache let go of it
    Ref again(kestro::key_object(texts[0].data(), texts[0].size()));
    EXPECT_NE(again.get(), a.get());
    EXPECT_TRUE(kestro::str_equals_utf8(again.get(), texts[0].data(), texts[0].size()));
}

TEST(KeyObject, MatchingHashWithOtherTextIsAMiss) {
    // A slot whose stored hash and length match a longer key but whose str
    // holds another text must never be handed out.
    std::string text = "a-genuine-key-of-some-length";
    uint64_t h = XXH3_64bits(text.data(), text.size());
    kestro::KeySlot* set = &kestro::KEY_MAP->slots[set_of(text)];
    Ref impostor(from_utf8("an-impostor-of-the-same-size"));
    for (size_t way = 0; way < kestro::KEY_MAP_WAYS; ++way) {
        Py_XDECREF(set[way].str);
        set[way] = kestro::KeySlot{h, 0, text.size(), Py_NewRef(impostor.get())};
    }
    Ref key(kestro::key_object(text.data(), text.size()));
    ASSERT_TRUE(key);
    EXPECT_NE(key.get(), impostor.get());
    EXPECT_TRUE(kestro::str_equals_utf8(key.get(), text.data(), text.size()));
    EXPECT_EQ(set[0].str, key.get());
}

}  // namespace
