#include "deserialize/string_builder.hpp"

namespace kestro {

PyObject* string_builder_baseline(const char* text, size_t len) noexcept {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(len), "strict");
}

}  // namespace kestro
