// Stand-in for the eikonal solver until its own branch lands, with the same interface: its
// validation messages, and straight-ray times (exact on uniform media only). Deleted on merge.
#pragma once
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include "buffer.hpp"
namespace kernels::eikonal {
struct Seed { std::uint64_t i, j; double t0; };
class Error {
 public:
  explicit Error(std::string text) : text_(std::move(text)) {}
  std::string message() const { return text_; }
 private:
  std::string text_;
};
std::expected<Buffer<double>, Error> solve(std::span<const double> slowness, std::uint64_t rows,
                                           std::uint64_t cols, std::span<const Seed> seeds,
                                           double d_i, double d_j);
}
