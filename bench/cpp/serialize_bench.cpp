// The routines that dominate dumps: both string writers, float text and
// integer text.
#include <benchmark/benchmark.h>

#include "inputs.hpp"
#include "runtime/cpu.hpp"
#include "serialize/per_type/digits.hpp"
#include "serialize/per_type/float_text.hpp"
#include "serialize/per_type/str.hpp"

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using bench::copies;
using bench::Input;
using bench::TextSet;
using bench::text_set;

// ---- string writers ----------------------------------------------------------

const Input<TextSet> string_inputs[] = {
    {"twitter", [] { return text_set(bench::corpus_values("twitter.json").strings); }},
    {"citm_catalog", [] { return text_set(bench::corpus_values("citm_catalog.json").strings); }},
    {"ascii_16", [] { return copies(bench::ascii_text, 16, 4096); }},
    {"ascii_4k", [] { return copies(bench::ascii_text, 4096, 16); }},
    {"cjk_4k", [] { return copies(bench::cjk_text, 4096, 16); }},
    {"escapes_4k", [] { return copies(bench::escape_heavy_text, 4096, 16); }},
};

void string_writer(benchmark::State& state, kestro::StringWriter writer, bool wide,
                   const Input<TextSet>& input) {
    if (wide && !kestro::has_avx512vl()) {
        state.SkipWithError("the processor lacks AVX-512 VL");
        return;
    }
    const TextSet set = input.make();
    std::vector<char> out(8 * set.longest + 32);
    for (auto _ : state) {
        size_t written = 0;
        for (const auto& s : set.items) written += writer(out.data(), s.data(), s.size());
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * set.items.size()));
}

// ---- number text -----------------------------------------------------------------

// Writes every value with `write` (returning the bytes written) per iteration,
// one after another with a separator as dumps lays out an array, so that each
// position depends on the length of the text before it.
template <class T, class Write>
void number_text(benchmark::State& state, const std::vector<T>& values, Write write) {
    std::vector<char> out(values.size() * 41 + 64);
    for (auto _ : state) {
        char* p = out.data();
        for (T v : values) {
            p += write(v, p);
            *p++ = ',';
        }
        benchmark::DoNotOptimize(p);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

std::vector<double> random_doubles(size_t n) {
    std::mt19937_64 rng(42);
    std::vector<double> out;
    while (out.size() < n) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (d - d == 0) out.push_back(d);  // finite only
    }
    return out;
}

std::vector<double> prices(size_t n) {  // two decimals, as money and measurements are written
    std::mt19937_64 rng(7);
    std::vector<double> out;
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<double>(rng() % 1000000) / 100.0);
    return out;
}

const Input<std::vector<double>> double_inputs[] = {
    {"canada", [] { return bench::corpus_values("canada.json").reals; }},
    {"random_bits", [] { return random_doubles(1 << 16); }},
    {"prices", [] { return prices(1 << 16); }},
};

void f64_text(benchmark::State& state, const Input<std::vector<double>>& input) {
    number_text(state, input.make(), [](double v, char* out) {
        return static_cast<size_t>(kestro::write_f64_text(v, out) - out);
    });
}

void f32_text(benchmark::State& state, const Input<std::vector<double>>& input) {
    std::vector<float> values;
    for (double v : input.make()) {
        float f = static_cast<float>(v);
        if (f - f == 0) values.push_back(f);
    }
    number_text(state, values, [](float v, char* out) {
        return static_cast<size_t>(kestro::write_f32_text(v, out) - out);
    });
}

// Uniform in the number of bits, then in the value: every length is as common.
std::vector<uint64_t> any_width(size_t n) {
    std::mt19937_64 rng(64);
    std::vector<uint64_t> out;
    for (size_t i = 0; i < n; ++i) {
        unsigned width = 1 + static_cast<unsigned>(rng() % 64);
        uint64_t v = rng();
        out.push_back(width == 64 ? v : v & ((uint64_t{1} << width) - 1));
    }
    return out;
}

const Input<std::vector<uint64_t>> integer_inputs[] = {
    {"twitter", [] { return bench::corpus_values("twitter.json").integers; }},
    {"citm_catalog", [] { return bench::corpus_values("citm_catalog.json").integers; }},
    {"small", [] {
         std::vector<uint64_t> out;
         for (uint64_t i = 0; i < 65536; ++i) out.push_back(i % 1000);
         return out;
     }},
    {"any_width", [] { return any_width(1 << 16); }},
};

void u64_text(benchmark::State& state, const Input<std::vector<uint64_t>>& input) {
    number_text(state, input.make(), kestro::write_u64_text);
}

void u32_text(benchmark::State& state, const Input<std::vector<uint64_t>>& input) {
    std::vector<uint32_t> values;
    for (uint64_t v : input.make()) values.push_back(static_cast<uint32_t>(v));
    number_text(state, values, kestro::write_u32_text);
}

const bool registered = [] {
    using std::string;
    for (const auto& in : string_inputs) {
        benchmark::RegisterBenchmark(("string_writer/baseline/" + string(in.name)).c_str(),
                                     string_writer, kestro::string_writer_baseline, false, in);
        benchmark::RegisterBenchmark(("string_writer/wide/" + string(in.name)).c_str(),
                                     string_writer, kestro::string_writer_wide, true, in);
    }
    for (const auto& in : double_inputs) {
        benchmark::RegisterBenchmark(("write_f64_text/" + string(in.name)).c_str(), f64_text, in);
        benchmark::RegisterBenchmark(("write_f32_text/" + string(in.name)).c_str(), f32_text, in);
    }
    for (const auto& in : integer_inputs) {
        benchmark::RegisterBenchmark(("write_u64_text/" + string(in.name)).c_str(), u64_text, in);
        benchmark::RegisterBenchmark(("write_u32_text/" + string(in.name)).c_str(), u32_text, in);
    }
    return true;
}();

}  // namespace
