#include "serialize/per_type/non_str_keys.hpp"

#include "serialize/per_type/datetime.hpp"
#include "serialize/per_type/digits.hpp"
#include "serialize/per_type/enum.hpp"
#include "serialize/per_type/float_text.hpp"
#include "serialize/per_type/number.hpp"
#include "serialize/per_type/str_value.hpp"
#include "serialize/per_type/uuid.hpp"

#include <cmath>
#include <cstring>

namespace kestro {

KeyTexts::~KeyTexts() {
    while (last_ != nullptr) {
        Block* previous = last_->previous;
        PyMem_Free(last_);
        last_ = previous;
    }
}

char* KeyTexts::grow(size_t n) noexcept {
    const size_t size = n > next_size_ ? n : next_size_;
    if (size > static_cast<size_t>(PY_SSIZE_T_MAX) - sizeof(Block)) {
        PyErr_NoMemory();
        return nullptr;
    }
    auto* block = static_cast<Block*>(PyMem_Malloc(sizeof(Block) + size));
    if (block == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    block->previous = last_;
    last_ = block;
    if (next_size_ < largest_block_size) next_size_ *= 2;
    cursor_ = reinterpret_cast<char*>(block + 1);
    left_ = size;
    return cursor_;
}

const char* KeyTexts::copy(const char* text, size_t len) noexcept {
    char* p = room(len);
    if (p == nullptr) return nullptr;
    if (len != 0) std::memcpy(p, text, len);
    keep(p + len);
    return p;
}

namespace {

// An enum member whose value is another member is converted through that
// one's value in turn; a chain this long is taken for a cycle.
constexpr unsigned enum_chain_limit = 255;

// The decimal text of an int or int subclass: a signed, else an unsigned
// 64-bit value.  Outside both, the interpreter's OverflowError stays pending.
Status int_key_text(PyObject* key, KeyTexts& texts, const char** text, size_t* len) noexcept {
    char* start = texts.room(24);
    if (start == nullptr) [[unlikely]]
        return out_of_memory();
    bool negative;
    uint64_t magnitude;
    if (!int_magnitude_64(key, &magnitude, &negative)) [[unlikely]] {
        // The interpreter's own conversion tells why; its OverflowError is
        // the cause.
        if (negative)
            (void)PyLong_AsLongLong(key);
        else
            (void)PyLong_AsUnsignedLongLong(key);
        return &failure::dict_key_int_range;
    }
    char* p = start;
    *p = '-';
    p += negative;
    p += write_u64_text(magnitude, p);
    texts.keep(p);
    *text = start;
    *len = static_cast<size_t>(p - start);
    return Status::ok();
}

// NaN and the infinities have no number text: their key is null.
Status float_key_text(PyObject* key, KeyTexts& texts, const char** text, size_t* len) noexcept {
    double d = ffi::float_value(key);
    if (!std::isfinite(d)) {
        *text = "null";
        *len = 4;
        return Status::ok();
    }
    char* start = texts.room(40);
    if (start == nullptr) [[unlikely]]
        return out_of_memory();
    char* end = write_f64_text(d, start);
    texts.keep(end);
    *text = start;
    *len = static_cast<size_t>(end - start);
    return Status::ok();
}

// A str's text, borrowed from the dict's own key or copied from any other
// str (an enum's value, released once converted).
Status str_key_text(PyObject* s, bool borrow, KeyTexts& texts, const char** text,
                    size_t* len) noexcept {
    const char* utf8 = utf8_of_str(s, len);
    if (utf8 == nullptr) [[unlikely]]
        return &failure::surrogates;
    if (!borrow) {
        utf8 = texts.copy(utf8, *len);
        if (utf8 == nullptr) [[unlikely]]
            return out_of_memory();
    }
    *text = utf8;
    return Status::ok();
}

// A date, time, datetime or UUID text made in a stack scratch: kept in texts.
Status kept_text(Status made, const ScratchText& scratch, KeyTexts& texts, const char** text,
                 size_t* len) noexcept {
    if (made.failed()) [[unlikely]]
        return made;
    *text = texts.copy(scratch.data, scratch.len);
    if (*text == nullptr) [[unlikely]]
        return out_of_memory();
    *len = scratch.len;
    return Status::ok();
}

Status convert(PyObject* obj, bool is_key, unsigned chain, uint32_t options, KeyTexts& texts,
               const char** text, size_t* len) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == typeref.string_type) return str_key_text(obj, is_key, texts, text, len);
    if (type == typeref.int_type) return int_key_text(obj, texts, text, len);
    if (type == typeref.bool_type) {
        const bool yes = obj == typeref.true_;
        *text = yes ? "true" : "false";
        *len = yes ? 4 : 5;
        return Status::ok();
    }
    if (obj == typeref.none) {
        *text = "null";
        *len = 4;
        return Status::ok();
    }
    if (type == typeref.float_type) return float_key_text(obj, texts, text, len);
    if (type == typeref.list_type || type == typeref.dict_type) return &failure::dict_key_invalid_type;
    ScratchText scratch;
    if (type == typeref.datetime_type)
        return kept_text(write_datetime_text(obj, options, scratch), scratch, texts, text, len);
    switch (classify_slow(type, options)) {
        case ValueKind::integer:
            return int_key_text(obj, texts, text, len);
        case ValueKind::date:
            write_date_text(obj, scratch);
            return kept_text(Status::ok(), scratch, texts, text, len);
        case ValueKind::time:
            return kept_text(write_time_text(obj, options, scratch), scratch, texts, text, len);
        case ValueKind::uuid:
            return kept_text(write_uuid_text(obj, scratch), scratch, texts, text, len);
        case ValueKind::string_subclass:
            return str_key_text(obj, is_key, texts, text, len);
        case ValueKind::enum_member: {
            if (chain == enum_chain_limit) return &failure::dict_key_invalid_type;
            // A value that cannot be read fails the key, its error as the
            // cause.
            Ref value(enum_member_value(obj));
            if (!value) return &failure::dict_key_invalid_type;
            return convert(value.get(), false, chain + 1, options, texts, text, len);
        }
        default:
            return &failure::dict_key_invalid_type;
    }
}

}  // namespace

Status key_to_text(PyObject* key, uint32_t key_options, KeyTexts& texts, const char** text,
                   size_t* len) noexcept {
    return convert(key, true, 0, key_options, texts, text, len);
}

}  // namespace kestro
