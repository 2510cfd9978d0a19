#include "deserialize/error.hpp"

#include "deserialize/utf8.hpp"
#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <cstring>

namespace kestro {

namespace {

// Every message the reader can report with no read flags, in its short form.
const char* const reader_messages[] = {
    "input data is empty",
    "unexpected end of data",
    "unexpected character",
    "unexpected content after document",
    "invalid literal",
    "trailing comma is not allowed",
    "no digit after minus sign",
    "no digit after decimal point",
    "no digit after exponent sign",
    "number with leading zero is not allowed",
    "number is infinity when parsed as double",
    "unexpected control character in string",
    "invalid escaped character in string",
    "invalid escaped sequence in string",
    "invalid high surrogate in string",
    "invalid low surrogate in string",
    "no low surrogate in string",
    "memory allocation failed",
    "invalid UTF-8 encoding in string",
};

// Wordings of other reader versions, with the message that stands for them.
// A byte order mark is a character that starts no value.
const char* const reader_synonyms[][2] = {
    {"byte order mark (BOM) is not supported", "unexpected character"},
    {"invalid escaped character", "invalid escaped character in string"},
    {"invalid utf-8 encoding in string", "invalid UTF-8 encoding in string"},
};

}  // namespace

const char* reader_message(const char* msg) noexcept {
    if (msg == nullptr) return "unexpected character";
    for (const auto& synonym : reader_synonyms) {
        if (std::strcmp(synonym[0], msg) == 0) return synonym[1];
    }
    // The head of the message, up to a comma that starts an explanation.
    const char* comma = std::strchr(msg, ',');
    size_t head = comma ? static_cast<size_t>(comma - msg) : std::strlen(msg);
    for (const char* known : reader_messages) {
        if (std::strlen(known) == head && std::memcmp(known, msg, head) == 0) return known;
    }
    return msg;  // unknown wording: passed through as the library gives it
}

void raise_decode_error(const DecodeFailure& failure) noexcept {
    size_t pos = failure.doc == nullptr ? 0 : failure.pos;
    if (pos > failure.doc_len) pos = failure.doc_len;
    size_t chars = failure.doc == nullptr ? 0 : utf8_count_chars(failure.doc, pos);

    Ref pos_obj(PyLong_FromLongLong(static_cast<long long>(chars)));
    if (!pos_obj) return;
    size_t msg_len = std::strlen(failure.message);
    Ref msg(msg_len == 0 ? Py_NewRef(typeref.empty_str)
                         : typeref.string_builder(failure.message, msg_len));
    if (!msg) return;
    Ref doc(failure.doc == nullptr || failure.doc_len == 0
                ? Py_NewRef(typeref.empty_str)
                : typeref.string_builder(failure.doc, failure.doc_len));
    if (!doc) return;
    PyObject* args = PyTuple_New(3);
    if (args == nullptr) return;
    PyTuple_SET_ITEM(args, 0, msg.release());
    PyTuple_SET_ITEM(args, 1, doc.release());
    PyTuple_SET_ITEM(args, 2, pos_obj.release());
    PyErr_SetObject(typeref.decode_error, args);
    Py_DECREF(args);
}

}  // namespace kestro
