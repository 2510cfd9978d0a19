// libFuzzer driver: embeds the interpreter, registers kestro as a built-in
// module and hands every input, as bytes, to one property check of
// tests/fuzz/properties.py.  A check that raises is a finding: its traceback
// is printed and the process aborts, so libFuzzer keeps the input.
#include <Python.h>

#include <cstdio>
#include <cstdlib>

extern "C" PyObject* PyInit_kestro();

// The interpreter keeps its objects until exit, which the leak checker would
// report at every run; leaks are measured by the leak loop of the Python suite.
extern "C" const char* __asan_default_options() { return "detect_leaks=0:detect_odr_violation=0"; }

namespace {

PyObject* check = nullptr;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz driver: %s\n", what);
    if (PyErr_Occurred()) {
        PyErr_Print();
        PyObject* err = PySys_GetObject("stderr");  // borrowed; buffered text
        if (err != nullptr) Py_XDECREF(PyObject_CallMethod(err, "flush", nullptr));
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every object from malloc, so the sanitizer sees writes past the end of
    // the bytes and str objects the module fills in place.
    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&pre))) fail("pre-initialisation failed");
    if (PyImport_AppendInittab("kestro", PyInit_kestro) != 0) fail("could not register kestro");

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;
    config.parse_argv = 0;
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) fail("interpreter initialisation failed");

    PyObject* sys_path = PySys_GetObject("path");  // borrowed
    PyObject* dir = PyUnicode_FromString(KESTRO_FUZZ_DIR);
    if (sys_path == nullptr || dir == nullptr || PyList_Insert(sys_path, 0, dir) != 0)
        fail("could not extend sys.path");
    Py_DECREF(dir);
    PyObject* module = PyImport_ImportModule("properties");
    if (module == nullptr) fail("could not import properties");
    check = PyObject_GetAttrString(module, KESTRO_FUZZ_CHECK);
    Py_DECREF(module);
    if (check == nullptr) fail("no check " KESTRO_FUZZ_CHECK);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (input == nullptr) fail("could not make the input");
    PyObject* result = PyObject_CallOneArg(check, input);
    Py_DECREF(input);
    if (result == nullptr) fail(KESTRO_FUZZ_CHECK " failed");
    Py_DECREF(result);
    return 0;
}
