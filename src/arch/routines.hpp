// The hot routines that exist in several variants, as this processor runs
// them.  Each processor family has one place that chooses among its
// variants, src/arch/<family>/select.cpp; the choice is made once, when the
// module is loaded.
#pragma once

#include "deserialize/string_builder.hpp"
#include "deserialize/utf8.hpp"
#include "serialize/numpy/float16.hpp"
#include "serialize/per_type/str.hpp"

#include <cstddef>
#include <cstdint>

namespace kestro {

using Utf8Validator = bool (*)(const char* text, size_t len) noexcept;
using TextProfiler = TextProfile (*)(const char* text, size_t len) noexcept;

struct Routines {
    StringWriter string_writer;    // dumps: a str's text as a JSON string
    StringBuilder string_builder;  // loads: a str from UTF-8
    Utf8Validator utf8_valid;      // loads: whether byte input of 32 bytes or more is UTF-8
    TextProfiler text_profile;     // character count and width of UTF-8 text
    WidenFloat16 widen_float16;    // numpy: float16 to float32
};

// The variants the processor with this feature word (cpu_features) runs,
// among those compiled for its family.
Routines select_routines(uint64_t features) noexcept;

// This processor's routines.
extern const Routines ROUTINES;

}  // namespace kestro
