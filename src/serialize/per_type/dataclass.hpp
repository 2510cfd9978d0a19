// Dataclass instances as JSON objects of their fields.  The dispatcher has
// checked the nesting limit; members are walked one level deeper.
// Not written natively yet: such instances fail as an unsupported type.
#pragma once

#include "serialize/walk.hpp"

namespace kestro {

template <class L>
Status write_dataclass(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

}  // namespace kestro
