#include "serialize/dumps.hpp"

PyObject* dumps(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "dumps is not implemented yet");
    return nullptr;
}
