#pragma once

#include "ffi/python.hpp"

KESTRO_EXPORT PyObject* loads(PyObject* self, PyObject* obj);
