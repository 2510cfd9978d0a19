#include "fragment.hpp"

#include "runtime/memory.hpp"
#include "typeref.hpp"

using kestro::FragmentObject;

PyObject* kestro_fragmenttype_new() {
    // The text signature, then what help() shows beneath it.
    static const char doc[] =
        "Fragment(content, /)\n--\n\n"
        "Already-serialized JSON that dumps copies into its output unchanged.\n"
        "\n"
        "content is the JSON text as bytes or str. It is not parsed or checked:\n"
        "dumps writes it as it is, in compact and indented output alike.";
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(kestro_fragment_tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kestro_fragment_dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "kestro.Fragment",
        static_cast<int>(sizeof(FragmentObject)),
        0,
        Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return PyType_FromSpec(&spec);
}

PyObject* kestro_fragment_tp_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwds) {
    if (kwds != nullptr || PyTuple_GET_SIZE(args) != 1) {
        static const char message[] = "kestro.Fragment() takes exactly 1 positional argument";
        PyObject* text = PyUnicode_FromStringAndSize(message, sizeof message - 1);
        if (text != nullptr) {
            PyErr_SetObject(PyExc_TypeError, text);
            Py_DECREF(text);
        }
        return nullptr;
    }
    PyObject* contents = PyTuple_GET_ITEM(args, 0);
    auto* self = static_cast<FragmentObject*>(kestro::alloc_or_die(sizeof(FragmentObject)));
    // PyObject_Init takes the reference to the heap type that dealloc gives back.
    PyObject_Init(reinterpret_cast<PyObject*>(self), kestro::typeref.fragment_type);
    Py_INCREF(contents);
    self->contents = contents;
    return reinterpret_cast<PyObject*>(self);
}

void kestro_fragment_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_DECREF(reinterpret_cast<FragmentObject*>(self)->contents);
    PyMem_Free(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}
