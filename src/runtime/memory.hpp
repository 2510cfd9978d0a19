// Every heap block of the module comes from the interpreter's allocator.  An
// exhausted allocator for one of the module's own small records is fatal.
#pragma once

#include "ffi/python.hpp"

#include <cstddef>
#include <new>

namespace kestro {

// Writes "memory allocation of N bytes failed" to stderr and aborts.
[[noreturn]] void allocation_failed(size_t size) noexcept;

// PyMem_Malloc that never returns null: failure ends the process.
void* alloc_or_die(size_t size) noexcept;

// n * size, ending the process when the product overflows.
size_t checked_size(size_t n, size_t size) noexcept;

// Fresh memory from the system costs a page fault per 4 KiB page at first
// touch, far more than writing the page.  Both helpers are only advice: where
// the system declines, the memory works as before.
//
// The size of a huge page on x86-64.
inline constexpr size_t huge_page_size = size_t{2} << 20;

// Asks for huge pages for the 2 MiB-aligned pages inside [p, p + size).
void advise_huge_pages(void* p, size_t size) noexcept;
// For a block about to be written from its start: also backs at once the
// ordinary pages at its start that no huge page covers, since each of those
// would otherwise fault on its own.
void prefault_for_writing(void* p, size_t size) noexcept;

template <class T>
T* alloc_records(size_t n) noexcept {
    return static_cast<T*>(alloc_or_die(checked_size(n, sizeof(T))));
}

// An owned PyMem block, released when it goes out of scope.
template <class T>
class MemBlock {
  public:
    MemBlock() = default;
    explicit MemBlock(T* p) noexcept : ptr_(p) {}
    MemBlock(const MemBlock&) = delete;
    MemBlock& operator=(const MemBlock&) = delete;
    ~MemBlock() { PyMem_Free(ptr_); }
    T* get() const noexcept { return ptr_; }
    T& operator[](size_t i) const noexcept { return ptr_[i]; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    T* ptr_ = nullptr;
};

// An owned reference, released when it goes out of scope.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* o) noexcept : obj_(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = obj_;
        obj_ = other.release();
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }
    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept {
        PyObject* o = obj_;
        obj_ = nullptr;
        return o;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    PyObject* obj_ = nullptr;
};

}  // namespace kestro
