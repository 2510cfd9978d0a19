// Fragment: a piece of already serialized JSON that dumps copies unchanged.
#pragma once

#include "ffi/python.hpp"

namespace kestro {

struct FragmentObject {
    PyObject_HEAD
    PyObject* contents;  // strong; bytes or str when it is written
};

}  // namespace kestro

KESTRO_EXPORT PyObject* kestro_fragmenttype_new();
KESTRO_EXPORT PyObject* kestro_fragment_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
KESTRO_EXPORT void kestro_fragment_dealloc(PyObject* self);
