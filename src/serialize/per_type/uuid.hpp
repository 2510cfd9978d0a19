// uuid.UUID values.
// Not written natively yet: such values fail as an unsupported type.
#pragma once

#include "serialize/walk.hpp"

namespace kestro {

template <class L>
Status write_uuid(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

}  // namespace kestro
