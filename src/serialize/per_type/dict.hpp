// dicts with str keys as JSON objects, in their own order or sorted by the
// UTF-8 bytes of the keys.
#pragma once

#include "runtime/memory.hpp"
#include "serialize/per_type/str_value.hpp"
#include "serialize/walk.hpp"
#include "typeref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestro {

struct DictItem {
    const char* key;  // UTF-8 text of the key, borrowed from the key object
    size_t key_len;
    PyObject* value;
    // The first 8 key bytes as a big-endian number, zeros after a shorter
    // key: set by the sort, so most comparisons are one integer comparison.
    uint64_t prefix = 0;
    // The item's place in the dict's iteration order (set by HeldItems).
    uint32_t origin = 0;
};

// Sorts ascending by key bytes (unsigned, a shorter prefix first): insertion
// sort up to 20 items, an introspective quicksort with a heapsort fallback
// above.  In place and not stable.
void sort_items(DictItem* items, size_t n) noexcept;

// The same sort with an explicit budget of quicksort levels before the
// heapsort takes over (sort_items gives 2 * log2(n)); 0 is a plain heapsort
// above 20 items.
void sort_items_bounded(DictItem* items, size_t n, unsigned depth_budget) noexcept;

// Sorted orders of the key sequences of dicts met earlier in one dumps
// call.  Records of one kind usually share their key objects, inserted in
// the same order: such a dict takes the remembered order instead of being
// sorted again.  A sequence matches only when it holds the same key objects
// in the same iteration order, and remembered keys are held until the call
// ends, so their addresses cannot come back as other keys meanwhile.
class SortedOrders {
  public:
    // Dicts with more keys are sorted every time.
    static constexpr size_t max_keys = 64;
    static constexpr size_t slot_count = 64;

    SortedOrders() = default;
    SortedOrders(const SortedOrders&) = delete;
    SortedOrders& operator=(const SortedOrders&) = delete;
    ~SortedOrders();

    // Sorted order of items[0, n), given in iteration order with keys[i] the
    // key object of item i: true with order[0, n) set to the item indices in
    // sorted order when the same key sequence was met before; otherwise
    // false with the items sorted in place (and their order remembered).
    // order has room for max_keys indices.
    [[gnu::always_inline]] bool sort(DictItem* items, PyObject* const* keys, size_t n,
                                     uint8_t* order) noexcept {
        if (n < 2 || n > max_keys || slots_ == nullptr) [[unlikely]]
            return sort_first(items, keys, n);
        Slot* set = set_for(keys, n);
        for (size_t way = 0; way < ways; ++way) {
            Slot& slot = set[way];
            bool same = slot.count == n;
            for (size_t i = 0; same && i < n; ++i) same = slot.keys[i] == keys[i];
            if (same) {
                slot.last_use = ++clock_;
                // Copied: the slot may be taken by another dict while this
                // one is written.
                std::memcpy(order, slot.order, max_keys);
                return true;
            }
        }
        return sort_and_remember(set, items, keys, n);
    }

    // Room for the item array of a sorted dict, from scratch memory kept for
    // the call; null when the scratch is not allocated or full.  Blocks are
    // given back in the reverse order of taking, as nested dicts end.
    [[gnu::always_inline]] void* take(size_t bytes) noexcept {
        if (slots_ == nullptr || scratch_size - scratch_used_ < bytes) return nullptr;
        void* block = scratch() + scratch_used_;
        scratch_used_ += bytes;
        return block;
    }
    void give_back(size_t bytes) noexcept { scratch_used_ -= bytes; }

  private:
    struct Slot {
        size_t count;     // 0: unused
        size_t last_use;  // clock_ at the last hit or fill
        PyObject* keys[max_keys];  // held, in iteration order
        uint8_t order[max_keys];   // item indices in sorted order
    };
    // A key sequence has a set of four slots, so that a few kinds of records
    // met by turns whose sequences fall into one set (variants of a record
    // that differ only inside, say) do not evict each other.
    static constexpr size_t ways = 4;
    static constexpr unsigned set_bits = 4;
    static_assert(slot_count == ways << set_bits);
    // After the slots, in the same block.
    static constexpr size_t scratch_size = 16384;

    unsigned char* scratch() const noexcept {
        return reinterpret_cast<unsigned char*>(slots_ + slot_count);
    }

    Slot* set_for(PyObject* const* keys, size_t n) noexcept {
        const auto first = reinterpret_cast<uintptr_t>(keys[0]);
        const auto last = reinterpret_cast<uintptr_t>(keys[n - 1]);
        const auto middle = reinterpret_cast<uintptr_t>(keys[n / 2]);
        const uint64_t mix =
            ((first >> 4) ^ (last >> 4) * 0x9E3779B97F4A7C15ull ^ (middle >> 4) * 0xC2B2AE3D27D4EB4Full ^ n) *
            0xFF51AFD7ED558CCDull;
        return slots_ + ways * (mix >> (64 - set_bits));
    }
    // Sorts without a remembered order (out of range, or the slots are not
    // allocated yet: they are at the second dict that could use them, so a
    // call with a single dict does without); false.
    bool sort_first(DictItem* items, PyObject* const* keys, size_t n) noexcept;
    // Sorts and puts the order into the least recently used slot of the set;
    // false.
    bool sort_and_remember(Slot* set, DictItem* items, PyObject* const* keys, size_t n) noexcept;

