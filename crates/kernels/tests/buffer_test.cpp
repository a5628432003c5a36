#include "buffer.hpp"
#include "failure.hpp"
#include "mappings.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kernels {
namespace {

using testing_mappings::Call;
using testing_mappings::mapped_after;
using testing_mappings::page;
using testing_mappings::Pages;
using testing_mappings::Recording;
using testing_mappings::unmapped_by;

constexpr std::size_t huge_page = std::size_t{2} << 20;

bool aligned_to(const void* p, std::size_t alignment) {
  return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

// Whether `address` lies in a mapping of this process.
bool is_mapped(void* address) {
  auto page = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{4095};
  return msync(reinterpret_cast<void*>(page), 4096, MS_ASYNC) == 0 || errno != ENOMEM;
}

// The VmFlags line of the mapping holding `address`, from /proc/self/smaps.
std::string vm_flags(const void* address) {
  auto at = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    std::uintptr_t start, end;
    char dash;
    std::istringstream range(line);
    if (line.find(':') > line.find(' ') && range >> std::hex >> start >> dash >> end && dash == '-') {
      inside = start <= at && at < end;
    } else if (inside && line.starts_with("VmFlags:")) {
      return line;
    }
  }
  return {};
}

bool transparent_huge_pages() {
  std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  return std::getline(enabled, modes) && modes.find("[never]") == std::string::npos;
}

TEST(Buffer, ZeroedBlocksAreZeroAndReleasable) {
  Buffer<double> b = Buffer<double>::zeroed(1000);
  ASSERT_EQ(b.size(), 1000u);
  for (double v : b) {
    EXPECT_FALSE(std::signbit(v));
    EXPECT_EQ(v, 0.0);
  }
  auto parts = b.release();
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(parts.size, 1000u);
  release_block(parts.data, parts.capacity * sizeof(double));
}

TEST(Buffer, EmptyBlocksAllocateNothing) {
  Buffer<double> b = Buffer<double>::zeroed(0);
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.capacity(), 0u);
}

TEST(Buffer, OversizedBlockIsCapacityOverflow) {
  try {
    Buffer<double>::zeroed(std::size_t{1} << 61);
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "capacity overflow");
  }
}

// Growth by push_back from one element to past the size at which blocks are mapped: every
// block on the way keeps the alignment asked for and the values written so far.
TEST(Buffer, GrowthKeepsAlignmentAndValues) {
  using Cell = std::complex<double>;
  const std::size_t n = mapped_block_bytes / sizeof(Cell) * 3 / 2;
  for (std::size_t alignment : {std::size_t{16}, std::size_t{64}, std::size_t{4096}}) {
    Buffer<Cell> b = Buffer<Cell>::with_capacity_aligned(1, alignment);
    const Cell* seen = nullptr;
    for (std::size_t k = 0; k < n; ++k) {
      b.push_back(Cell(static_cast<double>(k), -static_cast<double>(k)));
      if (b.data() != seen) {
        seen = b.data();
        ASSERT_TRUE(aligned_to(seen, alignment)) << alignment << " at capacity " << b.capacity();
      }
    }
    EXPECT_TRUE(aligned_to(b.data(), huge_page)) << "a mapped block";
    for (std::size_t k = 0; k < n; ++k) {
      ASSERT_EQ(b[k], Cell(static_cast<double>(k), -static_cast<double>(k))) << alignment;
    }
  }
}

// A large block is a mapping of its own on a huge-page boundary, zero, advised for huge pages
// where the system has them, and gone once released by its size. The mapping is the block's pages
// and no more: a huge page reaching past them would be backed whole once touched. Finding the
// boundary takes a reservation of less than a huge page beyond them.
TEST(Buffer, LargeBlocksAreMappingsOfTheirOwnPages) {
  const std::size_t sizes[] = {mapped_block_bytes, mapped_block_bytes + 8, 513 * 1024 * 8,
                               1000 * 600 * 8, 3 * huge_page - 8};
  for (std::size_t bytes : sizes) {
    SCOPED_TRACE(testing::Message() << bytes << " bytes");
    const std::size_t n = bytes / sizeof(double);
    const std::size_t length = (bytes + page - 1) / page * page;
    Buffer<double> b;
    std::vector<Call> made;
    {
      Recording recording;
      b = Buffer<double>::zeroed(n);
      made = recording.calls();
    }
    ASSERT_TRUE(aligned_to(b.data(), huge_page));
    ASSERT_FALSE(made.empty());
    EXPECT_LT(made.front().length, length + huge_page);
    EXPECT_EQ(mapped_after({}, made), Pages(b.data(), length));
    for (double v : b) {
      ASSERT_EQ(v, 0.0);
    }
    if (transparent_huge_pages()) {
      EXPECT_NE(vm_flags(b.data()).find(" hg"), std::string::npos);
    }
    Buffer<double>::Parts parts = b.release();
    double* last = parts.data + n - 1;
    ASSERT_TRUE(is_mapped(parts.data) && is_mapped(last));
    std::vector<Call> released;
    {
      Recording recording;
      release_block(parts.data, parts.bytes());
      released = recording.calls();
    }
    EXPECT_EQ(unmapped_by(released), Pages(parts.data, length));
    EXPECT_FALSE(is_mapped(parts.data));
    EXPECT_FALSE(is_mapped(last));
  }
}

