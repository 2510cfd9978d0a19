// numpy scalars and arrays (with OPT_SERIALIZE_NUMPY).
// Not written natively yet: they fail as an unsupported type.
#pragma once

#include "serialize/walk.hpp"

namespace kestro {

template <class L>
Status write_numpy_scalar(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

template <class L>
Status write_numpy_array(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

}  // namespace kestro
