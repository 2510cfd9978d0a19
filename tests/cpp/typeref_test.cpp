#include <gtest/gtest.h>

#include "deserialize/key_map.hpp"
#include "runtime/cpu.hpp"
#include "typeref.hpp"

using kestro::typeref;

TEST(ReferenceCache, FilledOnceWithTheInterpreterObjects) {
    EXPECT_EQ(typeref.string_type, &PyUnicode_Type);
    EXPECT_EQ(typeref.none, Py_None);
    EXPECT_EQ(typeref.encode_error, PyExc_TypeError);
    ASSERT_NE(typeref.fragment_type, nullptr);
    ASSERT_NE(typeref.decode_error, nullptr);
    PyObject* fragment_type = reinterpret_cast<PyObject*>(typeref.fragment_type);
    // A second fill is a no-op: the same objects stay.
    ASSERT_TRUE(kestro::typeref_init());
    EXPECT_EQ(reinterpret_cast<PyObject*>(typeref.fragment_type), fragment_type);
    EXPECT_EQ(PyUnicode_GET_LENGTH(typeref.empty_str), 0);
}

TEST(ReferenceCache, NamesAreInterned) {
    PyObject* option = PyUnicode_InternFromString("option");
    EXPECT_EQ(option, typeref.kw_option);
    Py_DECREF(option);
    EXPECT_NE(kestro::ffi::str_cached_hash(typeref.attr_dataclass_fields), -1);
}

TEST(ReferenceCache, RoutinesFollowTheProcessorFeatures) {
    bool wide = kestro::has_avx512vl();
    EXPECT_EQ(typeref.string_writer == kestro::string_writer_wide, wide);
    EXPECT_EQ(typeref.string_builder == kestro::string_builder_wide, wide);
}

TEST(ReferenceCache, KeyCacheStartsWithEmptySlots) {
    ASSERT_NE(kestro::KEY_MAP, nullptr);
    ASSERT_NE(kestro::KEY_MAP->slots, nullptr);
}

TEST(ReferenceCache, NumpyRecordIsInstalledOnceAndShared) {
    const kestro::NumpyTypesBox* first = kestro::numpy_types();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(kestro::numpy_types(), first);
    EXPECT_FALSE(PyErr_Occurred());
    if (!first->absent) {
        PyObject* numpy = PyImport_ImportModule("numpy");
        ASSERT_NE(numpy, nullptr);
        PyObject* half = PyObject_GetAttrString(numpy, "half");
        EXPECT_EQ(first->types.float16, half);
        Py_XDECREF(half);
        Py_DECREF(numpy);
    }
}
