#include "serialize/per_type/uuid.hpp"

#include "arch/lanes.hpp"
#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <cstring>

namespace kestro {

namespace {

// The UUID's "int": read from its slot while the class's "int" is still the
// standard library's slot (nothing was assigned over it) and attribute
// lookup is the ordinary one; looked up as an attribute otherwise, which
// may run Python code (the UUID is held through it).  A new reference, or
// null with the interpreter's error set.
PyObject* uuid_int(PyObject* uuid) noexcept {
    PyTypeObject* type = Py_TYPE(uuid);
    // Without the global lock the slot is read by the interpreter, which
    // takes its reference safely while other threads may write the slot.
    if (!ffi::free_threaded && typeref.uuid_int_offset != 0 &&
        type->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(type, typeref.attr_int) == typeref.uuid_int_descriptor) [[likely]] {
        if (PyObject* value = ffi::slot_value(uuid, typeref.uuid_int_offset)) return Py_NewRef(value);
    }
    Ref hold(Py_NewRef(uuid));
    return PyObject_GetAttr(uuid, typeref.attr_int);
}

// The 16 bytes of the UUID's integer, most significant first.  The UUID
// need not outlive the lookup.
Status uuid_bytes(PyObject* uuid, unsigned char bytes[16]) noexcept {
    PyTypeObject* type = Py_TYPE(uuid);
    Ref value(uuid_int(uuid));
    if (!value || !PyLong_Check(value.get()) || !ffi::long_to_be128(value.get(), bytes)) [[unlikely]]
        return unsupported_type(type);
    return Status::ok();
}

}  // namespace

char* put_uuid_text(char* p, const unsigned char bytes[16]) noexcept {
    alignas(16) char hex[32];
    lanes::hex32(bytes, hex);
    // Groups of 8, 4, 4, 4 and 12 digits.
    std::memcpy(p, hex, 8);
    p[8] = '-';
    std::memcpy(p + 9, hex + 8, 4);
    p[13] = '-';
    std::memcpy(p + 14, hex + 12, 4);
    p[18] = '-';
    std::memcpy(p + 19, hex + 16, 4);
    p[23] = '-';
    std::memcpy(p + 24, hex + 20, 12);
    return p + 36;
}

Status write_uuid_text(PyObject* uuid, ScratchText& out) noexcept {
    unsigned char bytes[16];
    if (Status s = uuid_bytes(uuid, bytes); s.failed()) [[unlikely]]
        return s;
    out.set_end(put_uuid_text(out.end(), bytes));
    return Status::ok();
}

Status write_uuid_value(PyObject* uuid, OutputBuffer& buf) noexcept {
    unsigned char bytes[16];
    if (Status s = uuid_bytes(uuid, bytes); s.failed()) [[unlikely]]
        return s;
    if (Status s = buf.reserve(128); s.failed()) [[unlikely]]
        return s;
    char* p = buf.cursor();
    *p = '"';
    p = put_uuid_text(p + 1, bytes);
    *p = '"';
    buf.set_cursor(p + 1);
    return Status::ok();
}

}  // namespace kestro
