#include "cpus.hpp"

#include <gtest/gtest.h>

namespace kernels::cpus {
namespace {

TEST(Cpus, CgroupQuotas) {
  EXPECT_EQ(parse_cpu_max("max 100000\n"), std::nullopt);
  EXPECT_EQ(parse_cpu_max("200000 100000\n"), 2u);
  EXPECT_EQ(parse_cpu_max("350000 100000"), 3u);   // rounded down
  EXPECT_EQ(parse_cpu_max("50000 100000\n"), 1u);  // never below one
  EXPECT_EQ(parse_cpu_max("garbage"), std::nullopt);
  EXPECT_EQ(parse_cfs_quota("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(parse_cfs_quota("400000\n", "100000\n"), 4u);
  EXPECT_EQ(parse_cfs_quota("400000\n", "0\n"), std::nullopt);
}

}  // namespace
}  // namespace kernels::cpus
