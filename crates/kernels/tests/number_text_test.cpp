#include "number_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace kernels {
namespace {

TEST(NumberText, ShortestRoundTripWithoutExponent) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0"},
      {-0.0, "-0"},
      {1.0, "1"},
      {-0.25, "-0.25"},
      {0.1, "0.1"},
      {1e-7, "0.0000001"},
      {-1e21, "-1000000000000000000000"},
      {0.5000000000000001, "0.5000000000000001"},
      {0.00010000000000000002, "0.00010000000000000002"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& c : cases) EXPECT_EQ(number_text(c.value), c.text) << c.text;
}

TEST(NumberText, SubnormalsAreWrittenInFull) {
  std::string text = number_text(5e-324);
  EXPECT_EQ(text, "0." + std::string(323, '0') + "5");
  EXPECT_EQ(std::strtod(text.c_str(), nullptr), 5e-324);
  std::string largest = number_text(std::numeric_limits<double>::max());
  EXPECT_EQ(largest.size(), 309u);
  EXPECT_EQ(std::strtod(largest.c_str(), nullptr), std::numeric_limits<double>::max());
}

TEST(NumberText, OneDecimalRoundsTheExactValueHalfToEven) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {26.0, "26.0"}, {12.94, "12.9"}, {2.25, "2.2"}, {2.75, "2.8"},
      {0.05, "0.1"},  // 0.05 is slightly above its decimal: not a tie
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(fixed_text(c.value, 1), c.text) << c.text;
}

}  // namespace
}  // namespace kernels
