// Allocation failure ends the process with a message instead of throwing std::bad_alloc through
// code that cannot recover. These definitions serve the module's own code only: the shared
// object exports nothing but its initialisation function.
#include <cstdlib>
#include <new>

#include "failure.hpp"

namespace {

void* allocate(std::size_t bytes) {
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) kernels::out_of_memory(bytes);
  return block;
}

void* allocate_aligned(std::size_t bytes, std::align_val_t alignment) {
  std::size_t align = static_cast<std::size_t>(alignment);
  std::size_t rounded = (bytes + align - 1) / align * align;
  if (rounded < bytes) kernels::out_of_memory(bytes);
  void* block = std::aligned_alloc(align, rounded == 0 ? align : rounded);
  if (block == nullptr) kernels::out_of_memory(bytes);
  return block;
}

}  // namespace

void* operator new(std::size_t bytes) { return allocate(bytes); }
void* operator new[](std::size_t bytes) { return allocate(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return allocate(bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return allocate(bytes); }
void* operator new(std::size_t bytes, std::align_val_t a) { return allocate_aligned(bytes, a); }
void* operator new[](std::size_t bytes, std::align_val_t a) { return allocate_aligned(bytes, a); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