    Slot* slots_ = nullptr;  // allocated at the first use
    size_t scratch_used_ = 0;
    size_t clock_ = 0;
    bool seen_one_ = false;     // a dict that could use the slots was sorted
    bool unavailable_ = false;  // the allocation failed: every dict is sorted
};

// The items of a dict being written in sorted order.  Unless each value is
// of a kind whose writing runs no Python code, every key and value is held
// for the writer's duration, so Python code run while one value is written
// cannot free the others or the key texts.
class HeldItems {
  public:
    HeldItems() = default;
    HeldItems(const HeldItems&) = delete;
    HeldItems& operator=(const HeldItems&) = delete;
    ~HeldItems() {
        if (held_) release();
        if (items_ != reinterpret_cast<DictItem*>(local_)) free_block();
    }

    // Room for n items: in the object itself, from the call's scratch (when
    // given) or a heap block; false with MemoryError set.
    [[gnu::always_inline]] bool allocate(size_t n, SortedOrders* scratch) noexcept {
        if (n > local_capacity) return allocate_block(n, scratch);
        items_ = reinterpret_cast<DictItem*>(local_);
        keys_ = reinterpret_cast<PyObject**>(items_ + n);
        return true;
    }
    // Adds an item, borrowing its key and value.
    void add(PyObject* key, const char* text, size_t len, PyObject* value) noexcept {
        keys_[count_] = key;
        items_[count_] = DictItem{text, len, value, 0, static_cast<uint32_t>(count_)};
        ++count_;
    }
    // Takes a reference to every key and value added.
    void hold() noexcept;
    DictItem* items() const noexcept { return items_; }
    PyObject* const* keys() const noexcept { return keys_; }
    size_t count() const noexcept { return count_; }

    // Dicts of up to this many items keep them in the object itself.
    static constexpr size_t local_capacity = 12;

  private:
    static constexpr size_t record = sizeof(DictItem) + sizeof(PyObject*);

    bool allocate_block(size_t n, SortedOrders* scratch) noexcept;
    void free_block() noexcept;
    void release() noexcept;  // drops the references hold() took

    DictItem* items_ = nullptr;
    PyObject** keys_ = nullptr;  // in the same block, after the items
    size_t count_ = 0;
    SortedOrders* scratch_ = nullptr;  // the items are a block of this scratch
    size_t block_size_ = 0;
    bool held_ = false;
    alignas(DictItem) unsigned char local_[local_capacity * record];
};

// Whether writing the value runs no Python code: an exact str, int, float,
// bool or None, or an empty exact list or dict.  While only such values are
// written, nothing can change the dict they come from.
[[gnu::always_inline]] inline bool written_without_python(PyObject* value) noexcept {
    PyTypeObject* type = Py_TYPE(value);
    return type == typeref.string_type || type == typeref.int_type || type == typeref.none_type ||
           type == typeref.bool_type || type == typeref.float_type ||
           (type == typeref.list_type && ffi::sequence_size(value) == 0) ||
           (type == typeref.dict_type && ffi::dict_used(value) == 0);
}

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
    ffi::ObjectLock lock(state.object);
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
    ffi::ObjectLock lock(state.object);
    StrKeyEntries entries(state.object);
    HeldItems held;
    if (!held.allocate(static_cast<size_t>(entries.count()), out.sorted_orders()))
        return out_of_memory();
    bool inert = true;
    for (;;) {
        bool done;
        if (Status s = entries.next(&done); s.failed()) [[unlikely]]
            return s;
        if (done) break;
        inert &= written_without_python(entries.value());
        held.add(entries.key(), entries.text(), entries.len(), entries.value());
    }
    if (!inert) held.hold();
    const DictItem* items = held.items();
    const size_t n = held.count();
    uint8_t order[SortedOrders::max_keys];
    bool by_order = false;
    if (SortedOrders* orders = out.sorted_orders())
        by_order = orders->sort(held.items(), held.keys(), n, order);
    else
        sort_items(held.items(), n);
    if (Status s = out.open_container('{'); s.failed()) [[unlikely]]
        return s;
    for (size_t i = 0; i < n; ++i) {
        const DictItem& item = items[by_order ? order[i] : i];
        if (Status s = write_member(item.key, item.key_len, i == 0, state.with(item.value), out);
            s.failed()) [[unlikely]]
            return s;
    }
    return out.close_container('}');
}

}  // namespace kestro
