#include "serialize/buffer.hpp"

#include "runtime/memory.hpp"

#include <cstdint>

namespace kestro {

Status OutputBuffer::grow(size_t target) noexcept {
    if (spilling() || target >= spill_capacity / 2) return spill(target);
    size_t c = capacity_;
    while (c <= target) c *= 2;  // below spill_capacity
    if (bytes_ == nullptr) {
        // The text leaves the buffer's own storage.
        bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(c));
        if (bytes_ == nullptr) return out_of_memory();
        std::memcpy(ffi::bytes_data(bytes_), local_, len_);
    } else if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(c)) != 0) {
        // The object may move; on failure the interpreter releases it.
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

// Growing a long text in place would copy it at every doubling, each time
// into memory that faults in page by page as the copy reaches it.  Instead
// the text so far stays where it is and writing goes on in a fresh block
// prepared for writing (see prefault_for_writing); only finish copies, once.
// target counts from the start of the block being written.
Status OutputBuffer::spill(size_t target) noexcept {
    constexpr size_t largest = static_cast<size_t>(PY_SSIZE_T_MAX) / 2;
    // The room the reservation asked for, beyond the text already written.
    const size_t need = target - len_;
    size_t c = spilling() ? capacity_ * 2 : spill_capacity;
    while (c <= need) {
        if (c > largest) {
            PyErr_NoMemory();
            return out_of_memory();
        }
        c *= 2;
    }
    if (block_count_ == max_blocks || c > largest - huge_page_size) {
        PyErr_NoMemory();
        return out_of_memory();
    }
    // The text starts on a huge-page boundary, so that no page of it faults
    // in on its own; the slack before it is never touched.
    void* allocation = PyMem_Malloc(c + huge_page_size);
    if (allocation == nullptr) {
        PyErr_NoMemory();
        return out_of_memory();  // what was written stays owned until discard
    }
    const uintptr_t at = reinterpret_cast<uintptr_t>(allocation);
    char* block = reinterpret_cast<char*>((at + huge_page_size - 1) & ~uintptr_t{huge_page_size - 1});
    prefault_for_writing(block, c);
    if (spilling()) {
        blocks_[block_count_++] = {allocation_, data_, len_};
    } else {
        head_len_ = len_;
    }
    spilled_ += len_;
    allocation_ = allocation;
    data_ = block;
    len_ = 0;
    capacity_ = c;
    return Status::ok();
}

// One object of the text's exact size, filled from the bytes object and the
// blocks in order; each block is released as soon as it is copied.
PyObject* OutputBuffer::gather() noexcept {
    const size_t total = spilled_ + len_;
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (result == nullptr) return nullptr;
    char* out = ffi::bytes_data(result);
    prefault_for_writing(out, total);
    std::memcpy(out, bytes_ != nullptr ? ffi::bytes_data(bytes_) : local_, head_len_);
    out += head_len_;
    Py_CLEAR(bytes_);
    for (int i = 0; i < block_count_; ++i) {
        std::memcpy(out, blocks_[i].data, blocks_[i].len);
        out += blocks_[i].len;
        PyMem_Free(blocks_[i].allocation);
    }
    block_count_ = 0;
    std::memcpy(out, data_, len_);
    PyMem_Free(allocation_);
    allocation_ = nullptr;
    data_ = nullptr;
    spilled_ = 0;
    return result;
}

PyObject* OutputBuffer::finish(bool append_newline) noexcept {
    if (append_newline) data_[len_++] = '\n';
    if (spilling()) {
        PyObject* result = gather();
        if (result == nullptr) discard();
        return result;
    }
    if (bytes_ == nullptr) return PyBytes_FromStringAndSize(local_, static_cast<Py_ssize_t>(len_));
    data_[len_] = '\0';
    // Resizing to the text length releases the unused storage (when the size
    // field already said len the interpreter would keep the whole block).
    PyObject* result = bytes_;
    bytes_ = nullptr;
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(len_)) != 0) return nullptr;
    capacity_ = len_;
    return result;
}

void OutputBuffer::discard() noexcept {
    Py_CLEAR(bytes_);
    for (int i = 0; i < block_count_; ++i) PyMem_Free(blocks_[i].allocation);
    block_count_ = 0;
    PyMem_Free(allocation_);
    allocation_ = nullptr;
    spilled_ = 0;
    data_ = nullptr;
    len_ = 0;
    capacity_ = 0;
}

}  // namespace kestro
