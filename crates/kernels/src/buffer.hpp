// The one kind of heap block a kernel hands back to its caller.
//
// A Buffer owns `capacity` elements, of which the first `size` are in use. Its storage can be
// taken over (release) and later freed by release_block alone, given the capacity in bytes: that
// is what lets the NumPy boundary wrap a kernel's result without copying it. std::vector cannot
// give its storage away, so results never live in one.
#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "failure.hpp"

namespace kernels {

// Blocks of this many bytes and more are mapped on their own, on a huge-page boundary, with the
// advice to back them with huge pages (NumPy advises from the same size on); a mapping is the
// block's bytes rounded up to whole pages. Smaller ones come from malloc.
inline constexpr std::size_t mapped_block_bytes = std::size_t{4} << 20;
// The huge page of x86-64, which mapped blocks are aligned to.
inline constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
bool is_mapped_block(std::size_t bytes) noexcept;

// A block for `bytes` (null for 0) at a multiple of `alignment`, a power of two up to 2 MiB; all
// zero bytes when `zeroed`. A mapped block is zero anyway and 2 MiB aligned.
void* allocate_block(std::size_t bytes, std::size_t alignment, bool zeroed);

// The block of `bytes` moved to one of `new_bytes` (more), keeping its first `used` bytes and
// the alignment; the old block is gone.
void* grow_block(void* data, std::size_t used, std::size_t bytes, std::size_t new_bytes,
                 std::size_t alignment);

// Cuts the mapped block of `bytes` at `data` into `count` mapped blocks of `part` bytes each, one
// every `part` rounded up to whole huge pages from its start, and releases the rest; returns that
// distance. A part keeps what the block held in the huge-page extents wholly inside it; past them
// it reads zero. Returns 0 and changes nothing unless both sizes are mapped sizes and the parts
// fit in the block's pages.
std::size_t split_block(void* data, std::size_t bytes, std::size_t part, std::size_t count);

// Frees a block of `bytes` (its allocated size) taken from a Buffer; null does nothing.
void release_block(void* data, std::size_t bytes) noexcept;

// The byte size of n elements of `element` bytes; "capacity overflow" past the signed range.
inline std::size_t block_bytes(std::size_t n, std::size_t element) {
  constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (n != 0 && element > limit / n) panic("capacity overflow");
  return n * element;
}

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  struct Parts {
    T* data;
    std::size_t size;
    std::size_t capacity;

    // The block's allocated size, which release_block needs.
    std::size_t bytes() const noexcept { return capacity * sizeof(T); }
  };

  Buffer() noexcept = default;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        alignment_(other.alignment_) {}
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release_block(data_, capacity_ * sizeof(T));
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      alignment_ = other.alignment_;
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release_block(data_, capacity_ * sizeof(T)); }

  // n elements of all-zero bytes (+0.0 for doubles), as fresh pages for large blocks: no clearing
  // pass, and a page's memory is taken only when it is first written.
  static Buffer zeroed(std::size_t n) {
    Buffer b;
    b.data_ = static_cast<T*>(allocate_block(block_bytes(n, sizeof(T)), b.alignment_, true));
    b.size_ = b.capacity_ = n;
    return b;
  }

  // n copies of value.
  static Buffer filled(std::size_t n, T value) {
    Buffer b = with_capacity(n);
    for (std::size_t k = 0; k < n; ++k) b.data_[k] = value;
    b.size_ = n;
    return b;
  }

  // Room for n elements, none in use.
  static Buffer with_capacity(std::size_t n) {
    Buffer b;
    b.reserve(n);
    return b;
  }

  // Room for n elements at a multiple of `alignment` (a power of two up to 2 MiB), which the
  // buffer keeps when it grows.
  static Buffer with_capacity_aligned(std::size_t n, std::size_t alignment) {
    Buffer b;
    b.alignment_ = std::max(b.alignment_, alignment);
    b.reserve(n);
    return b;
  }

  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    std::size_t bytes = block_bytes(n, sizeof(T));
    data_ = static_cast<T*>(
        grow_block(data_, size_ * sizeof(T), capacity_ * sizeof(T), bytes, alignment_));
    capacity_ = n;
  }

  // Appends, doubling the capacity when full.
  void push_back(const T& value) {
    if (size_ == capacity_) reserve(capacity_ < 4 ? 4 : capacity_ * 2);
    data_[size_++] = value;
  }

  // Takes the first n elements as in use, after writing them through data() within the capacity.
  void set_size(std::size_t n) {
    if (n > capacity_) panic("size past capacity");
    size_ = n;
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t k) noexcept { return data_[k]; }
  const T& operator[](std::size_t k) const noexcept { return data_[k]; }
  std::span<T> span() noexcept { return {data_, size_}; }
  std::span<const T> span() const noexcept { return {data_, size_}; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  // This buffer's pages reused as two buffers of n elements of V, when its block is a mapping that
  // holds two mapped blocks of that size; this buffer is then empty. Otherwise nothing changes and
  // the result is empty. Only some of what the pages held is kept (see split_block): write every
  // element. Pages already touched cost nothing to write again, where fresh ones would have to be
  // faulted in.
  template <class V>
  std::optional<std::pair<Buffer<V>, Buffer<V>>> split_in_two(std::size_t n) {
    std::size_t stride = split_block(data_, capacity_ * sizeof(T), block_bytes(n, sizeof(V)), 2);
    if (stride == 0) return std::nullopt;
    auto* bytes = reinterpret_cast<unsigned char*>(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
    return std::pair{Buffer<V>::adopt(bytes, n, n), Buffer<V>::adopt(bytes + stride, n, n)};
  }

  // The same block and values as elements of V, a type of T's size, such as T's signed variant.
  template <class V>
  Buffer<V> retyped() && {
    static_assert(sizeof(V) == sizeof(T) && alignof(V) <= alignof(T));
    Buffer<V> b = Buffer<V>::adopt(std::exchange(data_, nullptr), size_, capacity_);
    size_ = capacity_ = 0;
    return b;
  }

  // Gives the block away; it must be freed with release_block(data, bytes()).
  Parts release() noexcept {
    Parts parts{data_, size_, capacity_};
    data_ = nullptr;
    size_ = capacity_ = 0;
    return parts;
  }

 private:
  template <class>
  friend class Buffer;

  // A block of `capacity` elements, the first `size` in use, made by allocate_block or
  // split_block.
  static Buffer adopt(void* block, std::size_t size, std::size_t capacity) noexcept {
    Buffer b;
    b.data_ = static_cast<T*>(block);
    b.size_ = size;
    b.capacity_ = capacity;
    return b;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t alignment_ = std::max(alignof(T), alignof(std::max_align_t));
};

}  // namespace kernels
