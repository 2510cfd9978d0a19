#include "deserialize/loads.hpp"

#include "deserialize/convert.hpp"
#include "deserialize/error.hpp"
#include "deserialize/utf8.hpp"
#include "runtime/memory.hpp"
#include "typeref.hpp"

#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

namespace kestro {

size_t find_nesting_overflow(const char* text, size_t end) noexcept {
    size_t level = 0;
    size_t i = 0;
    while (i < end) {
        char c = text[i];
        if (c == '"') {
            // Skip to the closing quote; an escape hides the character after it.
            ++i;
            while (i < end && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
        } else if (c == '[' || c == '{') {
            if (++level > MAX_NESTING) return i;
        } else if (c == ']' || c == '}') {
            if (level != 0) --level;
        }
        ++i;
    }
    return end;
}

size_t scratch_size(size_t len) noexcept {
    constexpr size_t per_pair = 24, extra = 4351, page = 4096;
    size_t pairs = len / 2;
    if (pairs > (SIZE_MAX - extra) / per_pair) return 0;
    return (pairs * per_pair + extra) & ~(page - 1);
}

namespace {

// The UTF-8 text of the argument, borrowed for the call.  The text of a
// bytearray or memoryview is held by a buffer export until the view is
// destroyed: while it lasts the object cannot be resized or released, so the
// text stays where it is whatever Python code runs meanwhile (a finalizer the
// collector runs, another thread).  bytes and str are immutable, and the
// caller holds them for the call.
class InputView {
  public:
    InputView() noexcept = default;
    InputView(const InputView&) = delete;
    InputView& operator=(const InputView&) = delete;
    ~InputView() {
        if (export_.obj != nullptr) ffi::release_buffer(&export_);
    }

    // Reads the argument in place.  Returns false with *failure filled when
    // the argument is not acceptable.
    bool open(PyObject* obj, DecodeFailure* failure) noexcept;

    const char* text = nullptr;
    size_t len = 0;

  private:
    Py_buffer export_{};
};

bool InputView::open(PyObject* obj, DecodeFailure* failure) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    bool validate = true;
    if (type == typeref.bytes_type) {
        text = ffi::bytes_data(obj);
        len = static_cast<size_t>(PyBytes_GET_SIZE(obj));
    } else if (type == typeref.string_type) {
        validate = false;  // a str's UTF-8 form is well-formed by construction
        Py_ssize_t n = 0;
        const char* utf8 = nullptr;
        if (ffi::str_is_compact_ascii(obj)) {
            utf8 = static_cast<const char*>(ffi::str_compact_data(obj));
            n = PyUnicode_GET_LENGTH(obj);
        } else if ((utf8 = ffi::str_cached_utf8(obj, &n)) == nullptr) {
            utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
            if (utf8 == nullptr) {
                PyErr_Clear();  // the surrogate is reported as a decode error
                failure->message = decode_msg::invalid_utf8;
                return false;
            }
        }
        text = utf8;
        len = static_cast<size_t>(n);
    } else if (type == &PyByteArray_Type || type == &PyMemoryView_Type) {
        // A released view, or one whose memory is not contiguous in row-major
        // order, refuses a simple export: it is not acceptable input.
        if (ffi::get_simple_buffer(obj, &export_) != 0) {
            PyErr_Clear();
            export_.obj = nullptr;
            failure->message = decode_msg::wrong_type;
            return false;
        }
        text = static_cast<const char*>(export_.buf);
        len = static_cast<size_t>(export_.len);
    } else {
        failure->message = decode_msg::wrong_type;
        return false;
    }
    if (validate && !utf8_valid(text, len)) {
        failure->message = decode_msg::invalid_utf8;
        return false;
    }
    return true;
}

// The failure reported when the container opening at byte p lies too deep.
DecodeFailure depth_failure(const InputView& in, size_t p) noexcept {
    if (p + 1 == in.len) return {decode_msg::end_of_data, in.text, in.len, in.len};
    return {decode_msg::too_deep, in.text, in.len, p + 1};
}

PyObject* fail(const DecodeFailure& failure) noexcept {
    raise_decode_error(failure);
    return nullptr;
}

// Scratch blocks of this size or less live on the stack: the smallest
// documents are common, and for them a heap block costs more than the parse.
constexpr size_t STACK_SCRATCH = 4096;

// Blocks of more than 1 MiB (documents of more than about 85 KB) become
// fresh memory from the system at every call once the C library maps blocks
// of their size anew, as it does past 32 MiB (documents of 2.7 MB): every
// page the parse touches then costs a fault, more than the parse's own work.
// So blocks of 1 to 64 MiB are kept for the next calls: one, the largest
// released so far, where the global lock lets one call at a time run; up to
// four where threads run side by side, so that each of them finds one.
// loads keeps at most 64 MiB in all between calls (of which only the pages
// documents have used are resident); larger blocks are freed at once, with
// huge pages asked for while they live.
constexpr size_t KEPT_FROM = size_t{1} << 20;
constexpr size_t KEPT_UP_TO = size_t{64} << 20;

class KeptBlocks {
  public:
    // A block of at least `size` bytes (from KEPT_FROM to KEPT_UP_TO): the
    // smallest kept one that is large enough, else a new one; null when none
    // can be had.  *capacity is set to its size.
    static void* take(size_t size, size_t* capacity) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Slot* best = nullptr;
            for (Slot& slot : slots_) {
                if (slot.block != nullptr && slot.size >= size && (best == nullptr || slot.size < best->size)) {
                    best = &slot;
                }
            }
            if (best != nullptr) {
                *capacity = best->size;
                total_ -= best->size;
                return std::exchange(best->block, nullptr);
            }
        }
        *capacity = size;
        return PyMem_RawMalloc(size);
    }
    // Keeps the block in an empty slot while the total stays within
    // KEPT_UP_TO; else in place of the smallest kept block, if that is
    // smaller and the total allows; frees what is not kept.
    static void give_back(void* block, size_t capacity) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Slot* empty = nullptr;
            Slot* smallest = nullptr;
            for (Slot& slot : slots_) {
                if (slot.block == nullptr) {
                    if (empty == nullptr) empty = &slot;
                } else if (smallest == nullptr || slot.size < smallest->size) {
                    smallest = &slot;
                }
            }
            if (empty != nullptr && total_ + capacity <= KEPT_UP_TO) {
                *empty = {std::exchange(block, nullptr), capacity};
                total_ += capacity;
            } else if (smallest != nullptr && smallest->size < capacity &&
                       total_ - smallest->size + capacity <= KEPT_UP_TO) {
                total_ += capacity - smallest->size;
                std::swap(block, smallest->block);
                smallest->size = capacity;
            }
        }
        PyMem_RawFree(block);
    }

  private:
    struct Slot {
        void* block;
        size_t size;
    };
    // Held for a few instructions, never across a call into the interpreter.
    static inline std::mutex mutex_;
    static inline Slot slots_[ffi::free_threaded ? 4 : 1] = {};
    static inline size_t total_ = 0;  // the sizes of the kept blocks, summed
};

