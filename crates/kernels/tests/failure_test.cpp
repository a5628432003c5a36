#include "buffer.hpp"
#include "failure.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace kernels {
namespace {

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
  release_block(parts.data);
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

TEST(Failure, AssertEqualNamesBothSides) {
  try {
    assert_equal(3, 4, "counts");
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion `left == right` failed: counts\n  left: 3\n right: 4");
  }
}

}  // namespace
}  // namespace kernels
