#include "serialize/error.hpp"

#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <cstring>

namespace kestro {

const EncodeFailure* failure_with_detail(const char* prefix, size_t prefix_len, const char* detail,
                                         size_t detail_len) noexcept {
    size_t len = prefix_len + detail_len;
    auto* block = static_cast<char*>(alloc_or_die(sizeof(EncodeFailure) + len));
    char* text = block + sizeof(EncodeFailure);
    std::memcpy(text, prefix, prefix_len);
    if (detail_len != 0) std::memcpy(text + prefix_len, detail, detail_len);
    return new (block) EncodeFailure{text, len, true};
}

const EncodeFailure* unsupported_type(PyTypeObject* type) noexcept {
    static constexpr char prefix[] = "Type is not JSON serializable: ";
    const char* name = type->tp_name;
    size_t name_len = std::strlen(name);
    // The name is shown as UTF-8; a type made by C code may carry any bytes,
    // so invalid sequences become U+FFFD.  Any pending exception is kept as
    // the cause of the error this failure becomes.
    PyObject *type_, *value, *traceback;
    PyErr_Fetch(&type_, &value, &traceback);
    PyObject* decoded = PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(name_len), "replace");
    const EncodeFailure* result;
    Py_ssize_t len = 0;
    const char* text = decoded != nullptr ? PyUnicode_AsUTF8AndSize(decoded, &len) : nullptr;
    if (text != nullptr) {
        result = failure_with_detail(prefix, sizeof prefix - 1, text, static_cast<size_t>(len));
    } else {
        PyErr_Clear();
        result = failure_with_detail(prefix, sizeof prefix - 1, "?", 1);
    }
    Py_XDECREF(decoded);
    PyErr_Restore(type_, value, traceback);
    return result;
}

void raise_encode_error(const char* text, size_t len) noexcept {
    PyObject *cause_type, *cause, *cause_traceback;
    PyErr_Fetch(&cause_type, &cause, &cause_traceback);

    PyObject* message;
    if (len == 0) {
        message = Py_NewRef(typeref.empty_str);
    } else {
        message = typeref.string_builder(text, len);
    }
    if (message == nullptr) {  // MemoryError stands instead
        Py_XDECREF(cause_type);
        Py_XDECREF(cause);
        Py_XDECREF(cause_traceback);
        return;
    }
    PyErr_SetObject(typeref.encode_error, message);
    Py_DECREF(message);

    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (cause_type != nullptr) {
        PyErr_NormalizeException(&cause_type, &cause, &cause_traceback);
        // The cause keeps its traceback on every interpreter version.
        if (cause_traceback != nullptr && cause != nullptr)
            PyException_SetTraceback(cause, cause_traceback);
        if (value != nullptr && cause != nullptr) {
            PyException_SetCause(value, cause);  // steals cause
        } else {
            Py_XDECREF(cause);
        }
        Py_DECREF(cause_type);
    }
    Py_XDECREF(cause_traceback);
    PyErr_Restore(type, value, traceback);
}

void raise_failure(const EncodeFailure* failure) noexcept {
    if (failure == &failure::out_of_memory) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return;
    }
    raise_encode_error(failure->text, failure->len);
    if (failure->owned) PyMem_Free(const_cast<EncodeFailure*>(failure));
}

}  // namespace kestro
