// NumPy at the boundary: its C array interface, loaded at run time from the `_ARRAY_API` capsule
// (the module is built without NumPy's headers), input arrays held read-only for one call, and
// result arrays that take a kernel's buffer over without copying it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "boundary/frame.hpp"
#include "buffer.hpp"

namespace kernels::boundary {

// The leading fields of NumPy's array object, in its documented (and ABI-stable) order.
struct ArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline ArrayFields& array_fields(PyObject* array) {
  return *reinterpret_cast<ArrayFields*>(array);
}

inline constexpr int npy_c_contiguous = 0x1;
inline constexpr int npy_f_contiguous = 0x2;
inline constexpr int npy_aligned = 0x100;
inline constexpr int npy_writeable = 0x400;

inline constexpr int npy_float64 = 12;
inline constexpr int npy_int64 = 7;  // NPY_LONG: 64 bits on this platform

// The entries of NumPy's interface table that the module uses, by their fixed indices.
class ArrayApi {
 public:
  explicit ArrayApi(void** table) noexcept : table_(table) {}

  unsigned abi_version() const { return entry<unsigned (*)()>(0)(); }
  PyTypeObject* array_type() const { return static_cast<PyTypeObject*>(table_[2]); }
  // New reference.
  PyObject* descr_from_type(int type) const { return entry<PyObject* (*)(int)>(45)(type); }
  // Steals `descr`.
  PyObject* new_from_descr(PyTypeObject* type, PyObject* descr, int nd, const Py_ssize_t* dims,
                           const Py_ssize_t* strides, void* data, int flags,
                           PyObject* object) const {
    using Fn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*, const Py_ssize_t*,
                             void*, int, PyObject*);
    return entry<Fn>(94)(type, descr, nd, dims, strides, data, flags, object);
  }
  bool equiv_types(PyObject* a, PyObject* b) const {
    return entry<unsigned char (*)(PyObject*, PyObject*)>(182)(a, b) != 0;
  }
  int endianness() const { return entry<int (*)()>(210)(); }
  unsigned feature_version() const { return entry<unsigned (*)()>(211)(); }
  // Steals `base`, also on failure.
  int set_base_object(PyObject* array, PyObject* base) const {
    return entry<int (*)(PyObject*, PyObject*)>(282)(array, base);
  }

  bool is_array(PyObject* object) const {
    return Py_TYPE(object) == array_type() || PyType_IsSubtype(Py_TYPE(object), array_type());
  }

 private:
  template <class Fn>
  Fn entry(std::size_t index) const {
    return reinterpret_cast<Fn>(table_[index]);
  }
  void** table_;
};

// The table, loaded and tested on first use; an internal failure while it cannot be (the next
// call tries again).
const ArrayApi& array_api();

// "numpy._core.multiarray" or "numpy.core.multiarray"; set once array_api() has succeeded.
Result<const std::string*> multiarray_module_name();

// A float64 array argument held read-only in the borrow table for the rest of the call. The hold
// ends and the reference drops exactly once: on release_input_array or at destruction.
class InputArray {
 public:
  InputArray(InputArray&& other) noexcept : array_(std::move(other.array_)) {}
  InputArray& operator=(InputArray&&) = delete;
  InputArray(const InputArray&) = delete;
  ~InputArray();

  PyObject* get() const noexcept { return array_.get(); }
  ArrayFields& fields() const noexcept { return array_fields(array_.get()); }
  std::uint64_t dim(int axis) const noexcept {
    return static_cast<std::uint64_t>(fields().dimensions[axis]);
  }

 private:
  friend Result<InputArray> extract_input_array(PyObject*, int);
  friend void release_input_array(InputArray&);
  explicit InputArray(Ref array) noexcept : array_(std::move(array)) {}
  Ref array_;
};

// The array's elements as one row-major run. An F-ordered 2-D array is copied into `row_major`
// (freed with this value); anything else is read in place.
struct FlatBuffer {
  const double* data = nullptr;
  std::size_t size = 0;
  Buffer<double> row_major;

  std::span<const double> span() const noexcept { return {data, size}; }
};

// A float64 ndarray (or subclass) of exactly `nd` dimensions, now held read-only.
Result<InputArray> extract_input_array(PyObject* object, int nd);
// TypeError for a non-empty array that is misaligned or neither C- nor F-contiguous.
Result<FlatBuffer> input_array_buffer(const InputArray& array);
void release_input_array(InputArray& array);

// How a result's owner object frees its buffer: (address, allocated size in bytes). It runs inside
// the owner's dealloc, so it must not throw.
using ReleaseBlock = void (*)(void* data, std::size_t bytes) noexcept;
struct SliceOwner {
  ReleaseBlock release;
  void* data;
  std::size_t bytes;
};
// Frees a block that a Buffer gave away, of any element type.
void release_owned_block(void* data, std::size_t bytes) noexcept;
// The owner of a block that Buffer<T>::release gave away, sized by that buffer's element type.
template <class Parts>
SliceOwner owned_block(const Parts& parts) noexcept {
  return {&release_owned_block, parts.data, parts.bytes()};
}

enum class ElementType : int { float64 = npy_float64, int64 = npy_int64 };

// A 2-D C-ordered float64 array over `values` (rows * cols of them), which it now owns.
Ref from_owned_array(Buffer<double> values, std::size_t rows, std::size_t cols);
// A 1-D array of n elements over a buffer that `owner` frees when NumPy drops it.
Ref from_raw_parts(std::size_t n, Py_ssize_t stride, void* data, SliceOwner owner,
                   ElementType element);
Ref array_into_tuple(Ref first, Ref second);

}  // namespace kernels::boundary
