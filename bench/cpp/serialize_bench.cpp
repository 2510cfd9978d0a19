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

// ---- string writers ----------------------------------------------------------

struct StringSet {
    std::vector<std::string> items;
    size_t bytes = 0;
    size_t longest = 0;
};

StringSet make_set(std::vector<std::string> items) {
    StringSet set;
    set.items = std::move(items);
    for (const auto& s : set.items) {
        set.bytes += s.size();
        set.longest = std::max(set.longest, s.size());
    }
    return set;
}

// `count` copies of one text of `len` bytes made by `make`.
StringSet copies(std::string (*make)(size_t), size_t len, size_t count) {
    return make_set(std::vector<std::string>(count, make(len)));
}

struct StringInput {
    const char* name;
    StringSet (*make)();
};

const StringInput string_inputs[] = {
    {"twitter", [] { return make_set(bench::corpus_values("twitter.json").strings); }},
    {"citm_catalog", [] { return make_set(bench::corpus_values("citm_catalog.json").strings); }},
    {"ascii_16", [] { return copies(bench::ascii_text, 16, 4096); }},
    {"ascii_4k", [] { return copies(bench::ascii_text, 4096, 16); }},
    {"cjk_4k", [] { return copies(bench::cjk_text, 4096, 16); }},
    {"escapes_4k", [] { return copies(bench::escape_heavy_text, 4096, 16); }},
};

void string_writer(benchmark::State& state, kestro::StringWriter writer, bool wide,
                   const StringInput& input) {
    if (wide && !kestro::has_avx512vl()) {
        state.SkipWithError("the processor lacks AVX-512 VL");
        return;
    }
    const StringSet set = input.make();
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

// ---- float text ------------------------------------------------------------------

std::vector<double> random_doubles(size_t n) {
    std::mt19937_64 rng(42);
    std::vector<double> out;
    while (out.size() < n) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (d == d && d - d == 0) out.push_back(d);  // finite only
    }
    return out;
}

std::vector<double> prices(size_t n) {  // two decimals, as money and measurements are written
    std::mt19937_64 rng(7);
    std::vector<double> out;
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<double>(rng() % 1000000) / 100.0);
    return out;
}

struct DoubleInput {
    const char* name;
    std::vector<double> (*make)();
};

const DoubleInput double_inputs[] = {
    {"canada", [] { return bench::corpus_values("canada.json").reals; }},
    {"random_bits", [] { return random_doubles(1 << 16); }},
    {"prices", [] { return prices(1 << 16); }},
};

void f64_text(benchmark::State& state, const DoubleInput& input) {
    const std::vector<double> values = input.make();
    char out[64];
    for (auto _ : state) {
        size_t written = 0;
        for (double v : values) written += static_cast<size_t>(kestro::write_f64_text(v, out) - out);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

void f32_text(benchmark::State& state, const DoubleInput& input) {
    std::vector<float> values;
    for (double v : input.make()) {
        float f = static_cast<float>(v);
        if (f - f == 0) values.push_back(f);
    }
    char out[64];
    for (auto _ : state) {
        size_t written = 0;
        for (float v : values) written += static_cast<size_t>(kestro::write_f32_text(v, out) - out);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

// ---- integer text ----------------------------------------------------------------

std::vector<uint64_t> random_u64(size_t n, int bits) {
    std::mt19937_64 rng(static_cast<uint64_t>(bits));
    std::vector<uint64_t> out;
    // Uniform in the number of digits, then in the value: every length is as common.
    for (size_t i = 0; i < n; ++i) {
        int width = 1 + static_cast<int>(rng() % static_cast<uint64_t>(bits));
        uint64_t v = rng();
        out.push_back(width >= 64 ? v : v & ((uint64_t{1} << width) - 1));
    }
    return out;
}

struct IntegerInput {
    const char* name;
    std::vector<uint64_t> (*make)();
};

const IntegerInput integer_inputs[] = {
    {"twitter", [] { return bench::corpus_values("twitter.json").integers; }},
    {"citm_catalog", [] { return bench::corpus_values("citm_catalog.json").integers; }},
    {"small", [] {
         std::vector<uint64_t> out;
         for (uint64_t i = 0; i < 65536; ++i) out.push_back(i % 1000);
         return out;
     }},
    {"any_width", [] { return random_u64(1 << 16, 64); }},
};

void u64_text(benchmark::State& state, const IntegerInput& input) {
    const std::vector<uint64_t> values = input.make();
    char out[32];
    for (auto _ : state) {
        size_t written = 0;
        for (uint64_t v : values) written += kestro::write_u64_text(v, out);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
}

void u32_text(benchmark::State& state, const IntegerInput& input) {
    std::vector<uint32_t> values;
    for (uint64_t v : input.make()) values.push_back(static_cast<uint32_t>(v));
    char out[16];
    for (auto _ : state) {
        size_t written = 0;
        for (uint32_t v : values) written += kestro::write_u32_text(v, out);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * values.size()));
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
