#include "deserialize/string_builder.hpp"

namespace kestro {

PyObject* string_builder_wide(const char* text, size_t len) noexcept {
    return string_builder_baseline(text, len);
}

}  // namespace kestro
