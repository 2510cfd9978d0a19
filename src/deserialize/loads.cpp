#include "deserialize/loads.hpp"

PyObject* loads(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "loads is not implemented yet");
    return nullptr;
}