// A mapped block reused as two parts, each on a huge-page boundary inside it and mapped for its own
// pages; the rest of the block is released at once, and each part goes with its own release. Of
// the block's pages a part keeps only the huge-page extents wholly inside it, with what they held:
// the kernel frees nothing of a huge page that is only partly unmapped, so the extent a part ends
// in is given back whole, and the part's tail reads zero. When the parts would not fit in the
// block's pages, or either size is not a mapped one, nothing changes.
TEST(Buffer, SplitInTwoKeepsWholeHugePagesOrChangesNothing) {
  using Cell = std::complex<double>;
  const std::size_t mib = std::size_t{1} << 20;
  auto grid_of = [](std::size_t bytes) {
    return Buffer<Cell>::filled(bytes / sizeof(Cell), Cell(1.0, 2.0));
  };
  const struct {
    const char* what;
    std::size_t grid_bytes, doubles;
  } refused[] = {
      {"parts below the mapped size", 16 * mib, mapped_block_bytes / sizeof(double) - 1},
      {"parts too large for the mapping", 16 * mib, 9 * mib / sizeof(double)},
      {"a second part past the block's last page", 15 * mib, 15 * mib / 2 / sizeof(double)},
  };
  for (const auto& c : refused) {
    Buffer<Cell> grid = grid_of(c.grid_bytes);
    const Cell* start = grid.data();
    std::vector<Call> calls;
    {
      Recording recording;
      EXPECT_FALSE(grid.split_in_two<double>(c.doubles)) << c.what;
      calls = recording.calls();
    }
    EXPECT_TRUE(calls.empty()) << c.what;
    EXPECT_EQ(grid.data(), start) << c.what;
    EXPECT_EQ(grid.capacity(), c.grid_bytes / sizeof(Cell)) << c.what;
  }
  Buffer<Cell> small = Buffer<Cell>::filled(1000, Cell(1.0, 2.0));
  EXPECT_FALSE(small.split_in_two<double>(5 * mib / sizeof(double))) << "a heap block";

  // Parts of 5 MiB and 8 bytes: 5 MiB and a page each, 6 MiB apart, two whole huge pages kept.
  Buffer<Cell> grid = grid_of(16 * mib);
  const auto* base = reinterpret_cast<const unsigned char*>(grid.data());
  const std::size_t n = 5 * mib / sizeof(double) + 1, length = 5 * mib + page;
  std::vector<Call> calls;
  std::optional<std::pair<Buffer<double>, Buffer<double>>> parts;
  {
    Recording recording;
    parts = grid.split_in_two<double>(n);
    calls = recording.calls();
  }
  ASSERT_TRUE(parts);
  EXPECT_EQ(grid.data(), nullptr);
  auto& [first, second] = *parts;
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(first.data()), base);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(second.data()), base + 6 * mib);
  EXPECT_EQ(second.size(), n);

  Pages mapped(base, length), kept(base, 4 * mib);
  mapped.add(reinterpret_cast<std::uintptr_t>(base + 6 * mib), length);
  kept.add(reinterpret_cast<std::uintptr_t>(base + 6 * mib), 4 * mib);
  EXPECT_EQ(mapped_after(Pages(base, 16 * mib), calls), mapped);
  EXPECT_EQ(mapped_after(Pages(base, 16 * mib), calls, MADV_DONTNEED), kept);
  for (const auto& part : {&first, &second}) {
    const std::size_t whole = 4 * mib / sizeof(double);
    EXPECT_EQ((*part)[0], 1.0);
    EXPECT_EQ((*part)[whole - 1], 2.0);
    EXPECT_EQ((*part)[whole], 0.0);
    EXPECT_EQ((*part)[n - 1], 0.0);
  }

  std::vector<Call> released;
  {
    Recording recording;
    first = Buffer<double>();
    released = recording.calls();
  }
  EXPECT_EQ(unmapped_by(released), Pages(base, length));
  EXPECT_FALSE(is_mapped(const_cast<unsigned char*>(base)));
  EXPECT_TRUE(is_mapped(second.data()));
}

}  // namespace
}  // namespace kernels
