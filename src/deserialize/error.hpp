// Decode failures of loads and how they are raised as JSONDecodeError.
#pragma once

#include "ffi/python.hpp"

#include <cstddef>

namespace kestro {

namespace decode_msg {
inline constexpr const char* wrong_type = "Input must be bytes, bytearray, memoryview, or str";
inline constexpr const char* invalid_utf8 = "str is not valid UTF-8: surrogates not allowed";
inline constexpr const char* empty_input = "Input is a zero-length, empty document";
inline constexpr const char* no_buffer = "Not enough memory to allocate buffer for parsing";
inline constexpr const char* too_deep = "array and object recursion depth exceeded";
inline constexpr const char* end_of_data = "unexpected end of data";
}  // namespace decode_msg

// What went wrong, in which text and where.  The message is static text; the
// document is borrowed from the input for the duration of the call.
struct DecodeFailure {
    const char* message;
    const char* doc = nullptr;  // null: no document
    size_t doc_len = 0;
    size_t pos = 0;  // byte offset into doc
};

// The message callers see for a message of the JSON reader: the reader's
// longer wordings ("unexpected character, expected ...") are cut to their
// stable head so that every library version reads the same.
const char* reader_message(const char* msg) noexcept;

// Sets JSONDecodeError(msg, doc, pos) as the current exception, with pos the
// character index of the failure's byte offset; replaces any pending error.
// Should the interpreter run out of memory while building the exception, its
// MemoryError stands instead.
void raise_decode_error(const DecodeFailure& failure) noexcept;

}  // namespace kestro
