// The variants of processors without vector variants of their own: the
// plain C++ ones, on 8-byte words.
#include "arch/routines.hpp"

namespace kestro {

Routines select_routines(uint64_t) noexcept {
    return Routines{
        .string_writer = string_writer_portable,
        .string_builder = string_builder_portable,
        .utf8_valid = utf8_valid_portable,
        .text_profile = text_profile_portable,
        .widen_float16 = widen_float16_portable,
    };
}

}  // namespace kestro
