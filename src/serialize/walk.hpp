// The vocabulary of the serializer walk: the per-level state, the kinds of
// objects, and the walk itself (defined in walker.hpp), which container
// writers call for each member.
#pragma once

#include "ffi/python.hpp"
#include "serialize/error.hpp"
#include "serialize/options.hpp"

#include <cstdint>

namespace kestro {

// The state word packs the options (bits 0-15), the number of default calls
// on the path from the root (bits 16-23) and the number of enclosing lists,
// tuples, dicts and dataclasses (bits 24-31).  Each level hands its children
// a copy; a level never changes its parent's word.
namespace state_word {
inline constexpr uint32_t options_mask = 0xFFFFu;
inline constexpr uint32_t default_step = 1u << 16;
inline constexpr uint32_t nesting_step = 1u << 24;
inline constexpr uint32_t depth_limit = 255;

inline constexpr uint32_t options(uint32_t word) noexcept { return word & options_mask; }
inline constexpr uint32_t default_depth(uint32_t word) noexcept { return (word >> 16) & 0xFFu; }
inline constexpr uint32_t nesting_depth(uint32_t word) noexcept { return word >> 24; }
inline constexpr bool has(uint32_t word, uint32_t option) noexcept { return (word & option) != 0; }

// Whether a container entered at this word would be nested too deep (its
// raised depth would reach 255); checked before raising, so the depth never
// wraps.
inline constexpr bool nesting_exhausted(uint32_t word) noexcept {
    return word >= ((depth_limit - 1) << 24);
}
}  // namespace state_word

struct WalkState {
    PyObject* object;       // borrowed
    PyObject* default_fn;   // borrowed; null when dumps got no default
    uint32_t word;

    WalkState with(PyObject* member) const noexcept { return {member, default_fn, word}; }
};

enum class ValueKind : uint8_t {
    string,
    integer,
    boolean,
    null,
    float_,
    list,
    dict,
    datetime,
    date,
    time,
    tuple,
    uuid,
    dataclass,
    numpy_scalar,
    numpy_array,
    enum_member,
    string_subclass,
    fragment,
    unsupported,
};

// The kind of an object whose type is none of the common exact types (str,
// int, bool, None, float, list, dict and, unless passed through, datetime).
ValueKind classify_slow(PyTypeObject* type, uint32_t word) noexcept;

// Writes one object, whatever its kind, through the layout L.
template <class L>
[[gnu::always_inline]] inline Status walk(WalkState state, L& out) noexcept;

// Hands an object kestro does not write to default (defined in walker.hpp).
template <class L>
Status default_hook(WalkState state, L& out) noexcept;

}  // namespace kestro
