// Reading a numpy array through its array interface (the "__array_struct__"
// capsule) and checking that kestro can write it straight from its memory.
#pragma once

#include "ffi/numpy.hpp"
#include "ffi/numpy/datetime.hpp"
#include "runtime/memory.hpp"

#include <cstddef>
#include <cstdint>

namespace kestro {

// What one array element is, from the interface's type letter and size.
enum class ElementKind : uint8_t {
    bool_,
    int8,
    int16,
    int32,
    int64,
    uint8,
    uint16,
    uint32,
    uint64,
    float16,
    float32,
    float64,
    datetime64,
};

// Why an array cannot be written natively.  not_contiguous and
// unsupported_element go to default when there is one; the others always fail.
enum class ArrayViewFailure : uint8_t {
    none,
    malformed,
    not_contiguous,
    not_native_endian,
    unsupported_element,
};

// The element kind of a (typekind, itemsize) pair; false for any pair kestro
// does not write (complex, bytes, str, object, timedelta, void, float128, ...).
bool element_kind_of(char typekind, int itemsize, ElementKind* kind) noexcept;

// A checked array: its interface record, borrowed from the capsule the view
// holds, and its element kind.  The elements lie one after the other in
// row-major order from data(); the array is written by walking its index
// prefixes in that order (serialize/per_type/numpy.hpp), without building
// anything per prefix.
struct ArrayView {
    Ref capsule;
    const ffi::PyArrayInterface* interface = nullptr;
    ElementKind element = ElementKind::bool_;
    Datetime64Unit unit = Datetime64Unit::none;  // for datetime64 elements

    int nd() const noexcept { return interface->nd; }
    size_t extent(int dim) const noexcept { return static_cast<size_t>(interface->shape[dim]); }
    const char* data() const noexcept { return static_cast<const char*>(interface->data); }
};

// Reads and checks the array interface of `array`, in this order: a record
// that cannot be read (no such attribute, not a capsule, `two` not 2) is
// malformed; then the C-contiguous flag, the native byte order flag, zero
// dimensions and the element type.  Structured (void) elements are
// unsupported whatever the flags, which numpy leaves clear for them.  A record that passes those but whose
// dimensions or data cannot be those of a real array is malformed too.
// Leaves no exception pending.
ArrayViewFailure read_array_view(PyObject* array, ArrayView* view) noexcept;

}  // namespace kestro
