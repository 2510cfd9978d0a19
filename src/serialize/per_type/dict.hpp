// dicts with str keys as JSON objects, in their own order or sorted by the
// UTF-8 bytes of the keys.
#pragma once

#include "runtime/memory.hpp"
#include "serialize/per_type/str_value.hpp"
#include "serialize/walk.hpp"
#include "typeref.hpp"

#include <cstddef>

namespace kestro {

struct DictItem {
    const char* key;  // UTF-8 text of the key, borrowed from the key object
    size_t key_len;
    PyObject* value;
};

// Sorts ascending by key bytes (unsigned, a shorter prefix first): insertion
// sort up to 20 items, an introspective quicksort with a heapsort fallback
// above.  In place and not stable.
void sort_items(DictItem* items, size_t n) noexcept;

// The same sort with an explicit budget of quicksort levels before the
// heapsort takes over (sort_items gives 2 * log2(n)); 0 is a plain heapsort
// above 20 items.
void sort_items_bounded(DictItem* items, size_t n, unsigned depth_budget) noexcept;

// The items of a dict being written in sorted order.  Each key and value is
// held for the writer's duration, so Python code run while one value is
// written cannot free the others or the key texts.
class HeldItems {
  public:
    HeldItems() = default;
    HeldItems(const HeldItems&) = delete;
    HeldItems& operator=(const HeldItems&) = delete;
    ~HeldItems();

    // Room for n items; false with MemoryError set.
    bool allocate(size_t n) noexcept;
    void add(PyObject* key, const char* text, size_t len, PyObject* value) noexcept;
    DictItem* items() const noexcept { return items_; }
    size_t count() const noexcept { return count_; }

  private:
    DictItem* items_ = nullptr;
    PyObject** keys_ = nullptr;  // in the same block, after the items
    size_t count_ = 0;
};

// The key rule: an exact str, whose UTF-8 text can be had.
[[gnu::always_inline]] inline Status key_text(PyObject* key, const char** text,
                                              size_t* len) noexcept {
    if (Py_TYPE(key) != typeref.string_type) [[unlikely]]
        return &failure::dict_key_not_str;
    *text = utf8_of_str(key, len);
    if (*text == nullptr) [[unlikely]]
        return &failure::surrogates;
    return Status::ok();
}

template <class L>
[[gnu::always_inline]] inline Status write_member(const char* key, size_t key_len, bool first,
                                                  WalkState value, L& out) noexcept {
    if (Status s = out.begin_member(first); s.failed()) [[unlikely]]
        return s;
    if (Status s = write_str_text(key, key_len, out.buffer()); s.failed()) [[unlikely]]
        return s;
    if (Status s = out.key_separator(); s.failed()) [[unlikely]]
        return s;
    if (Status s = walk(value, out); s.failed()) [[unlikely]]
        return s;
    out.end_member();
    return Status::ok();
}

// In iteration order, keys and values alternately.  The count of entries is
// read once; if Python code run for a value shrinks the dict, the writer
// stops where the iteration ends.
template <class L>
[[gnu::noinline]] Status write_dict(WalkState state, L& out) noexcept {
    PyObject* dict = state.object;
    Ref hold(Py_NewRef(dict));
    const Py_ssize_t n = ffi::dict_used(dict);
    if (Status s = out.open_container('{'); s.failed()) [[unlikely]]
        return s;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t i = 0; i < n && PyDict_Next(dict, &pos, &key, &value); ++i) {
        const char* text;
        size_t len;
        if (Status s = key_text(key, &text, &len); s.failed()) [[unlikely]]
            return s;
        if (Status s = write_member(text, len, i == 0, state.with(value), out); s.failed())
            [[unlikely]]
            return s;
    }
    return out.close_container('}');
}

// Every key is checked before any value is written.
template <class L>
[[gnu::noinline]] Status write_sorted_dict(WalkState state, L& out) noexcept {
    PyObject* dict = state.object;
    Ref hold(Py_NewRef(dict));
    const Py_ssize_t n = ffi::dict_used(dict);
    HeldItems held;
    if (!held.allocate(static_cast<size_t>(n))) return out_of_memory();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t i = 0; i < n && PyDict_Next(dict, &pos, &key, &value); ++i) {
        const char* text;
        size_t len;
        if (Status s = key_text(key, &text, &len); s.failed()) [[unlikely]]
            return s;
        held.add(key, text, len, value);
    }
    DictItem* items = held.items();
    sort_items(items, held.count());
    if (Status s = out.open_container('{'); s.failed()) [[unlikely]]
        return s;
    for (size_t i = 0; i < held.count(); ++i) {
        if (Status s = write_member(items[i].key, items[i].key_len, i == 0,
                                    state.with(items[i].value), out);
            s.failed()) [[unlikely]]
            return s;
    }
    return out.close_container('}');
}

}  // namespace kestro
