#include "inputs.hpp"

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace bench {

std::string corpus_dir() {
    if (const char* dir = std::getenv("KESTRO_CORPUS")) return dir;
    std::string here = __FILE__;  // <repo>/bench/cpp/inputs.cpp
    for (int i = 0; i < 3; ++i) here = here.substr(0, here.rfind('/'));
    return here + "/tests/data/corpus";
}

const std::string& corpus_text(const char* name) {
    static std::map<std::string, std::string> loaded;
    auto it = loaded.find(name);
    if (it != loaded.end()) return it->second;
    std::string path = corpus_dir() + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s (set KESTRO_CORPUS)\n", path.c_str());
        std::exit(2);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return loaded.emplace(name, text.str()).first->second;
}

namespace {

void collect(yyjson_val* v, CorpusValues& out) {
    if (yyjson_is_str(v)) {
        out.strings.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
    } else if (yyjson_is_real(v)) {
        out.reals.push_back(yyjson_get_real(v));
    } else if (yyjson_is_uint(v)) {
        out.integers.push_back(yyjson_get_uint(v));
    } else if (yyjson_is_arr(v)) {
        yyjson_arr_iter it = yyjson_arr_iter_with(v);
        while (yyjson_val* item = yyjson_arr_iter_next(&it)) collect(item, out);
    } else if (yyjson_is_obj(v)) {
        yyjson_obj_iter it = yyjson_obj_iter_with(v);
        while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
            collect(key, out);
            collect(yyjson_obj_iter_get_val(key), out);
        }
    }
}

}  // namespace

const CorpusValues& corpus_values(const char* name) {
    static std::map<std::string, CorpusValues> parsed;
    auto it = parsed.find(name);
    if (it != parsed.end()) return it->second;
    const std::string& text = corpus_text(name);
    yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
    if (doc == nullptr) {
        std::fprintf(stderr, "%s is not JSON\n", name);
        std::exit(2);
    }
    CorpusValues values;
    collect(yyjson_doc_get_root(doc), values);
    yyjson_doc_free(doc);
    return parsed.emplace(name, std::move(values)).first->second;
}

std::string ascii_text(size_t len) {
    std::string s;
    for (size_t i = 0; i < len; ++i) s += static_cast<char>('a' + (i * 7) % 26);
    return s;
}

std::string cjk_text(size_t len) {
    static const char* chars[] = {"東", "京", "北", "の", "語", "日"};
    std::string s;
    for (size_t i = 0; s.size() + 3 <= len; ++i) s += chars[i % 6];
    return s + std::string(len - s.size(), 'x');
}

std::string escape_heavy_text(size_t len) {
    static const char special[] = {'"', '\\', '\n'};
    std::string s;
    for (size_t i = 0; i < len; ++i) s += (i % 8 == 7) ? special[(i / 8) % 3] : static_cast<char>('a' + i % 26);
    return s;
}

std::string emoji_text(size_t len) {
    std::string s;
    for (size_t i = 0; s.size() + 4 <= len; ++i) s += (i % 2) ? "\xF0\x9F\x99\x82" : "\xF0\x9F\x8C\x8D";
    return s + std::string(len - s.size(), 'x');
}

TextSet text_set(std::vector<std::string> items) {
    TextSet set;
    set.items = std::move(items);
    for (const auto& s : set.items) {
        set.bytes += s.size();
        if (s.size() > set.longest) set.longest = s.size();
    }
    return set;
}

TextSet copies(std::string (*make)(size_t), size_t len, size_t count) {
    return text_set(std::vector<std::string>(count, make(len)));
}

}  // namespace bench
