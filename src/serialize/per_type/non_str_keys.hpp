// dicts under OPT_NON_STR_KEYS: every key is turned into a text first (ints,
// floats, bools, None, dates and times, UUIDs, enum members, str subclasses),
// then the members are written, sorted by those texts under OPT_SORT_KEYS.
#pragma once

#include "serialize/per_type/dict.hpp"

#include <cstddef>
#include <cstdint>

namespace kestro {

// The texts of the converted keys of one dict.  They are kept in blocks that
// never move, so the items can point into them: the first block lives in the
// object itself, the others come from the interpreter's allocator and are
// freed with the object.
class KeyTexts {
  public:
    KeyTexts() = default;
    KeyTexts(const KeyTexts&) = delete;
    KeyTexts& operator=(const KeyTexts&) = delete;
    ~KeyTexts();

    // At least n bytes of room; null with MemoryError set.
    [[gnu::always_inline]] char* room(size_t n) noexcept { return n <= left_ ? cursor_ : grow(n); }
    // Keeps the room up to end (a position inside the last room handed out)
    // as a text.
    [[gnu::always_inline]] void keep(char* end) noexcept {
        left_ -= static_cast<size_t>(end - cursor_);
        cursor_ = end;
    }
    // A kept copy of text[0, len); null with MemoryError set.
    const char* copy(const char* text, size_t len) noexcept;

  private:
    struct Block {
        Block* previous;
    };
    static constexpr size_t first_block_size = 2048;
    static constexpr size_t largest_block_size = size_t{1} << 20;

    char* grow(size_t n) noexcept;

    Block* last_ = nullptr;
    size_t next_size_ = first_block_size;
    char* cursor_ = local_;
    size_t left_ = sizeof local_;
    char local_[256];
};

// The state word keys are converted under: the pass-through options apply to
// values only.
inline constexpr uint32_t key_options(uint32_t word) noexcept {
    return word & ~(opt::PASSTHROUGH_SUBCLASS | opt::PASSTHROUGH_DATETIME | opt::PASSTHROUGH_DATACLASS);
}

// The text of a dict key under OPT_NON_STR_KEYS into *text and *len.  The
// text of a str or str subclass key is borrowed from the key (the caller
// keeps it alive while the text is used); every other text is made in texts.
// Fails with the message of the key's type, the interpreter's error (if any)
// pending as the cause; default is never called for keys.
Status key_to_text(PyObject* key, uint32_t key_options, KeyTexts& texts, const char** text,
                   size_t* len) noexcept;

// Whether converting the key runs no Python code: an exact str, int, bool,
// float or None.
[[gnu::always_inline]] inline bool key_converted_without_python(PyObject* key) noexcept {
    PyTypeObject* type = Py_TYPE(key);
    return type == typeref.string_type || type == typeref.int_type || type == typeref.none_type ||
           type == typeref.bool_type || type == typeref.float_type;
}

// Every key is converted before any value is walked.  Python code run while
// a key is converted (an enum's value property, a time-zone method) or a
// value is walked (default) may change the dict: unless no such code can
// run, every key and value is held until the writer returns.  Keys whose
// conversion runs no Python code are converted as they are collected, up to
// the first one that may run some; the rest once everything is held.
template <class L>
[[gnu::noinline]] Status write_non_str_dict(WalkState state, L& out) noexcept {
    PyObject* dict = state.object;
    Ref hold(Py_NewRef(dict));
    ffi::ObjectLock lock(dict);
    Py_ssize_t left = ffi::dict_used(dict);
    HeldItems held;
    if (!held.allocate(static_cast<size_t>(left), out.sorted_orders())) [[unlikely]]
        return out_of_memory();
    const uint32_t options = key_options(state.word);
    KeyTexts texts;
    size_t converted = 0;
    bool inert = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (left-- > 0 && ffi::dict_next(dict, &pos, &key, &value)) {
        inert &= written_without_python(value);
        const char* text = nullptr;
        size_t len = 0;
        if (converted == held.count()) {
            if (Py_TYPE(key) == typeref.string_type) [[likely]] {
                text = utf8_of_str(key, &len);
                if (text == nullptr) [[unlikely]]
                    return &failure::surrogates;
                ++converted;
            } else if (key_converted_without_python(key)) {
                if (Status s = key_to_text(key, options, texts, &text, &len); s.failed()) [[unlikely]]
                    return s;
                ++converted;
            }
        }
        held.add(key, text, len, value);
    }
    const size_t n = held.count();
    if (!inert || converted < n) held.hold();
    DictItem* items = held.items();
    PyObject* const* keys = held.keys();
    for (size_t i = converted; i < n; ++i) {
        if (Status s = key_to_text(keys[i], options, texts, &items[i].key, &items[i].key_len);
            s.failed()) [[unlikely]]
            return s;
    }
    if (state_word::has(state.word, opt::SORT_KEYS)) sort_items(items, n);

    if (Status s = out.open_container('{'); s.failed()) [[unlikely]]
        return s;
    for (size_t i = 0; i < n; ++i) {
        const DictItem& item = items[i];
        if (Status s = write_member(item.key, item.key_len, i == 0, state.with(item.value), out);
            s.failed()) [[unlikely]]
            return s;
    }
    return out.close_container('}');
}

}  // namespace kestro
