// Text generation shared by the UTF-8 and string builder tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kestro_test {

inline void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

inline std::string utf8_of(uint32_t cp) {
    std::string s;
    append_utf8(s, cp);
    return s;
}

// A random scalar value (never a surrogate), from the range class picks:
// 0 ASCII, 1 U+0080-U+00FF, 2 U+0100-U+07FF, 3 U+0800-U+FFFF, 4 U+10000-U+10FFFF.
inline uint32_t random_code_point(std::mt19937_64& rng, int range_class) {
    auto pick = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    switch (range_class) {
        case 0: return pick(0, 0x7F);
        case 1: return pick(0x80, 0xFF);
        case 2: return pick(0x100, 0x7FF);
        case 3: {
            uint32_t cp = pick(0x800, 0xFFFF - 0x800);
            return cp >= 0xD800 ? cp + 0x800 : cp;  // skip the surrogates
        }
        default: return pick(0x10000, 0x10FFFF);
    }
}

// Random well-formed text of about n bytes whose characters come from the
// classes up to widest, ASCII being the most frequent.
inline std::string random_valid_text(std::mt19937_64& rng, size_t n, int widest) {
    std::string s;
    std::uniform_int_distribution<int> cls(-3, widest);
    while (s.size() < n) append_utf8(s, random_code_point(rng, std::max(0, cls(rng))));
    return s;
}

// A document of the test corpus (tests/data/corpus), or an empty string when it cannot be read.
inline std::string corpus_text(const std::string& name) {
    std::string here = __FILE__;  // <repo>/tests/cpp/utf8_text.hpp
    here = here.substr(0, here.find_last_of('/'));
    std::ifstream in(here + "/../data/corpus/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The corpus documents that could be read, as (name, text) pairs.
inline std::vector<std::pair<std::string, std::string>> corpus_documents() {
    std::vector<std::pair<std::string, std::string>> docs;
    for (const char* name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
        std::string text = corpus_text(name);
        if (!text.empty()) docs.emplace_back(name, std::move(text));
    }
    return docs;
}

}  // namespace kestro_test
