#include "serialize/dumps.hpp"

#include "serialize/walker.hpp"
#include "typeref.hpp"

#include <cstdio>

using namespace kestro;

namespace {

template <size_t N>
PyObject* argument_error(const char (&message)[N]) noexcept {
    raise_encode_error(message, N - 1);
    return nullptr;
}

PyObject* invalid_options() noexcept { return argument_error("Invalid opts"); }

// None or an exact int from 0 to 4095.
bool read_options(PyObject* option, uint32_t* mask) noexcept {
    *mask = 0;
    if (option == nullptr || option == typeref.none) return true;
    if (Py_TYPE(option) != typeref.int_type) return false;
    int64_t value;
    if (!ffi::long_small_value(option, &value) || value < 0 || value > opt::MAX) return false;
    *mask = static_cast<uint32_t>(value);
    return true;
}

// Whether keyword `name` is the interned `interned`.  Names written in the
// call are that very object; a name built at run time (a ** mapping read
// from a file) is only equal to it.
inline bool keyword_is(PyObject* name, PyObject* interned) noexcept {
    return name == interned || (PyUnicode_Check(name) && PyUnicode_Compare(name, interned) == 0);
}

template <class L>
Status walk_root(PyObject* obj, PyObject* default_fn, uint32_t mask, OutputBuffer& buf) noexcept {
    if (!(mask & opt::SORT_KEYS)) {
        L out(buf);
        return walk(WalkState{obj, default_fn, mask}, out);
    }
    SortedOrders orders;
    L out(buf, &orders);
    return walk(WalkState{obj, default_fn, mask}, out);
}

}  // namespace

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    if (n == 0) return argument_error("dumps() missing 1 required positional argument: 'obj'");
    if (n > 3) {
        char message[96];
        int len = std::snprintf(message, sizeof message,
                                "dumps() takes at most 3 positional arguments (%zd given)", n);
        raise_encode_error(message, static_cast<size_t>(len));
        return nullptr;
    }
    PyObject* obj = args[0];
    PyObject* default_fn = n >= 2 ? args[1] : nullptr;
    PyObject* option = n == 3 ? args[2] : nullptr;

    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            const bool is_option = keyword_is(name, typeref.kw_option);
            if (is_option && n < 3) {
                option = args[n + k];
            } else if (!is_option && n == 1 && keyword_is(name, typeref.kw_default)) {
                default_fn = args[n + k];
            } else if (is_option) {
                return argument_error("dumps() got multiple values for argument: 'option'");
            } else if (keyword_is(name, typeref.kw_default)) {
                return argument_error("dumps() got multiple values for argument: 'default'");
            } else {
                return argument_error("dumps() got an unexpected keyword argument");
            }
        }
    }

    uint32_t mask;
    if (!read_options(option, &mask)) return invalid_options();

    OutputBuffer buf;
    Status status = (mask & opt::INDENT_2)
                        ? walk_root<IndentedLayout>(obj, default_fn, mask, buf)
                        : walk_root<CompactLayout>(obj, default_fn, mask, buf);
    if (status.failed()) [[unlikely]] {
        buf.discard();
        raise_failure(status.failure());
        return nullptr;
    }
    return buf.finish(mask & opt::APPEND_NEWLINE);
}
