// dicts with str keys as JSON objects, in their own order or sorted by the
// UTF-8 bytes of the keys.
#pragma once

#include "runtime/memory.hpp"
#include "serialize/per_type/str_value.hpp"
#include "serialize/walk.hpp"
#include "typeref.hpp"

#include <cstddef>
#include <cstdint>

namespace kestro {

struct DictItem {
    const char* key;  // UTF-8 text of the key, borrowed from the key object
    size_t key_len;
    PyObject* value;
    // The first 8 key bytes as a big-endian number, zeros after a shorter
    // key: set by the sort, so most comparisons are one integer comparison.
    uint64_t prefix = 0;
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

    // Dicts of up to this many items keep them in the object itself.
    static constexpr size_t local_capacity = 12;

  private:
    static constexpr size_t record = sizeof(DictItem) + sizeof(PyObject*);

    DictItem* items_ = nullptr;
    PyObject** keys_ = nullptr;  // in the same block, after the items
    size_t count_ = 0;
    alignas(DictItem) unsigned char local_[local_capacity * record];
};

// The entries of a dict with str keys, in the order PyDict_Next yields them.  The
// count of entries is read once; if Python code run for a value shrinks the
// dict, the entries end where its iteration ends.
class StrKeyEntries {
  public:
    explicit StrKeyEntries(PyObject* dict) noexcept : dict_(dict), left_(ffi::dict_used(dict)) {}

    Py_ssize_t count() const noexcept { return left_; }

    // Moves to the next entry and applies the key rule to its key (an exact
    // str whose UTF-8 text can be had); *done when there is none.
    [[gnu::always_inline]] Status next(bool* done) noexcept {
        *done = left_-- <= 0 || !ffi::dict_next(dict_, &pos_, &key_, &value_);
        if (*done) return Status::ok();
        if (Py_TYPE(key_) != typeref.string_type) [[unlikely]]
            return &failure::dict_key_not_str;
        text_ = utf8_of_str(key_, &len_);
        if (text_ == nullptr) [[unlikely]]
            return &failure::surrogates;
        return Status::ok();
    }

    PyObject* key() const noexcept { return key_; }
    PyObject* value() const noexcept { return value_; }
    const char* text() const noexcept { return text_; }
    size_t len() const noexcept { return len_; }

  private:
    PyObject* dict_;
    Py_ssize_t left_;
    Py_ssize_t pos_ = 0;
    PyObject* key_ = nullptr;
    PyObject* value_ = nullptr;
    const char* text_ = nullptr;
    size_t len_ = 0;
};

template <class L>
[[gnu::always_inline]] inline Status write_member(const char* key, size_t key_len, bool first,
                                                  WalkState value, L& out) noexcept {
    if (Status s = out.member_key(first, key, key_len); s.failed()) [[unlikely]]
        return s;
    if (Status s = walk(value, out); s.failed()) [[unlikely]]
        return s;
    out.end_member();
    return Status::ok();
}

// In iteration order, keys and values alternately.
template <class L>
[[gnu::noinline]] Status write_dict(WalkState state, L& out) noexcept {
    Ref hold(Py_NewRef(state.object));
    StrKeyEntries entries(state.object);
    if (Status s = out.open_container('{'); s.failed()) [[unlikely]]
        return s;
    for (bool first = true;; first = false) {
        bool done;
        if (Status s = entries.next(&done); s.failed()) [[unlikely]]
            return s;
        if (done) break;
        if (Status s = write_member(entries.text(), entries.len(), first,
                                    state.with(entries.value()), out);
            s.failed()) [[unlikely]]
            return s;
    }
    return out.close_container('}');
}

// Every key is checked before any value is written.
template <class L>
[[gnu::noinline]] Status write_sorted_dict(WalkState state, L& out) noexcept {
    Ref hold(Py_NewRef(state.object));
    StrKeyEntries entries(state.object);
    HeldItems held;
    if (!held.allocate(static_cast<size_t>(entries.count()))) return out_of_memory();
    for (;;) {
        bool done;
        if (Status s = entries.next(&done); s.failed()) [[unlikely]]
            return s;
        if (done) break;
        held.add(entries.key(), entries.text(), entries.len(), entries.value());
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
