#include "serialize/per_type/fragment_value.hpp"

#include "fragment.hpp"
#include "serialize/per_type/str_value.hpp"
#include "typeref.hpp"

#include <cstring>

namespace kestro {

Status write_fragment_content(PyObject* fragment, OutputBuffer& buf) noexcept {
    PyObject* content = reinterpret_cast<FragmentObject*>(fragment)->contents;
    const char* text;
    size_t len;
    if (Py_TYPE(content) == typeref.bytes_type) {
        text = ffi::bytes_data(content);
        len = static_cast<size_t>(PyBytes_GET_SIZE(content));
    } else if (Py_TYPE(content) == typeref.string_type) {
        text = utf8_of_str(content, &len);
        if (text == nullptr) return &failure::surrogates;
    } else {
        return &failure::fragment_content;
    }
    if (Status s = buf.reserve(len + 32); s.failed()) [[unlikely]]
        return s;
    std::memcpy(buf.cursor(), text, len);
    buf.advance(len);
    return Status::ok();
}

}  // namespace kestro
