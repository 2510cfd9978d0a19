// Members of enum classes, written through their "value" with the member's
// own state: a member adds no nesting level.
#pragma once

#include "runtime/memory.hpp"
#include "serialize/walk.hpp"
#include "typeref.hpp"

namespace kestro {

// The member's "value" (a new reference; null with the interpreter's error
// set when it cannot be had).  When "value" is enum's own descriptor, which
// gives self._value_, the value is read from the member's dictionary instead
// of running that descriptor's Python code.
PyObject* enum_member_value(PyObject* member) noexcept;

// The value is held while it is walked.  A value that is itself an enum
// member (an enum of enums, or a "value" that gives the member back) is
// walked one level deeper, so that a chain of them ends at the nesting limit
// instead of exhausting the stack.
template <class L>
[[gnu::noinline]] Status write_enum(WalkState state, L& out) noexcept {
    Ref value(enum_member_value(state.object));
    if (!value) [[unlikely]]
        return unsupported_type(Py_TYPE(state.object));
    WalkState member = state.with(value.get());
    if (Py_TYPE(Py_TYPE(value.get())) == typeref.enum_meta_type) [[unlikely]] {
        if (state_word::nesting_exhausted(member.word)) return &failure::recursion_limit;
        member.word += state_word::nesting_step;
    }
    return walk(member, out);
}

}  // namespace kestro
