#include "failure.hpp"

#include <gtest/gtest.h>

namespace kernels {
namespace {

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
