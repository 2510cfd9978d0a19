// dicts under OPT_NON_STR_KEYS.  Keys other than str are not converted yet:
// such dicts are written by the str-key writers, which reject those keys.
#pragma once

#include "serialize/per_type/dict.hpp"

namespace kestro {

template <class L>
Status write_non_str_dict(WalkState state, L& out) noexcept {
    if (state_word::has(state.word, opt::SORT_KEYS)) return write_sorted_dict(state, out);
    return write_dict(state, out);
}

}  // namespace kestro
