// uuid.UUID values, as the 36-character text str() gives them
// ("12345678-1234-5678-1234-567812345678"), from their 128-bit integer.
#pragma once

#include "serialize/buffer.hpp"
#include "serialize/per_type/scratch_text.hpp"
#include "serialize/walk.hpp"

namespace kestro {

// The 16 bytes in lowercase hexadecimal, a hyphen after the 4th, 6th, 8th and
// 10th byte: 36 bytes at p.  Returns the end.
char* put_uuid_text(char* p, const unsigned char bytes[16]) noexcept;

// Appends the text of a UUID.  Fails ("Type is not JSON serializable: UUID",
// any interpreter error its cause) when its "int" attribute cannot be read
// or is not an int from 0 to 2**128 - 1.
Status write_uuid_text(PyObject* uuid, ScratchText& out) noexcept;

// The text between double quotes.
Status write_uuid_value(PyObject* uuid, OutputBuffer& buf) noexcept;

template <class L>
[[gnu::always_inline]] inline Status write_uuid(WalkState state, L& out) noexcept {
    return write_uuid_value(state.object, out.buffer());
}

}  // namespace kestro
