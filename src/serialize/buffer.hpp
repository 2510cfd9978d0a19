// The output of one dumps call, written in place into the storage of the
// bytes object that is returned.
//
// Reserve, then write: a writer calls reserve(need) once for the whole item
// and then stores without bounds tests.  Every need leaves at least 30 bytes
// beyond what the item can produce, so the few separators written without a
// reservation of their own (the compact "," and ":", the final newline and
// the terminating zero) always fit.
#pragma once

#include "ffi/python.hpp"
#include "serialize/error.hpp"

#include <cstddef>
#include <cstring>

namespace kestro {

class OutputBuffer {
  public:
    static constexpr size_t initial_capacity = 1024;
    // From this capacity on, growing moves the text into a fresh object
    // whose pages fault in as huge pages (see OutputBuffer::move_to_fresh).
    static constexpr size_t prefault_capacity = size_t{4} << 20;

    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer() { Py_XDECREF(bytes_); }

    // Allocates the 1024-byte bytes object; false with MemoryError set.
    bool create() noexcept {
        bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(initial_capacity));
        if (bytes_ == nullptr) return false;
        data_ = ffi::bytes_data(bytes_);
        capacity_ = initial_capacity;
        len_ = 0;
        return true;
    }

    // Afterwards capacity > len + need, unless the bytes object could not be
    // enlarged: then the status is a failure with MemoryError set.
    [[gnu::always_inline]] Status reserve(size_t need) noexcept {
        if (len_ + need >= capacity_) [[unlikely]]
            return grow(len_ + need);
        return Status::ok();
    }

    char* cursor() const noexcept { return data_ + len_; }
    void advance(size_t n) noexcept { len_ += n; }
    void set_cursor(char* end) noexcept { len_ = static_cast<size_t>(end - data_); }
    void put(char c) noexcept { data_[len_++] = c; }
    void put2(const char* two) noexcept {
        std::memcpy(data_ + len_, two, 2);
        len_ += 2;
    }

    size_t len() const noexcept { return len_; }
    size_t capacity() const noexcept { return capacity_; }

    // Terminates the text, shrinks the bytes object to it and hands it over
    // (null with the interpreter's error set if the shrinking fails).
    PyObject* finish(bool append_newline) noexcept;

    // Drops the bytes object after a failed walk.
    void discard() noexcept { Py_CLEAR(bytes_); }

  private:
    [[gnu::noinline]] Status grow(size_t target) noexcept;
    Status move_to_fresh(size_t capacity) noexcept;

    PyObject* bytes_ = nullptr;
    char* data_ = nullptr;
    size_t len_ = 0;
    size_t capacity_ = 0;
};

}  // namespace kestro
