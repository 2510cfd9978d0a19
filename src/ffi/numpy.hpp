// What kestro knows of numpy's binary interface.  numpy is never needed to
// build or load the module: the array interface record and the layout of
// scalar objects are declared here as numpy publishes them, the same in the
// 1.x and 2.x lines.
#pragma once

#include "ffi/python.hpp"

#include <cstdint>

namespace kestro::ffi {

// The record held by an array's "__array_struct__" capsule.
struct PyArrayInterface {
    int two;            // always 2: tells a readable record from anything else
    int nd;             // number of dimensions
    char typekind;      // 'b' bool, 'i' signed, 'u' unsigned, 'f' float, 'M' datetime, ...
    int itemsize;       // bytes per element
    int flags;          // NPY_ARRAY_* bits
    Py_intptr_t* shape;    // nd extents
    Py_intptr_t* strides;  // nd byte steps
    void* data;         // the first element
    PyObject* descr;    // not read
};

inline constexpr int NPY_ARRAY_C_CONTIGUOUS = 0x0001;
inline constexpr int NPY_ARRAY_NOTSWAPPED = 0x0200;

// numpy gives up on arrays of more dimensions than this (32 in 1.x, 64 in
// 2.x); a record that claims more is not one numpy made.
inline constexpr int NPY_MAXDIMS_ANY = 64;

// A numpy scalar object: the interpreter's object header followed by the
// value (numpy's PyArrayScalar_VAL).  datetime64 scalars carry their unit
// after the value; it is not read here.
template <class T>
struct ScalarObject {
    PyObject_HEAD
    T value;
};

template <class T>
inline T scalar_value(PyObject* o) noexcept {
    return reinterpret_cast<ScalarObject<T>*>(o)->value;
}

}  // namespace kestro::ffi
