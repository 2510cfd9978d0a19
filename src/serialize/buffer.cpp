#include "serialize/buffer.hpp"

namespace kestro {

Status OutputBuffer::grow(size_t target) noexcept {
    constexpr size_t largest = static_cast<size_t>(PY_SSIZE_T_MAX) / 2;
    size_t c = capacity_;
    while (c <= target) {
        if (c > largest) {
            PyErr_NoMemory();
            return out_of_memory();
        }
        c *= 2;
    }
    // The object may move; on failure the interpreter releases it.
    if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(c)) != 0) {
        bytes_ = nullptr;
        data_ = nullptr;
        capacity_ = 0;
        len_ = 0;
        return out_of_memory();
    }
    data_ = ffi::bytes_data(bytes_);
    capacity_ = c;
    return Status::ok();
}

PyObject* OutputBuffer::finish(bool append_newline) noexcept {
    if (append_newline) data_[len_++] = '\n';
    data_[len_] = '\0';
    // Resizing to the text length releases the unused storage (when the size
    // field already said len the interpreter would keep the whole block).
    PyObject* result = bytes_;
    bytes_ = nullptr;
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(len_)) != 0) return nullptr;
    capacity_ = len_;
    return result;
}

}  // namespace kestro
