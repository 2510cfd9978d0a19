// lists (and list subclasses) and tuples as JSON arrays.
#pragma once

#include "runtime/memory.hpp"
#include "serialize/per_type/number.hpp"
#include "serialize/walk.hpp"
#include "typeref.hpp"

namespace kestro {

// Writes a non-empty list or tuple whose nesting depth the state word already
// counts.  Python code run while a member is written (a default callable)
// may change a list: its size and item storage are read again before every
// member, and the sequence itself is held so that it outlives its own walk.
// Without the global lock the list's own lock is held too, so that other
// threads do not change it meanwhile.
template <class L>
[[gnu::noinline]] Status write_sequence(WalkState state, L& out) noexcept {
    PyObject* seq = state.object;
    const bool is_tuple = Py_TYPE(seq) == typeref.tuple_type;
    Ref hold(Py_NewRef(seq));
    ffi::ObjectLock lock(seq);
    if (Status s = out.open_container('['); s.failed()) [[unlikely]]
        return s;
    for (Py_ssize_t i = 0; i < ffi::sequence_size(seq); ++i) {
        PyObject* item = is_tuple ? ffi::tuple_items(seq)[i] : ffi::list_items(seq)[i];
        if (Status s = out.begin_member(i == 0); s.failed()) [[unlikely]]
            return s;
        // Floats are tested first here: arrays of them (coordinates,
        // samples, rows of numbers) are common, and their items are rarely
        // anything else.
        Status s = Py_TYPE(item) == typeref.float_type ? write_float(item, out.buffer())
                                                       : walk(state.with(item), out);
        if (s.failed()) [[unlikely]]
            return s;
        out.end_member();
    }
    return out.close_container(']');
}

// A list, list subclass or tuple met by the walk: "[]" when empty (no depth
// change, no limit), otherwise its members one level deeper.
template <class L>
[[gnu::always_inline]] inline Status walk_sequence(WalkState state, L& out) noexcept {
    if (ffi::sequence_size(state.object) == 0) return out.write_empty("[]");
    if (state_word::nesting_exhausted(state.word)) [[unlikely]]
        return &failure::recursion_limit;
    state.word += state_word::nesting_step;
    return write_sequence(state, out);
}

}  // namespace kestro
