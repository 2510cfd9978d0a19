#include "runtime/memory.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kestro {

void allocation_failed(size_t size) noexcept {
    // Formatted by hand: nothing here may allocate.
    char text[64] = "memory allocation of ";
    size_t at = std::strlen(text);
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + size % 10);
        size /= 10;
    } while (size != 0);
    while (n != 0) text[at++] = digits[--n];
    const char tail[] = " bytes failed\n";
    std::memcpy(text + at, tail, sizeof tail - 1);
    at += sizeof tail - 1;
    ssize_t ignored = ::write(2, text, at);
    (void)ignored;
    std::abort();
}

void* alloc_or_die(size_t size) noexcept {
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX)) allocation_failed(size);
    void* p = PyMem_Malloc(size);
    if (p == nullptr) allocation_failed(size);
    return p;
}

size_t checked_size(size_t n, size_t size) noexcept {
    size_t total;
    if (__builtin_mul_overflow(n, size, &total)) allocation_failed(SIZE_MAX);
    return total;
}

}  // namespace kestro
