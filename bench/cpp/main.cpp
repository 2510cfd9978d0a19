// kestro_microbench: Google Benchmark over the routines that dominate dumps
// and loads, inside an embedded interpreter with the reference cache filled.
#include <benchmark/benchmark.h>

#include "typeref.hpp"

int main(int argc, char** argv) {
    Py_InitializeEx(0);
    if (!kestro::typeref_init()) {
        PyErr_Print();
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
