// Heap blocks for Buffer. Large blocks get a mapping of their own, so that the kernel can back
// them with huge pages: on the machines this module runs on, first touch of fresh 4 KiB pages is
// slower than the work done in them, and glibc's malloc keeps large chunks at page granularity.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "buffer.hpp"
#include "failure.hpp"

namespace kernels {
namespace {

constexpr std::size_t huge_page = huge_page_bytes;

std::size_t page_size() noexcept {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Never wraps: blocks hold at most PTRDIFF_MAX bytes, and multiples are at most a huge page.
std::size_t round_up(std::size_t bytes, std::size_t multiple) {
  return (bytes + multiple - 1) / multiple * multiple;
}

// The mapping of a block of `bytes`: its pages, from a huge-page boundary. The kernel backs with
// huge pages only the 2 MiB extents wholly inside a mapping, so a block's last, partial extent is
// ordinary pages, and the block costs what its bytes do, as NumPy's arrays do.
std::size_t mapping_bytes(std::size_t bytes) { return round_up(bytes, page_size()); }

// Fresh zero pages. The advice is only a request: with transparent huge pages off or absent it
// fails or does nothing, and the block is then what an ordinary mapping would be.
void* map_block(std::size_t bytes) {
  const std::size_t length = mapping_bytes(bytes);
  // A mapping starts on a page boundary: a huge page less one page more than the block holds a
  // huge-page boundary with the block's length after it.
  const std::size_t reserved = length + huge_page - page_size();
  void* start = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (start == MAP_FAILED) out_of_memory(bytes);
  auto* base = static_cast<char*>(start);
  auto address = reinterpret_cast<std::uintptr_t>(base);
  char* aligned = base + (round_up(address, huge_page) - address);
  if (aligned != base) munmap(base, static_cast<std::size_t>(aligned - base));
  char* end = aligned + length;
  std::size_t tail = static_cast<std::size_t>(base + reserved - end);
  if (tail != 0) munmap(end, tail);
#ifdef MADV_HUGEPAGE
  madvise(aligned, length, MADV_HUGEPAGE);
#endif
  return aligned;
}

void* heap_block(std::size_t bytes, std::size_t alignment, bool zeroed) {
  void* block;
  if (alignment <= alignof(std::max_align_t)) {
    block = zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
  } else {
    block = std::aligned_alloc(alignment, round_up(bytes, alignment));
    if (block != nullptr && zeroed) std::memset(block, 0, bytes);
  }
  if (block == nullptr) out_of_memory(bytes);
  return block;
}

}  // namespace

bool is_mapped_block(std::size_t bytes) noexcept { return bytes >= mapped_block_bytes; }

void* allocate_block(std::size_t bytes, std::size_t alignment, bool zeroed) {
  if (alignment == 0 || (alignment & (alignment - 1)) != 0 || alignment > huge_page) {
    panic("block alignment " + std::to_string(alignment) + " is not a power of two up to 2 MiB");
  }
  if (bytes == 0) return nullptr;
  if (bytes > static_cast<std::size_t>(PTRDIFF_MAX)) panic("capacity overflow");
  return is_mapped_block(bytes) ? map_block(bytes) : heap_block(bytes, alignment, zeroed);
}

void* grow_block(void* data, std::size_t used, std::size_t bytes, std::size_t new_bytes,
                 std::size_t alignment) {
  if (data != nullptr && !is_mapped_block(new_bytes) && alignment <= alignof(std::max_align_t)) {
    void* grown = std::realloc(data, new_bytes);
    if (grown == nullptr) out_of_memory(new_bytes);
    return grown;
  }
  void* grown = allocate_block(new_bytes, alignment, false);
  if (used != 0) std::memcpy(grown, data, used);
  release_block(data, bytes);
  return grown;
}

std::size_t split_block(void* data, std::size_t bytes, std::size_t part, std::size_t count) {
  if (data == nullptr || count == 0 || !is_mapped_block(bytes) || !is_mapped_block(part)) return 0;
  const std::size_t length = mapping_bytes(bytes), kept = mapping_bytes(part);
  const std::size_t stride = round_up(part, huge_page);
  if (kept > length || count - 1 > (length - kept) / stride) return 0;
  // The extents wholly inside a part keep their pages. Its last extent, part of it cut away, would
  // keep the whole of a huge page the block had there: the kernel frees none of one that is only
  // partly unmapped until memory runs short. So that extent's pages go back whole first, and the
  // part's tail is faulted afresh in ordinary pages, as a block of its size would be.
  const std::size_t whole = kept / huge_page * huge_page;
  auto* base = static_cast<char*>(data);
  for (std::size_t k = 0; k < count; ++k) {
    char* start = base + k * stride;
    char* end = k + 1 < count ? start + stride : base + length;
    if (whole != kept && start + whole + huge_page <= base + length) {
      madvise(start + whole, huge_page, MADV_DONTNEED);
    }
    if (start + kept != end) munmap(start + kept, static_cast<std::size_t>(end - (start + kept)));
  }
  return stride;
}

void release_block(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (is_mapped_block(bytes)) {
    munmap(data, mapping_bytes(bytes));
  } else {
    std::free(data);
  }
}

}  // namespace kernels
