// How the serializer fails: every writer returns a Status, which is either
// success or an EncodeFailure holding the final message text.  Only the dumps
// entry turns a failure into an exception.
#pragma once

#include "ffi/python.hpp"

#include <cstddef>

namespace kestro {

struct EncodeFailure {
    const char* text;  // UTF-8, not terminated
    size_t len;
    bool owned;  // the failure and its text are one PyMem block to free
};

class [[nodiscard]] Status {
  public:
    constexpr Status() noexcept = default;
    constexpr Status(const EncodeFailure* failure) noexcept : failure_(failure) {}  // NOLINT
    static constexpr Status ok() noexcept { return Status(); }
    constexpr bool failed() const noexcept { return failure_ != nullptr; }
    constexpr const EncodeFailure* failure() const noexcept { return failure_; }

  private:
    const EncodeFailure* failure_ = nullptr;
};

namespace failure {

#define KESTRO_FAILURE(name, message) \
    inline constexpr EncodeFailure name{message, sizeof(message) - 1, false}

KESTRO_FAILURE(default_recursion, "default serializer exceeds recursion limit");
KESTRO_FAILURE(recursion_limit, "Recursion limit reached");
KESTRO_FAILURE(integer_64bit, "Integer exceeds 64-bit range");
KESTRO_FAILURE(integer_53bit, "Integer exceeds 53-bit range");
KESTRO_FAILURE(surrogates, "str is not valid UTF-8: surrogates not allowed");
KESTRO_FAILURE(dict_key_not_str, "Dict key must be str");
KESTRO_FAILURE(dict_key_int_range, "Dict integer key must be within 64-bit range");
KESTRO_FAILURE(dict_key_invalid_type, "Dict key must a type serializable with OPT_NON_STR_KEYS");
KESTRO_FAILURE(datetime_tz_library,
               "datetime's timezone library is not supported: use datetime.timezone.utc, "
               "pendulum, pytz, or dateutil");
KESTRO_FAILURE(time_has_tzinfo, "datetime.time must not have tzinfo set");
KESTRO_FAILURE(fragment_content, "kestro.Fragment's content is not of type bytes or str");
KESTRO_FAILURE(numpy_malformed, "numpy array is malformed");
KESTRO_FAILURE(numpy_not_contiguous,
               "numpy array is not C contiguous; use ndarray.tolist() in default");
KESTRO_FAILURE(numpy_not_native_endian, "numpy array is not native-endianness");
KESTRO_FAILURE(numpy_unsupported_dtype, "unsupported datatype in numpy array");

// Not a message: the interpreter's MemoryError is already set and is raised
// as it stands.
KESTRO_FAILURE(out_of_memory, "");

#undef KESTRO_FAILURE

}  // namespace failure

// "Type is not JSON serializable: " and the type's name.
const EncodeFailure* unsupported_type(PyTypeObject* type) noexcept;

// A failure whose text is prefix followed by detail (an owned failure).
const EncodeFailure* failure_with_detail(const char* prefix, size_t prefix_len, const char* detail,
                                         size_t detail_len) noexcept;

// Status of a failed reservation or allocation: MemoryError is pending.
inline Status out_of_memory() noexcept { return &failure::out_of_memory; }

// Raises the failure (JSONEncodeError with its message, chaining any pending
// exception as the cause, or the pending MemoryError) and frees it.
void raise_failure(const EncodeFailure* failure) noexcept;

// Raises JSONEncodeError with the message, chaining any exception pending at
// the moment of the call as its cause.
void raise_encode_error(const char* text, size_t len) noexcept;

}  // namespace kestro
