#include "buffer.hpp"
#include "failure.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace kernels {
namespace {

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
// where the system has them, and gone once released by its size.
TEST(Buffer, LargeBlocksAreAdvisedMappingsOfTheirOwn) {
  const std::size_t n = mapped_block_bytes / sizeof(double) + 1;
  Buffer<double> b = Buffer<double>::zeroed(n);
  ASSERT_TRUE(aligned_to(b.data(), huge_page));
  for (double v : b) {
    ASSERT_EQ(v, 0.0);
  }
  if (transparent_huge_pages()) {
    EXPECT_NE(vm_flags(b.data()).find(" hg"), std::string::npos);
  }
  Buffer<double>::Parts parts = b.release();
  double* last = parts.data + n - 1;
  ASSERT_TRUE(is_mapped(parts.data) && is_mapped(last));
  release_block(parts.data, parts.capacity * sizeof(double));
  EXPECT_FALSE(is_mapped(parts.data));
  EXPECT_FALSE(is_mapped(last));
}

// A mapped block reused as two: both start on huge-page boundaries inside it, keep what it held,
// and the part of the mapping they leave is released at once, the rest with each of them. When
// they would not fit, or either size is not a mapped one, nothing changes.
TEST(Buffer, SplitInTwoReusesTheMappingOrChangesNothing) {
  using Cell = std::complex<double>;
  const std::size_t mib = std::size_t{1} << 20;
  Buffer<Cell> grid = Buffer<Cell>::filled(16 * mib / sizeof(Cell), Cell(1.0, 2.0));
  const Cell* start = grid.data();
  const struct {
    const char* what;
    std::size_t doubles;
  } refused[] = {
      {"parts below the mapped size", mapped_block_bytes / sizeof(double) - 1},
      {"parts too large for the mapping", 9 * mib / sizeof(double)},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(grid.split_in_two<double>(c.doubles)) << c.what;
    EXPECT_EQ(grid.data(), start) << c.what;
    EXPECT_EQ(grid.capacity(), 16 * mib / sizeof(Cell)) << c.what;
  }
  Buffer<Cell> small = Buffer<Cell>::filled(1000, Cell(1.0, 2.0));
  EXPECT_FALSE(small.split_in_two<double>(5 * mib / sizeof(double))) << "a heap block";

  auto parts = grid.split_in_two<double>(5 * mib / sizeof(double));
  ASSERT_TRUE(parts);
  EXPECT_EQ(grid.data(), nullptr);
  auto& [first, second] = *parts;
  const auto* base = reinterpret_cast<const unsigned char*>(start);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(first.data()), base);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(second.data()), base + 6 * mib);
  EXPECT_EQ(second.size(), 5 * mib / sizeof(double));
  EXPECT_EQ(first[1], 2.0);
  EXPECT_EQ(second[second.size() - 1], 2.0);
  EXPECT_FALSE(is_mapped(const_cast<unsigned char*>(base) + 12 * mib));
  first = Buffer<double>();
  EXPECT_FALSE(is_mapped(const_cast<unsigned char*>(base)));
  EXPECT_TRUE(is_mapped(second.data()));
}

}  // namespace
}  // namespace kernels
