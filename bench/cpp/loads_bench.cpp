// Where the time of loads goes, document by document: the reader alone
// (yyjson over the same scratch pool and flags as loads), the whole of loads
// (reading, then making the objects), and the floor, marshal's reading of
// the same objects from their binary form, which makes them with no text to
// read.  As in the suite, the collector is off and every result is released
// inside the timed loop.
#include <benchmark/benchmark.h>

#include "deserialize/loads.hpp"
#include "inputs.hpp"
#include "runtime/memory.hpp"

#include <marshal.h>
#include <yyjson.h>

#include <string>
#include <vector>

namespace {

using bench::Input;

// Turns the collector off for one benchmark, as the suite does.
class CollectorOff {
  public:
    CollectorOff() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorOff() {
        if (was_enabled_) PyGC_Enable();
    }

  private:
    bool was_enabled_;
};

const Input<std::string> documents[] = {
    {"{a:1}", [] { return std::string(R"({"a":1})"); }},
    {"twitter", [] { return bench::corpus_text("twitter.json"); }},
    {"citm_catalog", [] { return bench::corpus_text("citm_catalog.json"); }},
    {"canada", [] { return bench::corpus_text("canada.json"); }},
};

// The reader as loads runs it: a pool over the scratch block, from which the
// reader takes its copy of the text and the document.
void reader(benchmark::State& state, const Input<std::string>& input) {
    const std::string text = input.make();
    const size_t size = kestro::scratch_size(text.size());
    std::vector<unsigned char> scratch(size);
    for (auto _ : state) {
        yyjson_alc alc;
        yyjson_alc_pool_init(&alc, scratch.data(), size);
        yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(text.data()), text.size(),
                                           YYJSON_READ_NOFLAG, &alc, nullptr);
        if (doc == nullptr) {
            state.SkipWithError("the reader refused the document");
            break;
        }
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void whole_loads(benchmark::State& state, const Input<std::string>& input) {
    CollectorOff off;
    const std::string text = input.make();
    kestro::Ref bytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    for (auto _ : state) {
        PyObject* obj = loads(nullptr, bytes.get());
        if (obj == nullptr) {
            PyErr_Clear();
            state.SkipWithError("loads failed");
            break;
        }
        Py_DECREF(obj);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void marshal_floor(benchmark::State& state, const Input<std::string>& input) {
    CollectorOff off;
    const std::string text = input.make();
    kestro::Ref bytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    kestro::Ref obj(loads(nullptr, bytes.get()));
    kestro::Ref binary(obj ? PyMarshal_WriteObjectToString(obj.get(), Py_MARSHAL_VERSION) : nullptr);
    if (!binary) {
        PyErr_Clear();
        state.SkipWithError("no marshal form");
        return;
    }
    for (auto _ : state) {
        PyObject* again = PyMarshal_ReadObjectFromString(PyBytes_AS_STRING(binary.get()),
                                                         PyBytes_GET_SIZE(binary.get()));
        if (again == nullptr) {
            PyErr_Clear();
            state.SkipWithError("marshal failed");
            break;
        }
        Py_DECREF(again);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

const bool registered = [] {
    using std::string;
    for (const auto& in : documents) {
        benchmark::RegisterBenchmark(("loads_parts/reader/" + string(in.name)).c_str(), reader, in);
        benchmark::RegisterBenchmark(("loads_parts/loads/" + string(in.name)).c_str(), whole_loads, in);
        benchmark::RegisterBenchmark(("loads_parts/marshal/" + string(in.name)).c_str(), marshal_floor,
                                     in);
    }
    return true;
}();

}  // namespace
