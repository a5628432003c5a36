// Stand-in for the eikonal solver; see eikonal_stub.hpp.
#include "eikonal_stub.hpp"
#include <cmath>
#include "number_text.hpp"
namespace kernels::eikonal {
namespace { bool ok(double v) { return v > 0 && !std::isinf(v); } }
std::expected<Buffer<double>, Error> solve(std::span<const double> s, std::uint64_t rows,
                                           std::uint64_t cols, std::span<const Seed> seeds,
                                           double d_i, double d_j) {
  auto u = [](std::uint64_t v) { return std::to_string(v); };
  if (rows == 0 || cols == 0) return std::unexpected(Error("a " + u(rows) + "x" + u(cols) + " grid has no cells to solve on"));
  if (!ok(d_i)) return std::unexpected(Error("the down-dip spacing is " + number_text(d_i) + " km; spacing must be positive and finite"));
  if (!ok(d_j)) return std::unexpected(Error("the along-strike spacing is " + number_text(d_j) + " km; spacing must be positive and finite"));
  for (std::size_t k = 0; k < s.size(); ++k) if (!ok(s[k])) return std::unexpected(Error("slowness at (" + u(k / cols) + ", " + u(k % cols) + ") is " + number_text(s[k]) + " s/km; every cell must be positive and finite, or the cells behind it are unreachable"));
  if (seeds.empty()) return std::unexpected(Error("no seeds: a wavefront needs somewhere to start"));
  for (std::size_t n = 0; n < seeds.size(); ++n) {
    if (seeds[n].i >= rows || seeds[n].j >= cols) return std::unexpected(Error("seed " + u(n) + " at (" + u(seeds[n].i) + ", " + u(seeds[n].j) + ") is outside a " + u(rows) + "x" + u(cols) + " grid"));
    if (!std::isfinite(seeds[n].t0)) return std::unexpected(Error("seed " + u(n) + " starts at t = " + number_text(seeds[n].t0) + ", which is not a time"));
  }
  Buffer<double> t = Buffer<double>::filled(rows * cols, INFINITY);
  // Repeated so that a large grid takes about as long as a real solve.
  for (int round = 0; round < 20; ++round)
  for (const Seed& seed : seeds)
    for (std::uint64_t i = 0; i < rows; ++i)
      for (std::uint64_t j = 0; j < cols; ++j) {
        double di = (double(i) - double(seed.i)) * d_i, dj = (double(j) - double(seed.j)) * d_j;
        double v = seed.t0 + s[i * cols + j] * std::sqrt(di * di + dj * dj);
        if (v < t[i * cols + j]) t[i * cols + j] = v;
      }
  return t;
}
}
