#include "serialize/per_type/enum.hpp"

namespace kestro {

PyObject* enum_member_value(PyObject* member) noexcept {
    PyTypeObject* type = Py_TYPE(member);
    // The lookup self._value_ makes: no class attribute of that name, so the
    // member's own dictionary.
    if (type->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(type, typeref.attr_value) == typeref.enum_value_descriptor &&
        _PyType_Lookup(type, typeref.attr_value_) == nullptr) [[likely]] {
        Ref dict(PyObject_GenericGetDict(member, nullptr));
        if (dict) {
            if (PyObject* value = ffi::dict_get(dict.get(), typeref.attr_value_)) return value;
        }
        PyErr_Clear();  // the attribute lookup below says what is wrong
    }
    return PyObject_GetAttr(member, typeref.attr_value);
}

}  // namespace kestro
