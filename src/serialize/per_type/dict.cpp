#include "serialize/per_type/dict.hpp"

#include <cstring>
#include <utility>

namespace kestro {

void HeldItems::release() noexcept {
    for (size_t i = 0; i < count_; ++i) {
        Py_DECREF(keys_[i]);
        Py_DECREF(items_[i].value);
    }
}

void HeldItems::free_block() noexcept {
    if (scratch_ != nullptr)
        scratch_->give_back(block_size_);
    else
        PyMem_Free(items_);
}

void HeldItems::hold() noexcept {
    for (size_t i = 0; i < count_; ++i) {
        Py_INCREF(keys_[i]);
        Py_INCREF(items_[i].value);
    }
    held_ = true;
}

bool HeldItems::allocate_block(size_t n, SortedOrders* scratch) noexcept {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / record) {
        PyErr_NoMemory();
        return false;
    }
    if (scratch != nullptr) {
        if (void* block = scratch->take(n * record)) {
            scratch_ = scratch;
            block_size_ = n * record;
            items_ = static_cast<DictItem*>(block);
            keys_ = reinterpret_cast<PyObject**>(items_ + n);
            return true;
        }
    }
    void* block = PyMem_Malloc(n == 0 ? 1 : n * record);
    if (block == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    items_ = static_cast<DictItem*>(block);
    keys_ = reinterpret_cast<PyObject**>(items_ + n);
    return true;
}

namespace {

constexpr size_t insertion_limit = 20;

// Keys that differ in their zero-padded first 8 bytes are ordered by those
// alone; a key that ends inside them pads with zeros, which order it before
// its extensions as well as a real zero byte would.
inline bool less(const DictItem& a, const DictItem& b) noexcept {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    size_t n = a.key_len < b.key_len ? a.key_len : b.key_len;
    if (n > 8) {
        int c = std::memcmp(a.key + 8, b.key + 8, n - 8);
        if (c != 0) return c < 0;
    }
    return a.key_len < b.key_len;
}

inline uint64_t key_prefix(const char* key, size_t len) noexcept {
    uint64_t w = 0;
    if (len >= 8) {
        std::memcpy(&w, key, 8);
        return __builtin_bswap64(w);
    }
    for (size_t i = 0; i < len; ++i) w |= uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * i);
    return w;
}

void insertion_sort(DictItem* a, size_t n) noexcept {
    for (size_t i = 1; i < n; ++i) {
        DictItem x = a[i];
        size_t j = i;
        for (; j > 0 && less(x, a[j - 1]); --j) a[j] = a[j - 1];
        a[j] = x;
    }
}

void sift_down(DictItem* a, size_t root, size_t n) noexcept {
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n && less(a[child], a[child + 1])) ++child;
        if (!less(a[root], a[child])) return;
        std::swap(a[root], a[child]);
        root = child;
    }
}

void heap_sort(DictItem* a, size_t n) noexcept {
    for (size_t i = n / 2; i-- > 0;) sift_down(a, i, n);
    for (size_t end = n; end-- > 1;) {
        std::swap(a[0], a[end]);
        sift_down(a, 0, end);
    }
}

// Orders a[0], a[mid], a[last] among themselves, so the middle one is a
// pivot with an item no greater at the front and none smaller at the back.
void median_of_three(DictItem* a, size_t mid, size_t last) noexcept {
    if (less(a[mid], a[0])) std::swap(a[mid], a[0]);
    if (less(a[last], a[mid])) std::swap(a[last], a[mid]);
    if (less(a[mid], a[0])) std::swap(a[mid], a[0]);
}

void intro_sort(DictItem* a, size_t n, unsigned depth_budget) noexcept {
    while (n > insertion_limit) {
        if (depth_budget == 0) {
            heap_sort(a, n);
            return;
        }
        --depth_budget;
        size_t mid = (n - 1) / 2;
        median_of_three(a, mid, n - 1);
        const DictItem pivot = a[mid];
        // Hoare partition: afterwards a[0..j] <= pivot <= a[j+1..n), both
        // parts non-empty.
        size_t i = 0, j = n - 1;
        for (;;) {
            while (less(a[i], pivot)) ++i;
            while (less(pivot, a[j])) --j;
            if (i >= j) break;
            std::swap(a[i], a[j]);
            ++i;
            --j;
        }
        size_t left = j + 1;
        // Recurse into the smaller part, loop over the larger.
        if (left < n - left) {
            intro_sort(a, left, depth_budget);
            a += left;
            n -= left;
        } else {
            intro_sort(a + left, n - left, depth_budget);
            n = left;
        }
    }
    insertion_sort(a, n);
}

}  // namespace

void sort_items_bounded(DictItem* items, size_t n, unsigned depth_budget) noexcept {
    if (n < 2) return;
    for (size_t i = 0; i < n; ++i) items[i].prefix = key_prefix(items[i].key, items[i].key_len);
    intro_sort(items, n, depth_budget);
}

void sort_items(DictItem* items, size_t n) noexcept {
    unsigned log2 = 0;
    for (size_t m = n; m > 1; m >>= 1) ++log2;
    sort_items_bounded(items, n, 2 * log2);
}

SortedOrders::~SortedOrders() {
    if (slots_ == nullptr) return;
    for (size_t s = 0; s < slot_count; ++s) {
        for (size_t i = 0; i < slots_[s].count; ++i) Py_DECREF(slots_[s].keys[i]);
    }
    PyMem_Free(slots_);
}

bool SortedOrders::sort_first(DictItem* items, PyObject* const* keys, size_t n) noexcept {
    if (n < 2 || n > max_keys || unavailable_ || !seen_one_) {
        seen_one_ |= n >= 2 && n <= max_keys;
        sort_items(items, n);
        return false;
    }
    slots_ = static_cast<Slot*>(PyMem_Malloc(slot_count * sizeof(Slot) + scratch_size));
    if (slots_ == nullptr) {
        // Only a missed saving: every dict is sorted as it would be anyway.
        unavailable_ = true;
        sort_items(items, n);
        return false;
    }
    for (size_t s = 0; s < slot_count; ++s) slots_[s].count = slots_[s].last_use = 0;
    return sort_and_remember(set_for(keys, n), items, keys, n);
}

bool SortedOrders::sort_and_remember(Slot* set, DictItem* items, PyObject* const* keys,
                                     size_t n) noexcept {
    Slot* victim = set;
    for (size_t way = 1; way < ways; ++way) {
        if (set[way].last_use < victim->last_use) victim = set + way;
    }
    Slot& slot = *victim;
    slot.last_use = ++clock_;
    sort_items(items, n);
    for (size_t i = 0; i < slot.count; ++i) Py_DECREF(slot.keys[i]);
    for (size_t i = 0; i < n; ++i) {
        slot.keys[i] = Py_NewRef(keys[i]);
        slot.order[i] = static_cast<uint8_t>(items[i].origin);
    }
    slot.count = n;
    return false;
}

}  // namespace kestro
