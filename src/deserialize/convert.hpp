// Turning a parsed yyjson document into Python objects.
#pragma once

#include "ffi/python.hpp"

#include <yyjson.h>

#include <cstddef>

namespace kestro {

// Containers may nest this deep; the outermost one is at level 1.
inline constexpr size_t MAX_NESTING = 1024;

enum class ConvertStatus {
    ok,
    no_memory,  // the interpreter could not allocate an object: MemoryError is set
    too_deep,   // a container lies deeper than MAX_NESTING (nothing is set)
};

struct Converted {
    PyObject* obj;  // new reference, or null when status is not ok
    ConvertStatus status;
};

// The Python value of the document's root: dicts, lists, str, int, float,
// bool and None, built in document order.  On failure everything built so far
// has been released.
Converted convert_document(yyjson_val* root) noexcept;

}  // namespace kestro
