#include "number_text.hpp"

#include <charconv>
#include <cmath>

namespace kernels {
namespace {

// Covers the longest fixed form: the smallest subnormal has 324 decimals after "0.", the largest
// finite double 309 digits before the point.
constexpr int text_room = 400;

std::string special_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string number_text(double value) {
  if (!std::isfinite(value)) return special_text(value);
  char text[text_room];
  auto [end, ec] = std::to_chars(text, text + text_room, value, std::chars_format::fixed);
  return std::string(text, end);
}

std::string fixed_text(double value, int decimals) {
  if (!std::isfinite(value)) return special_text(value);
  char text[text_room + 64];
  auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  return std::string(text, end);
}

}  // namespace kernels
