// The walk: classification of every object into its ValueKind and dispatch
// to the writer of that kind.  One template serves both layouts; compact and
// indented output differ only in the layout operations (layout.hpp).
//
// The common exact types are settled by pointer comparisons in a fixed order
// (str, int, bool, None, float, list, dict, datetime); classify_slow settles
// the rest.  Container writers call walk() for each member, so these fast
// tests are inlined into their loops.
#pragma once

#include "runtime/memory.hpp"
#include "serialize/layout.hpp"
#include "serialize/per_type/dataclass.hpp"
#include "serialize/per_type/datetime.hpp"
#include "serialize/per_type/dict.hpp"
#include "serialize/per_type/enum.hpp"
#include "serialize/per_type/fragment_value.hpp"
#include "serialize/per_type/non_str_keys.hpp"
#include "serialize/per_type/number.hpp"
#include "serialize/per_type/numpy.hpp"
#include "serialize/per_type/sequence.hpp"
#include "serialize/per_type/str_value.hpp"
#include "serialize/per_type/uuid.hpp"
#include "serialize/walk.hpp"
#include "typeref.hpp"

namespace kestro {

// A dict or dict subclass: the limit holds for an empty dict too.
template <class L>
[[gnu::always_inline]] inline Status walk_dict(WalkState state, L& out) noexcept {
    if (state_word::nesting_exhausted(state.word)) [[unlikely]]
        return &failure::recursion_limit;
    if (ffi::dict_used(state.object) == 0) return out.write_empty("{}");
    state.word += state_word::nesting_step;
    if (state_word::has(state.word, opt::NON_STR_KEYS)) [[unlikely]]
        return write_non_str_dict(state, out);
    if (state_word::has(state.word, opt::SORT_KEYS)) return write_sorted_dict(state, out);
    return write_dict(state, out);
}

// An object of a kind the walk does not write: handed to default, whose
// result is walked in its place one default level deeper.  A failing call
// leaves its exception pending; it becomes the cause of the encode error.
template <class L>
[[gnu::noinline]] Status default_hook(WalkState state, L& out) noexcept {
    PyObject* obj = state.object;
    if (state.default_fn == nullptr) return unsupported_type(Py_TYPE(obj));
    if (state_word::default_depth(state.word) == state_word::depth_limit)
        return &failure::default_recursion;
    PyObject* args[2] = {nullptr, obj};  // args[-1] is free for the callee
    PyObject* result =
        PyObject_Vectorcall(state.default_fn, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) return unsupported_type(Py_TYPE(obj));
    Ref hold(result);
    return walk(WalkState{result, state.default_fn, state.word + state_word::default_step}, out);
}

// Everything the fast tests did not settle.  The object is held while it is
// written: its writer may run Python code that drops the container it is in.
template <class L>
[[gnu::noinline]] Status walk_other(WalkState state, L& out) noexcept {
    PyObject* obj = state.object;
    Ref hold(Py_NewRef(obj));
    switch (classify_slow(Py_TYPE(obj), state.word)) {
        case ValueKind::string:
        case ValueKind::string_subclass:
            return write_str(obj, out.buffer());
        case ValueKind::integer:
            return write_int(obj, state.word, out.buffer());
        case ValueKind::boolean:
            return write_bool(obj, out.buffer());
        case ValueKind::null:
            return write_null(out.buffer());
        case ValueKind::float_:
            return write_float(obj, out.buffer());
        case ValueKind::list:
        case ValueKind::tuple:
            return walk_sequence(state, out);
        case ValueKind::dict:
            return walk_dict(state, out);
        case ValueKind::datetime:
            return write_datetime(state, out);
        case ValueKind::date:
            return write_date(state, out);
        case ValueKind::time:
            return write_time(state, out);
        case ValueKind::uuid:
            return write_uuid(state, out);
        case ValueKind::dataclass:
            if (state_word::nesting_depth(state.word) >= state_word::depth_limit) [[unlikely]]
                return &failure::recursion_limit;
            return write_dataclass(state, out);
        case ValueKind::numpy_scalar:
            return write_numpy_scalar(state, out);
        case ValueKind::numpy_array:
            return write_numpy_array(state, out);
        case ValueKind::enum_member:
            return write_enum(state, out);
        case ValueKind::fragment:
            return write_fragment(state, out);
        case ValueKind::unsupported:
            break;
    }
    return default_hook(state, out);
}

template <class L>
[[gnu::always_inline]] inline Status walk(WalkState state, L& out) noexcept {
    PyObject* obj = state.object;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == typeref.string_type) return write_str(obj, out.buffer());
    if (type == typeref.int_type) return write_int(obj, state.word, out.buffer());
    if (type == typeref.bool_type) return write_bool(obj, out.buffer());
    if (type == typeref.none_type) return write_null(out.buffer());
    if (type == typeref.float_type) return write_float(obj, out.buffer());
    if (type == typeref.list_type) return walk_sequence(state, out);
    if (type == typeref.dict_type) return walk_dict(state, out);
    if (type == typeref.datetime_type && !state_word::has(state.word, opt::PASSTHROUGH_DATETIME))
        return write_datetime(state, out);
    return walk_other(state, out);
}

}  // namespace kestro
