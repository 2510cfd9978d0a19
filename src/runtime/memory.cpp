#include "runtime/memory.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
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

namespace {

// [begin, end) rounded inwards to multiples of align; empty when nothing fits.
struct Span {
    uintptr_t begin, end;
};
Span inner_span(void* p, size_t size, uintptr_t align) noexcept {
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    return {(start + align - 1) & ~(align - 1), (start + size) & ~(align - 1)};
}

// Linux 5.14 and later; older kernels reject it and the pages fault as before.
#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23;
#endif

constexpr uintptr_t huge_page = huge_page_size;

void populate(uintptr_t begin, uintptr_t end) noexcept {
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

}  // namespace

void advise_huge_pages(void* p, size_t size) noexcept {
    const Span huge = inner_span(p, size, huge_page);
    if (huge.end > huge.begin) madvise(reinterpret_cast<void*>(huge.begin), huge.end - huge.begin, MADV_HUGEPAGE);
}

void prefault_for_writing(void* p, size_t size) noexcept {
    advise_huge_pages(p, size);
    // A huge page faults in at once when it is first reached.  The ordinary
    // pages before the first huge one are backed now; those after the last
    // are left to fault if they are ever reached, as the end of a block is
    // the part most often left unused.
    const Span huge = inner_span(p, size, huge_page);
    const Span pages = inner_span(p, size, static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)));
    populate(pages.begin, huge.end > huge.begin ? huge.begin : pages.end);
}

}  // namespace kestro
