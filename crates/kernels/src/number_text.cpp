#include "number_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace kernels {
namespace {

// Covers the longest fixed form: the smallest subnormal has 324 decimals after "0.", the largest
// finite double 309 digits before the point.
constexpr int text_room = 400;

std::string special_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

// Rewrites "-d.ddde+x" (the shortest round-trip digits) with the point moved into place. Fixed
// shortest output would do the same below 1e16, but above it writes the exact binary value.
std::string without_exponent(std::string_view scientific) {
  std::string text;
  if (scientific.front() == '-') {
    text += '-';
    scientific.remove_prefix(1);
  }
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (char c : scientific.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view power = scientific.substr(e + 1);
  if (power.front() == '+') power.remove_prefix(1);
  std::from_chars(power.data(), power.data() + power.size(), exponent);

  if (exponent < 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-exponent - 1), '0');
    return text + digits;
  }
  const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    text += digits;
    return text.append(whole - digits.size(), '0');
  }
  return text + digits.substr(0, whole) + "." + digits.substr(whole);
}

}  // namespace

std::string number_text(double value) {
  if (!std::isfinite(value)) return special_text(value);
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  return without_exponent(std::string_view(text, end));
}

std::string fixed_text(double value, int decimals) {
  if (!std::isfinite(value)) return special_text(value);
  char text[text_room + 64];
  auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  return std::string(text, end);
}

}  // namespace kernels
