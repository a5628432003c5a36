// The process-wide table of holds on NumPy arrays. It lives behind a record in a capsule on
// NumPy's multiarray module, so that other extensions using the same record see this module's
// read-only holds while a kernel reads an array without the interpreter lock, and it sees theirs.
#pragma once

#include <cstdint>
#include <expected>

#include "boundary/frame.hpp"

namespace kernels::boundary {

// What other extensions read: field order and widths are fixed.
struct Shared {
  std::uint64_t version;
  void* flags;
  std::int32_t (*acquire)(void* flags, PyObject* array);
  std::int32_t (*acquire_mut)(void* flags, PyObject* array);
  void (*release)(void* flags, PyObject* array);
  void (*release_mut)(void* flags, PyObject* array);
};

inline constexpr const char* borrow_capsule_name = "_RUST_NUMPY_BORROW_CHECKING_API";

enum class BorrowError { already_borrowed, not_writeable };

// One read-only hold; refused while another user holds a conflicting part writable.
std::expected<void, BorrowError> acquire(PyObject* array);
// Ends one hold taken by acquire.
void release(PyObject* array);

}  // namespace kernels::boundary
