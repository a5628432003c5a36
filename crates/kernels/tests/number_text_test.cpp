#include "number_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

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
      {-1e23, "-100000000000000000000000"},
      {-0x1p70, "-1180591620717411300000"},
      {1e16, "10000000000000000"},
      {9007199254740994.0, "9007199254740994"},
      {123456789012345680000.0, "123456789012345680000"},
      {0x1p60, "1152921504606847000"},
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
  EXPECT_EQ(largest, "17976931348623157" + std::string(292, '0'));
  EXPECT_EQ(std::strtod(largest.c_str(), nullptr), std::numeric_limits<double>::max());
}

// Doubles from random bits: half of every exponent (NaN and infinities left out), half with
// magnitudes from 2**-64 to 2**60, where most message values lie and fixed forms get long.
std::vector<double> random_doubles(std::size_t count) {
  std::mt19937_64 bits(20261210);
  std::uniform_int_distribution<std::uint64_t> biased_exponent(1023 - 64, 1023 + 59);
  constexpr std::uint64_t exponent_mask = 0x7ffull << 52;
  std::vector<double> values;
  while (values.size() < count) {
    std::uint64_t word = bits();
    if (values.size() % 2 == 1) word = (word & ~exponent_mask) | (biased_exponent(bits) << 52);
    double value = std::bit_cast<double>(word);
    if (std::isfinite(value)) values.push_back(value);
  }
  return values;
}

TEST(NumberText, BelowTenToTheSixteenTheTextIsTheShortestFixedForm) {
  for (double value : random_doubles(200000)) {
    if (std::abs(value) >= 1e16) continue;
    char fixed[400];
    auto [end, ec] = std::to_chars(fixed, fixed + sizeof fixed, value, std::chars_format::fixed);
    ASSERT_EQ(number_text(value), std::string(fixed, end)) << value;
  }
}

TEST(NumberText, ReadsBackWithTheShortestDigits) {
  for (double value : random_doubles(200000)) {
    std::string text = number_text(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    // The significant digits are those of the shortest scientific form.
    char scientific[64];
    auto [end, ec] = std::to_chars(scientific, scientific + sizeof scientific, value,
                                   std::chars_format::scientific);
    std::string shortest, written;
    for (const char* c = scientific; c != end && *c != 'e'; ++c) {
      if (*c >= '0' && *c <= '9') shortest += *c;
    }
    for (char c : text) {
      if (c >= '0' && c <= '9') written += c;
    }
    written.erase(0, written.find_first_not_of('0'));
    written.erase(written.find_last_not_of('0') + 1);
    shortest.erase(shortest.find_last_not_of('0') + 1);
    ASSERT_EQ(written, shortest) << text;
  }
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
