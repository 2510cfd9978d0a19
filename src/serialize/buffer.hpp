// The output of one dumps call.  The first kilobyte is written into the
// buffer's own storage, on the caller's stack, and copied into a bytes object
// of its exact size at the end: most documents are short, and for them this
// costs no allocation beyond the result.  A longer text moves into the
// storage of a bytes object that grows by doubling and is shrunk to the text
// at the end; past a few MiB writing goes on in blocks of its own, gathered
// into one object of its exact size at the end (see OutputBuffer::spill).
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
    // The bytes object grows by doubling below this capacity; a text that
    // needs more goes on in spill blocks, the first of this size, each next
    // one twice the one before.
    static constexpr size_t spill_capacity = size_t{4} << 20;

    // Writing starts in the buffer's own storage (initial_capacity bytes).
    OutputBuffer() noexcept : data_(local_), capacity_(initial_capacity) {}
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    // A text that never left local_ owns nothing: the common small call
    // skips the release entirely (spill blocks exist only while spilling).
    ~OutputBuffer() {
        if (bytes_ != nullptr || allocation_ != nullptr) discard();
    }

    // Afterwards capacity > len + need, unless no memory could be had: then
    // the status is a failure with MemoryError set.  The room is contiguous
    // but may start a new block, so a writer takes the cursor after
    // reserving and never reads text written before.
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

    // The length of the text so far, and the room of the block being written.
    size_t len() const noexcept { return spilled_ + len_; }
    size_t capacity() const noexcept { return capacity_; }

    // Terminates the text and hands it over as a bytes object of its exact
    // size (null with the interpreter's error set when that fails).
    PyObject* finish(bool append_newline) noexcept;

    // Releases everything after a failed walk; the destructor does the same.
    void discard() noexcept;

  private:
    // A filled spill block: the allocation, the text's start in it (the
    // first huge-page boundary) and the length of the text.
    struct Block {
        void* allocation;
        char* data;
        size_t len;
    };
    // Enough for blocks that double from 4 MiB to the largest size.
    static constexpr int max_blocks = 48;

    bool spilling() const noexcept { return allocation_ != nullptr; }
    [[gnu::noinline]] Status grow(size_t target) noexcept;
    Status spill(size_t target) noexcept;
    PyObject* gather() noexcept;

    // The bytes object the text moved into once it outgrew local_, if it has.
    PyObject* bytes_ = nullptr;
    char* data_ = nullptr;
    size_t len_ = 0;
    size_t capacity_ = 0;
    // Once spilling: the bytes object's text length, the filled blocks, the
    // text before the block being written and that block's allocation, which
    // data_ points into.
    size_t head_len_ = 0;
    void* allocation_ = nullptr;
    Block blocks_[max_blocks];
    int block_count_ = 0;
    size_t spilled_ = 0;
    // Where every text starts; never read past len_ of it.
    char local_[initial_capacity];
};

}  // namespace kestro
