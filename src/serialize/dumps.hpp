#pragma once

#include "ffi/python.hpp"

KESTRO_EXPORT PyObject* dumps(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