// Blocks of this size or more are asked for huge pages: they are fresh
// memory, and huge pages cut the faults of their first touch hundreds of times.
constexpr size_t HUGE_SCRATCH = KEPT_UP_TO;

// The call's scratch block: on the stack when it is small enough, the kept
// block when it is of that size, otherwise owned from the heap and freed
// when the call ends.
class Scratch {
  public:
    explicit Scratch(size_t size) noexcept {
        if (size <= STACK_SCRATCH) {
            ptr_ = size == 0 ? nullptr : local_;
        } else if (size > KEPT_FROM && size <= KEPT_UP_TO) {
            ptr_ = KeptBlocks::take(size, &kept_);
        } else {
            ptr_ = PyMem_Malloc(size);
            if (ptr_ != nullptr && size >= HUGE_SCRATCH) advise_huge_pages(ptr_, size);
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        if (kept_ != 0 && ptr_ != nullptr) {
            KeptBlocks::give_back(ptr_, kept_);
        } else if (ptr_ != local_) {
            PyMem_Free(ptr_);
        }
    }
    void* get() const noexcept { return ptr_; }

  private:
    alignas(16) unsigned char local_[STACK_SCRATCH];
    void* ptr_ = nullptr;
    size_t kept_ = 0;  // the capacity of a block from KeptBlocks
};

// Parses and converts the text.  Returns the root, or null with *failure
// filled (failure->message null when the interpreter's MemoryError is set).
// The scratch block is released before returning, whatever the outcome.
PyObject* parse(const InputView& in, DecodeFailure* failure) noexcept {
    const size_t size = scratch_size(in.len);
    Scratch scratch(size);
    if (scratch.get() == nullptr) {
        *failure = {decode_msg::no_buffer, in.text, in.len, 0};
        return nullptr;
    }

    yyjson_alc alc;
    std::memset(&alc, 0, sizeof alc);
    yyjson_alc_pool_init(&alc, scratch.get(), size);
    yyjson_read_err err;
    std::memset(&err, 0, sizeof err);
    // Without the in-place flag the reader copies the text and never writes to it.
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(in.text), in.len, YYJSON_READ_NOFLAG,
                                       &alc, &err);
    if (doc == nullptr) {
        size_t q = err.pos < in.len ? err.pos : in.len;
        // A container nested too deep before the point of failure ends reading there.
        size_t p = find_nesting_overflow(in.text, q);
        *failure = p < q ? depth_failure(in, p)
                         : DecodeFailure{reader_message(err.msg), in.text, in.len, q};
        return nullptr;
    }

    Converted root = convert_document(yyjson_doc_get_root(doc));
    switch (root.status) {
        case ConvertStatus::ok:
            return root.obj;
        case ConvertStatus::no_memory:
            failure->message = nullptr;
            return nullptr;
        case ConvertStatus::too_deep:
            break;
    }
    *failure = depth_failure(in, find_nesting_overflow(in.text, in.len));
    return nullptr;
}

}  // namespace

}  // namespace kestro

PyObject* loads(PyObject*, PyObject* obj) {
    using namespace kestro;
    InputView in;
    DecodeFailure failure{decode_msg::wrong_type};
    if (!in.open(obj, &failure)) return fail(failure);
    if (in.len == 0) return fail({decode_msg::empty_input});
    if (in.len == 2) {
        if (in.text[0] == '"' && in.text[1] == '"') return Py_NewRef(typeref.empty_str);
        if (in.text[0] == '{' && in.text[1] == '}') return PyDict_New();
        if (in.text[0] == '[' && in.text[1] == ']') return PyList_New(0);
    }
    PyObject* root = parse(in, &failure);
    // The failure's document is the input's text: it is raised while the view holds it.
    if (root == nullptr && failure.message != nullptr) return fail(failure);
    return root;
}
