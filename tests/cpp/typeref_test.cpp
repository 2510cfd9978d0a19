#include <gtest/gtest.h>

#include "deserialize/key_map.hpp"
#include "arch/routines.hpp"
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
    const kestro::Routines chosen = kestro::select_routines(kestro::cpu_features());
    EXPECT_EQ(typeref.string_writer, chosen.string_writer);
    EXPECT_EQ(typeref.string_builder, chosen.string_builder);
    EXPECT_EQ(kestro::ROUTINES.utf8_valid, chosen.utf8_valid);
    EXPECT_EQ(kestro::ROUTINES.text_profile, chosen.text_profile);
    EXPECT_EQ(kestro::ROUTINES.widen_float16, chosen.widen_float16);
}

// Which variant each processor of the family gets.
TEST(ReferenceCache, SelectionByFeatures) {
    using namespace kestro;
    const uint64_t filled = uint64_t{1} << cpu_bit::filled;
    auto with = [filled](std::initializer_list<unsigned> bits) {
        uint64_t w = filled;
        for (unsigned b : bits) w |= uint64_t{1} << b;
        return w;
    };
#if defined(__x86_64__)
    struct Case {
        uint64_t features;
        StringWriter writer;
        StringBuilder builder;
        Utf8Validator valid;
        WidenFloat16 widen;
    };
    for (const Case& c : {
             Case{filled, string_writer_sse2, string_builder_sse2, utf8_valid_portable, widen_float16_portable},
             Case{with({cpu_bit::avx2, cpu_bit::f16c}), string_writer_sse2, string_builder_avx2, utf8_valid_avx2,
                  widen_float16_f16c},
             Case{with({cpu_bit::avx2, cpu_bit::avx512vl, cpu_bit::f16c}), string_writer_avx512,
                  string_builder_avx512, utf8_valid_avx2, widen_float16_f16c},
         }) {
        const Routines r = select_routines(c.features);
        EXPECT_EQ(r.string_writer, c.writer) << std::hex << c.features;
        EXPECT_EQ(r.string_builder, c.builder) << std::hex << c.features;
        EXPECT_EQ(r.utf8_valid, c.valid) << std::hex << c.features;
        EXPECT_EQ(r.widen_float16, c.widen) << std::hex << c.features;
    }
#elif defined(__aarch64__)
    const Routines r = select_routines(with({cpu_bit::neon, cpu_bit::fp}));
    EXPECT_EQ(r.string_writer, string_writer_neon);
    EXPECT_EQ(r.string_builder, string_builder_neon);
    EXPECT_EQ(r.utf8_valid, utf8_valid_neon);
    EXPECT_EQ(r.text_profile, text_profile_neon);
    EXPECT_EQ(r.widen_float16, widen_float16_neon);
#else
    EXPECT_EQ(select_routines(filled).string_writer, string_writer_portable);
#endif
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
