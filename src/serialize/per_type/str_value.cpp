#include "serialize/per_type/str_value.hpp"

namespace kestro {

const char* utf8_of_str_slow(PyObject* s, size_t* len) noexcept {
    Py_ssize_t n;
    const char* text = PyUnicode_AsUTF8AndSize(s, &n);
    if (text == nullptr) return nullptr;
    *len = static_cast<size_t>(n);
    return text;
}

}  // namespace kestro
