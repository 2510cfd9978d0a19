// kestro.Fragment: its content, exact bytes or the UTF-8 text of an exact
// str, copied into the output unchanged: no quotes, no escaping, no check
// that it is JSON, and no re-indentation in indented output.
#pragma once

#include "serialize/buffer.hpp"
#include "serialize/walk.hpp"

namespace kestro {

// Fails with "kestro.Fragment's content is not of type bytes or str" for any
// other content (subclasses, bytearray and memoryview included), and for a
// str with lone surrogates with the surrogate message.
Status write_fragment_content(PyObject* fragment, OutputBuffer& buf) noexcept;

template <class L>
[[gnu::always_inline]] inline Status write_fragment(WalkState state, L& out) noexcept {
    return write_fragment_content(state.object, out.buffer());
}

}  // namespace kestro
