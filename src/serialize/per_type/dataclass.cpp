#include "serialize/per_type/dataclass.hpp"

namespace kestro {

namespace {

// Whether a __slots__ declaration names at least one slot.  Anything but an
// empty str, tuple, list or dict counts as naming one.
bool declares_slots(PyObject* slots) noexcept {
    if (PyUnicode_Check(slots)) return PyUnicode_GET_LENGTH(slots) != 0;
    if (PyTuple_Check(slots)) return PyTuple_GET_SIZE(slots) != 0;
    if (PyList_Check(slots)) return PyList_GET_SIZE(slots) != 0;
    if (PyDict_Check(slots)) return PyDict_GET_SIZE(slots) != 0;
    return true;
}

// The class's own __slots__ entry (a new reference); null when it has none.
PyObject* own_slots(PyTypeObject* type) noexcept {
    PyObject* own = ffi::type_own_dict(type);
    return own == nullptr ? nullptr : ffi::dict_get(own, typeref.attr_slots);
}

}  // namespace

bool dataclass_uses_fields(PyTypeObject* type) noexcept {
    if (Ref own(own_slots(type)); own) return true;
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    // Only classes made by class statements carry a __slots__ entry; the
    // last base is always object.
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro) - 1; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        if (Ref slots(own_slots(base)); slots && declares_slots(slots.get())) return true;
    }
    return false;
}

Status is_plain_field(PyObject* instance, PyObject* field, bool* plain) noexcept {
    Ref hold(Py_NewRef(field));
    Ref kind(PyObject_GetAttr(field, typeref.attr_field_type));
    if (!kind) [[unlikely]]
        return unsupported_type(Py_TYPE(instance));
    *plain = kind.get() == typeref.dataclass_field_marker;
    return Status::ok();
}

}  // namespace kestro
