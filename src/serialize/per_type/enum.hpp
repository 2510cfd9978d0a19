// Members of enum classes, written through their value.
// Not written natively yet: such members fail as an unsupported type.
#pragma once

#include "serialize/walk.hpp"

namespace kestro {

template <class L>
Status write_enum(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

}  // namespace kestro
