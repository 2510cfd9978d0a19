#include "serialize/numpy/array.hpp"

#include "typeref.hpp"

namespace kestro {

bool element_kind_of(char typekind, int itemsize, ElementKind* kind) noexcept {
    using K = ElementKind;
    auto by_size = [&](K k1, K k2, K k4, K k8) {
        switch (itemsize) {
            case 1: *kind = k1; return true;
            case 2: *kind = k2; return true;
            case 4: *kind = k4; return true;
            case 8: *kind = k8; return true;
            default: return false;
        }
    };
    switch (typekind) {
        case 'b':
            *kind = K::bool_;
            return itemsize == 1;
        case 'i':
            return by_size(K::int8, K::int16, K::int32, K::int64);
        case 'u':
            return by_size(K::uint8, K::uint16, K::uint32, K::uint64);
        case 'f':
            *kind = itemsize == 2 ? K::float16 : itemsize == 4 ? K::float32 : K::float64;
            return itemsize == 2 || itemsize == 4 || itemsize == 8;
        case 'M':
            *kind = K::datetime64;
            return itemsize == 8;
        default:
            return false;
    }
}

namespace {

// The interface record of the capsule, or null.
const ffi::PyArrayInterface* interface_of(PyObject* capsule) noexcept {
    if (!PyCapsule_CheckExact(capsule)) return nullptr;
    const char* name = PyCapsule_GetName(capsule);
    auto* record = static_cast<const ffi::PyArrayInterface*>(PyCapsule_GetPointer(capsule, name));
    if (record == nullptr) PyErr_Clear();
    return record;
}

// Whether the extents describe memory that exists: none negative, the bytes
// they span countable, and data present when there is any element.
bool extents_are_sound(const ffi::PyArrayInterface& a) noexcept {
    if (a.shape == nullptr) return false;
    size_t bytes = static_cast<size_t>(a.itemsize);
    for (int d = 0; d < a.nd; ++d) {
        if (a.shape[d] < 0) return false;
        if (__builtin_mul_overflow(bytes, static_cast<size_t>(a.shape[d]), &bytes)) return false;
    }
    if (bytes > static_cast<size_t>(PY_SSIZE_T_MAX)) return false;
    return bytes == 0 || a.data != nullptr;
}

}  // namespace

ArrayViewFailure read_array_view(PyObject* array, ArrayView* view) noexcept {
    Ref capsule(PyObject_GetAttr(array, typeref.attr_array_struct));
    if (!capsule) {
        PyErr_Clear();
        return ArrayViewFailure::malformed;
    }
    const ffi::PyArrayInterface* a = interface_of(capsule.get());
    if (a == nullptr || a->two != 2 || a->nd < 0 || a->nd > ffi::NPY_MAXDIMS_ANY)
        return ArrayViewFailure::malformed;
    // numpy hands out the record of a structured array with every flag
    // cleared, so its flags say nothing; its elements are never written.
    if (a->typekind == 'V') return ArrayViewFailure::unsupported_element;
    if (!(a->flags & ffi::NPY_ARRAY_C_CONTIGUOUS)) return ArrayViewFailure::not_contiguous;
    if (!(a->flags & ffi::NPY_ARRAY_NOTSWAPPED)) return ArrayViewFailure::not_native_endian;
    if (a->nd == 0) return ArrayViewFailure::unsupported_element;
    ElementKind kind;
    if (!element_kind_of(a->typekind, a->itemsize, &kind))
        return ArrayViewFailure::unsupported_element;
    if (!extents_are_sound(*a)) return ArrayViewFailure::malformed;
    view->unit = kind == ElementKind::datetime64 ? parse_datetime64_unit(array)
                                                 : Datetime64Unit::none;
    view->element = kind;
    view->interface = a;
    view->capsule = std::move(capsule);
    return ArrayViewFailure::none;
}

}  // namespace kestro
