// Dataclass instances as JSON objects of their members.  The dispatcher has
// checked the nesting limit; members are walked one level deeper.
//
// Two routes.  The instance dictionary: every attribute in it, in its order,
// fields or not, with no attribute lookup per member.  The field table
// ("__dataclass_fields__", read once per instance): the fields in the order of
// declaration, leaving out ClassVar and InitVar pseudo-fields, each value
// looked up by name.  The table serves instances without a dictionary and
// classes whose instances keep fields outside it (dataclass_uses_fields).
// On both routes a member whose name begins with "_" is left out, keys are
// neither converted nor sorted, and an object whose every member is left
// out is "{}" in both layouts.
#pragma once

#include "runtime/memory.hpp"
#include "serialize/per_type/dict.hpp"
#include "serialize/walk.hpp"
#include "typeref.hpp"

namespace kestro {

// Whether instances of the dataclass keep fields outside their dictionary:
// the class declares __slots__ itself, or a base class declares non-empty
// ones (a dataclass that inherits from a slotted one without declaring slots
// has a dictionary that lacks the base's fields).  An empty __slots__ on a
// base, as on typing's mixins, changes nothing.
bool dataclass_uses_fields(PyTypeObject* type) noexcept;

// Whether a field's "_field_type" is dataclasses' marker of a real field
// (not ClassVar or InitVar); a failure when it cannot be read.
Status is_plain_field(PyObject* instance, PyObject* field, bool* plain) noexcept;

inline bool leaves_out(const char* name, size_t len) noexcept { return len != 0 && name[0] == '_'; }

// The instance dictionary's members.  The dictionary is held by the caller;
// each value is held while it is written.
template <class L>
Status write_dataclass_dict(PyObject* dict, WalkState member, L& out) noexcept {
    ffi::ObjectLock lock(dict);
    StrKeyEntries entries(dict);
    if (entries.count() == 0) return out.write_empty("{}");
    if (Status s = out.open_container('{'); s.failed()) [[unlikely]]
        return s;
    for (bool first = true;;) {
        bool done;
        if (Status s = entries.next(&done); s.failed()) [[unlikely]]
            return s;
        if (done) break;
        if (leaves_out(entries.text(), entries.len())) continue;
        Ref value(Py_NewRef(entries.value()));
        if (Status s = write_member(entries.text(), entries.len(), first, member.with(value.get()), out);
            s.failed()) [[unlikely]]
            return s;
        first = false;
    }
    return out.close_container('}');
}

// The fields of the class's field table, each value looked up on the
// instance.  The table, each name and each value are held while in use:
// the lookups may run Python code that changes the table.
template <class L>
[[gnu::noinline]] Status write_dataclass_fields(WalkState member, L& out) noexcept {
    PyObject* instance = member.object;
    Ref fields(PyObject_GetAttr(instance, typeref.attr_dataclass_fields));
    if (!fields || !PyDict_Check(fields.get())) [[unlikely]]
        return unsupported_type(Py_TYPE(instance));
    ffi::ObjectLock lock(fields.get());
    Py_ssize_t left = ffi::dict_used(fields.get());
    if (left == 0) return out.write_empty("{}");
    if (Status s = out.open_container('{'); s.failed()) [[unlikely]]
        return s;
    Py_ssize_t pos = 0;
    PyObject *name_ref, *field;
    for (bool first = true; left-- > 0 && ffi::dict_next(fields.get(), &pos, &name_ref, &field);) {
        Ref name(Py_NewRef(name_ref));
        bool plain;
        if (Status s = is_plain_field(instance, field, &plain); s.failed()) [[unlikely]]
            return s;
        if (!plain) continue;
        if (!PyUnicode_Check(name.get())) [[unlikely]]
            return &failure::dict_key_not_str;
        size_t len;
        const char* text = utf8_of_str(name.get(), &len);
        if (text == nullptr) [[unlikely]]
            return &failure::surrogates;
        if (leaves_out(text, len)) continue;
        Ref value(PyObject_GetAttr(instance, name.get()));
        if (!value) [[unlikely]]
            return unsupported_type(Py_TYPE(instance));
        if (Status s = write_member(text, len, first, member.with(value.get()), out); s.failed())
            [[unlikely]]
            return s;
        first = false;
    }
    return out.close_container('}');
}

template <class L>
[[gnu::noinline]] Status write_dataclass(WalkState state, L& out) noexcept {
    WalkState member{state.object, state.default_fn, state.word + state_word::nesting_step};
    PyObject* dict = PyObject_GetAttr(state.object, typeref.attr_dict);
    if (dict == nullptr) {  // no instance dictionary (__slots__)
        PyErr_Clear();
        return write_dataclass_fields(member, out);
    }
    Ref hold(dict);
    if (!PyDict_Check(dict) || dataclass_uses_fields(Py_TYPE(state.object))) [[unlikely]]
        return write_dataclass_fields(member, out);
    return write_dataclass_dict(dict, member, out);
}

}  // namespace kestro
