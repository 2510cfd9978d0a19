// datetime.datetime, datetime.date and datetime.time values.
// Their writers are not part of the serializer yet: such values fail as an
// unsupported type.
#pragma once

#include "serialize/walk.hpp"

namespace kestro {

template <class L>
Status write_datetime(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

template <class L>
Status write_date(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

template <class L>
Status write_time(WalkState state, L&) noexcept {
    return unsupported_type(Py_TYPE(state.object));
}

}  // namespace kestro
