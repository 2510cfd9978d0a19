// Inputs of the micro-benchmarks: values taken from the public corpus
// documents, and a few synthetic texts for the cases the corpus lacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Directory of twitter.json, citm_catalog.json and canada.json: $KESTRO_CORPUS,
// else tests/data/corpus in the repository.
std::string corpus_dir();

// The raw bytes of a corpus document; exits with a message if it is missing.
const std::string& corpus_text(const char* name);

// Every value of one kind found in a corpus document, in document order.
struct CorpusValues {
    std::vector<std::string> strings;  // string values and object keys, decoded
    std::vector<double> reals;
    std::vector<uint64_t> integers;    // non-negative integers
};
const CorpusValues& corpus_values(const char* name);

// Synthetic texts of `len` bytes: only printable ASCII; three-byte CJK
// characters; ASCII with a quote, backslash or newline every 8 bytes;
// four-byte emoji.
std::string ascii_text(size_t len);
std::string cjk_text(size_t len);
std::string escape_heavy_text(size_t len);
std::string emoji_text(size_t len);

// Texts processed one after another by a benchmark, with their total size.
struct TextSet {
    std::vector<std::string> items;
    size_t bytes = 0;
    size_t longest = 0;
};
TextSet text_set(std::vector<std::string> items);
// `count` copies of one text of `len` bytes made by `make`.
TextSet copies(std::string (*make)(size_t), size_t len, size_t count);

// A named input, made when its benchmark runs.
template <class T>
struct Input {
    const char* name;
    T (*make)();
};

}  // namespace bench
