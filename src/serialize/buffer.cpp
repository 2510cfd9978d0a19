#include "serialize/buffer.hpp"

#include "runtime/memory.hpp"

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
    // Fresh memory costs a page fault per 4 KiB page at first touch, more
    // than writing the page; large texts move into memory that faults in
    // huge pages instead (see prefault_for_writing).
    if (c >= prefault_capacity) return move_to_fresh(c);
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

// A resize may copy the text into pages that fault one by one as the copy
// reaches them (and enlarging a mapping in place leaves its new pages to
// fault the same way): the text moves into a fresh object prepared for
// writing before the copy touches it.
Status OutputBuffer::move_to_fresh(size_t c) noexcept {
    PyObject* fresh = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(c));
    if (fresh == nullptr) return out_of_memory();  // the old object stays ours
    char* fresh_data = ffi::bytes_data(fresh);
    prefault_for_writing(fresh_data, c);
    std::memcpy(fresh_data, data_, len_);
    Py_DECREF(bytes_);
    bytes_ = fresh;
    data_ = fresh_data;
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
