// sort_items: the order of sorted dict keys, checked against std::sort with the
// same order on many shapes of input.
#include <gtest/gtest.h>

#include "serialize/per_type/dict.hpp"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using kestro::DictItem;

// Reference order: unsigned bytes, a prefix before its extensions.
bool byte_less(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
}

std::vector<std::string> sorted_keys(const std::vector<std::string>& keys) {
    std::vector<DictItem> items;
    for (const std::string& k : keys) items.push_back(DictItem{k.data(), k.size(), nullptr});
    kestro::sort_items(items.data(), items.size());
    std::vector<std::string> out;
    for (const DictItem& it : items) out.emplace_back(it.key, it.key_len);
    return out;
}

void expect_sorted_like_reference(std::vector<std::string> keys) {
    std::vector<std::string> got = sorted_keys(keys);
    std::sort(keys.begin(), keys.end(), byte_less);
    EXPECT_EQ(got, keys);
}

TEST(SortItems, ExampleOrder) {
    EXPECT_EQ(sorted_keys({"\xc3\xa9", "b", "aa", "a", "B", "A", ""}),
              (std::vector<std::string>{"", "A", "B", "a", "aa", "b", "\xc3\xa9"}));
}

TEST(SortItems, NonAsciiBytesAreUnsigned) {
    EXPECT_EQ(sorted_keys({"\xff", "\x7f", "\x80", "\x01"}),
              (std::vector<std::string>{"\x01", "\x7f", "\x80", "\xff"}));
}

TEST(SortItems, EmptyAndSingle) {
    EXPECT_EQ(sorted_keys({}), std::vector<std::string>{});
    EXPECT_EQ(sorted_keys({"x"}), std::vector<std::string>{"x"});
}

TEST(SortItems, ValuesTravelWithTheirKeys) {
    std::vector<std::string> keys;
    std::vector<int> payload;
    for (int i = 0; i < 100; ++i) {
        payload.push_back((i * 37) % 100);
        keys.push_back(std::string(1, 'k').append(std::to_string(payload.back())));
    }
    std::vector<DictItem> items;
    for (size_t i = 0; i < keys.size(); ++i) {
        items.push_back(DictItem{keys[i].data(), keys[i].size(),
                                 reinterpret_cast<PyObject*>(&payload[i])});
    }
    kestro::sort_items(items.data(), items.size());
    for (const DictItem& it : items) {
        int number = 0;
        for (size_t i = 1; i < it.key_len; ++i) number = number * 10 + (it.key[i] - '0');
        EXPECT_EQ(*reinterpret_cast<int*>(it.value), number);
    }
}

class SortShapes : public ::testing::TestWithParam<size_t> {};

TEST_P(SortShapes, AscendingDescendingEqualAndOrganPipe) {
    size_t n = GetParam();
    auto key = [](size_t i) {
        std::string s = std::to_string(i);
        return std::string(6 - std::min<size_t>(6, s.size()), '0') + s;
    };
    std::vector<std::string> ascending, descending, equal, pipe, sawtooth;
    for (size_t i = 0; i < n; ++i) {
        ascending.push_back(key(i));
        descending.push_back(key(n - i));
        equal.push_back("same");
        pipe.push_back(key(i < n / 2 ? i : n - i));
        sawtooth.push_back(key(i % 7));
    }
    expect_sorted_like_reference(ascending);
    expect_sorted_like_reference(descending);
    expect_sorted_like_reference(equal);
    expect_sorted_like_reference(pipe);
    expect_sorted_like_reference(sawtooth);
}

TEST_P(SortShapes, RandomKeys) {
    size_t n = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n));
    const char alphabet[] = {'a', 'b', 'A', '\0', '\x7f', '\x80', '\xc3', '\xa9', '\xff', ' '};
    for (int round = 0; round < 5; ++round) {
        std::vector<std::string> keys;
        for (size_t i = 0; i < n; ++i) {
            std::string k(rng() % 5, ' ');
            for (char& c : k) c = alphabet[rng() % sizeof alphabet];
            keys.push_back(k);
        }
        expect_sorted_like_reference(keys);
    }
}

// Keys that agree in their first 8 bytes, or end inside them, are ordered
// by the bytes after those and by length.
TEST_P(SortShapes, KeysSharingTheirFirstEightBytes) {
    size_t n = GetParam();
    std::mt19937 rng(static_cast<unsigned>(n) + 1);
    using namespace std::string_literals;
    const std::string stems[] = {"profile_"s, "profile"s, "profile\0"s, "profile_\0"s,
                                 "\xff\xff\xff\xff\xff\xff\xff\xff"s};
    const char alphabet[] = {'a', 'b', '\0', '\x80', '\xff', '_'};
    for (int round = 0; round < 5; ++round) {
        std::vector<std::string> keys;
        for (size_t i = 0; i < n; ++i) {
            const std::string& stem = stems[rng() % std::size(stems)];
            std::string k = stem.substr(0, stem.size() - rng() % 3);
            for (size_t extra = rng() % 12; extra > 0; --extra) k += alphabet[rng() % sizeof alphabet];
            keys.push_back(k);
        }
        expect_sorted_like_reference(keys);
    }
}

// Around the insertion-sort threshold of 20 and well beyond it.
INSTANTIATE_TEST_SUITE_P(Sizes, SortShapes,
                         ::testing::Values(2, 3, 19, 20, 21, 22, 40, 100, 1000, 10000));

// With a small budget the quicksort hands its parts to the heapsort.
TEST(SortItems, HeapsortFallback) {
    std::mt19937 rng(7);
    for (unsigned budget : {0u, 1u, 2u}) {
        for (size_t n : {21u, 22u, 64u, 500u}) {
            std::vector<std::string> keys;
            for (size_t i = 0; i < n; ++i) keys.push_back(std::to_string(rng() % 97));
            std::vector<DictItem> items;
            for (const std::string& k : keys) items.push_back(DictItem{k.data(), k.size(), nullptr});
            kestro::sort_items_bounded(items.data(), items.size(), budget);
            std::vector<std::string> got;
            for (const DictItem& it : items) got.emplace_back(it.key, it.key_len);
            std::sort(keys.begin(), keys.end(), byte_less);
            EXPECT_EQ(got, keys) << "budget " << budget << ", " << n << " items";
        }
    }
}

}  // namespace
