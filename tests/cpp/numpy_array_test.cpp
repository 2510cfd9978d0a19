// Every failure route of read_array_view, driven by objects whose
// "__array_struct__" is made up here; numpy cannot hand out such records.
#include <gtest/gtest.h>

#include "serialize/numpy/array.hpp"

namespace {

using kestro::ArrayViewFailure;
using F = ArrayViewFailure;
constexpr int flags = kestro::ffi::NPY_ARRAY_C_CONTIGUOUS | kestro::ffi::NPY_ARRAY_NOTSWAPPED;

// An instance of a class whose "__array_struct__" is `value`, or raises.
PyObject* holder_of(PyObject* value) {
    static PyObject* cls = [] {
        PyObject* globals = PyDict_New();
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
        Py_XDECREF(PyRun_String("class Holder:\n"
                                "    def __init__(self, v): self.v = v\n"
                                "    @property\n"
                                "    def __array_struct__(self): return self.v or 1 / 0\n",
                                Py_file_input, globals, globals));
        PyObject* c = Py_XNewRef(PyDict_GetItemString(globals, "Holder"));
        Py_DECREF(globals);
        return c;
    }();
    return PyObject_CallOneArg(cls, value != nullptr ? value : Py_None);
}

struct Case {
    const char* what;
    void (*change)(kestro::ffi::PyArrayInterface&, Py_intptr_t* shape);
    ArrayViewFailure expected;
};

class ReadArrayView : public ::testing::TestWithParam<Case> {};

TEST_P(ReadArrayView, ReportsItsFailureAndGivesTheCapsuleBack) {
    Py_intptr_t shape[2] = {2, 3}, strides[2] = {24, 8};
    int64_t data[6] = {1, 2, 3, 4, 5, 6};
    kestro::ffi::PyArrayInterface record{2, 2, 'i', 8, flags, shape, strides, data, nullptr};
    GetParam().change(record, shape);
    PyObject* capsule = PyCapsule_New(&record, "any name", nullptr);
    PyObject* holder = holder_of(capsule);
    const Py_ssize_t before = Py_REFCNT(capsule);
    {
        kestro::ArrayView view;
        EXPECT_EQ(kestro::read_array_view(holder, &view), GetParam().expected) << GetParam().what;
        EXPECT_FALSE(PyErr_Occurred());
        if (GetParam().expected == F::none) {
            EXPECT_EQ(view.data(), record.data);
        }
    }
    EXPECT_EQ(Py_REFCNT(capsule), before);
    Py_DECREF(holder);
    Py_DECREF(capsule);
}

using R = kestro::ffi::PyArrayInterface;
INSTANTIATE_TEST_SUITE_P(
    Routes, ReadArrayView,
    ::testing::Values(
        Case{"sound", [](R&, Py_intptr_t*) {}, F::none},
        Case{"no elements, no data", [](R& r, Py_intptr_t* s) { s[1] = 0, r.data = nullptr; }, F::none},
        // checked in order: malformed, not contiguous, not native, no dimensions, element
        Case{"two is not 2", [](R& r, Py_intptr_t*) { r.two = 3, r.flags = 0; }, F::malformed},
        Case{"not contiguous", [](R& r, Py_intptr_t*) { r.flags = 0, r.typekind = 'c'; }, F::not_contiguous},
        Case{"swapped", [](R& r, Py_intptr_t*) { r.flags = 1, r.typekind = 'O'; }, F::not_native_endian},
        Case{"no dimensions", [](R& r, Py_intptr_t*) { r.nd = 0; }, F::unsupported_element},
        Case{"complex", [](R& r, Py_intptr_t*) { r.typekind = 'c'; }, F::unsupported_element},
        Case{"int24", [](R& r, Py_intptr_t*) { r.itemsize = 3; }, F::unsupported_element},
        Case{"float128", [](R& r, Py_intptr_t*) { r.typekind = 'f', r.itemsize = 16; }, F::unsupported_element},
        Case{"datetime32", [](R& r, Py_intptr_t*) { r.typekind = 'M', r.itemsize = 4; }, F::unsupported_element},
        // numpy clears every flag of a structured array's record
        Case{"structured", [](R& r, Py_intptr_t*) { r.typekind = 'V', r.flags = 0; }, F::unsupported_element},
        // records no numpy array has
        Case{"negative dimensions", [](R& r, Py_intptr_t*) { r.nd = -1; }, F::malformed},
        Case{"65 dimensions", [](R& r, Py_intptr_t*) { r.nd = 65; }, F::malformed},
        Case{"no shape", [](R& r, Py_intptr_t*) { r.shape = nullptr; }, F::malformed},
        Case{"negative extent", [](R&, Py_intptr_t* s) { s[1] = -3; }, F::malformed},
        Case{"no data", [](R& r, Py_intptr_t*) { r.data = nullptr; }, F::malformed},
        Case{"extents overflow", [](R&, Py_intptr_t* s) { s[0] = s[1] = Py_intptr_t{1} << 40; }, F::malformed}));

TEST(ReadArrayView, AnAttributeThatCannotBeReadOrIsNoCapsuleIsMalformed) {
    PyObject* number = PyLong_FromLong(7);
    PyObject* objects[] = {holder_of(nullptr), holder_of(number), number};
    for (PyObject* obj : objects) {
        kestro::ArrayView view;
        EXPECT_EQ(kestro::read_array_view(obj, &view), F::malformed);
        EXPECT_FALSE(PyErr_Occurred());
        Py_DECREF(obj);
    }
}

}  // namespace
