// The routines that dominate loads: both string builders and both UTF-8
// validators.
#include <benchmark/benchmark.h>

#include "deserialize/string_builder.hpp"
#include "deserialize/utf8.hpp"
#include "inputs.hpp"
#include "runtime/cpu.hpp"

#include <string>
#include <vector>

namespace {

using bench::copies;
using bench::Input;
using bench::TextSet;
using bench::text_set;

// Strings as loads meets them: the values and keys of real documents, and
// long runs of each width of str.
const Input<TextSet> builder_inputs[] = {
    {"twitter", [] { return text_set(bench::corpus_values("twitter.json").strings); }},
    {"citm_catalog", [] { return text_set(bench::corpus_values("citm_catalog.json").strings); }},
    {"ascii_16", [] { return copies(bench::ascii_text, 16, 4096); }},
    {"ascii_4k", [] { return copies(bench::ascii_text, 4096, 16); }},
    {"cjk_4k", [] { return copies(bench::cjk_text, 4096, 16); }},
    {"emoji_4k", [] { return copies(bench::emoji_text, 4096, 16); }},
};

void string_builder(benchmark::State& state, kestro::StringBuilder builder, bool wide,
                    const Input<TextSet>& input) {
    if (wide && !kestro::has_avx512vl()) {
        state.SkipWithError("the processor lacks AVX-512 VL");
        return;
    }
    const TextSet texts = input.make();
    std::vector<PyObject*> built(texts.items.size());
    for (auto _ : state) {
        for (size_t i = 0; i < texts.items.size(); ++i)
            built[i] = builder(texts.items[i].data(), texts.items[i].size());
        state.PauseTiming();
        for (PyObject*& s : built) {
            if (s == nullptr) {
                PyErr_Clear();
                state.SkipWithError("the builder failed");
            }
            Py_XDECREF(s);
            s = nullptr;
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * texts.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * texts.items.size()));
}

// Whole documents, as loads validates its byte input.
const Input<TextSet> document_inputs[] = {
    {"twitter", [] { return text_set({bench::corpus_text("twitter.json")}); }},
    {"citm_catalog", [] { return text_set({bench::corpus_text("citm_catalog.json")}); }},
    {"canada", [] { return text_set({bench::corpus_text("canada.json")}); }},
    {"cjk_1m", [] { return copies(bench::cjk_text, 1 << 20, 1); }},
    {"emoji_1m", [] { return copies(bench::emoji_text, 1 << 20, 1); }},
};

enum class Validator { baseline, avx2 };

void utf8_validator(benchmark::State& state, Validator which, const Input<TextSet>& input) {
    if (which == Validator::avx2 && !kestro::has_avx2()) {
        state.SkipWithError("the processor lacks AVX2");
        return;
    }
    const std::string text = input.make().items.front();
    for (auto _ : state) {
        bool valid = which == Validator::avx2
                         ? kestro::utf8_valid_avx2(text.data(), text.size())
                         : kestro::utf8_valid_prefix(text.data(), text.size()) == text.size();
        benchmark::DoNotOptimize(valid);
        if (!valid) state.SkipWithError("valid text was rejected");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void utf8_counter(benchmark::State& state, const Input<TextSet>& input) {
    const std::string text = input.make().items.front();
    for (auto _ : state) benchmark::DoNotOptimize(kestro::utf8_count_chars(text.data(), text.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

const bool registered = [] {
    using std::string;
    for (const auto& in : builder_inputs) {
        benchmark::RegisterBenchmark(("string_builder/baseline/" + string(in.name)).c_str(),
                                     string_builder, kestro::string_builder_baseline, false, in);
        benchmark::RegisterBenchmark(("string_builder/wide/" + string(in.name)).c_str(),
                                     string_builder, kestro::string_builder_wide, true, in);
    }
    for (const auto& in : document_inputs) {
        benchmark::RegisterBenchmark(("utf8_valid/baseline/" + string(in.name)).c_str(),
                                     utf8_validator, Validator::baseline, in);
        benchmark::RegisterBenchmark(("utf8_valid/avx2/" + string(in.name)).c_str(),
                                     utf8_validator, Validator::avx2, in);
        benchmark::RegisterBenchmark(("utf8_count_chars/" + string(in.name)).c_str(),
                                     utf8_counter, in);
    }
    return true;
}();

}  // namespace
