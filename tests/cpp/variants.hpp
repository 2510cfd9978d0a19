// Every variant of each hot routine compiled for this processor family, and
// whether this processor runs it: the tests hold each to the others and to a
// plain reference.
#pragma once

#include "arch/routines.hpp"
#include "runtime/cpu.hpp"

#include <vector>

namespace kestro_test {

template <class F>
struct Variant {
    const char* name;
    F fn;
    bool runs;
};

inline std::vector<Variant<kestro::StringWriter>> string_writers() {
    return {
        {"portable", kestro::string_writer_portable, true},
#if defined(__x86_64__)
        {"sse2", kestro::string_writer_sse2, true},
        {"avx512", kestro::string_writer_avx512, kestro::has_avx512vl()},
#elif defined(__aarch64__)
        {"neon", kestro::string_writer_neon, true},
#endif
    };
}

inline std::vector<Variant<kestro::StringBuilder>> string_builders() {
    return {
        {"portable", kestro::string_builder_portable, true},
#if defined(__x86_64__)
        {"sse2", kestro::string_builder_sse2, true},
        {"avx2", kestro::string_builder_avx2, kestro::has_avx2()},
        {"avx512", kestro::string_builder_avx512, kestro::has_avx512vl()},
#elif defined(__aarch64__)
        {"neon", kestro::string_builder_neon, true},
#endif
    };
}

inline std::vector<Variant<kestro::Utf8Validator>> utf8_validators() {
    return {
        {"portable", kestro::utf8_valid_portable, true},
        {"selected", kestro::utf8_valid, true},
#if defined(__x86_64__)
        {"avx2", kestro::utf8_valid_avx2, kestro::has_avx2()},
#elif defined(__aarch64__)
        {"neon", kestro::utf8_valid_neon, true},
#endif
    };
}

inline std::vector<Variant<kestro::TextProfiler>> text_profilers() {
    return {
        {"portable", kestro::text_profile_portable, true},
        {"selected", kestro::text_profile, true},
#if defined(__x86_64__)
        {"sse2", kestro::text_profile_sse2, true},
        {"avx2", kestro::text_profile_avx2, kestro::has_avx2()},
#elif defined(__aarch64__)
        {"neon", kestro::text_profile_neon, true},
#endif
    };
}

inline std::vector<Variant<kestro::WidenFloat16>> float16_wideners() {
    return {
        {"portable", kestro::widen_float16_portable, true},
#if defined(__x86_64__)
        {"f16c", kestro::widen_float16_f16c, kestro::has_f16c()},
#elif defined(__aarch64__)
        {"neon", kestro::widen_float16_neon, true},
#endif
    };
}

}  // namespace kestro_test
