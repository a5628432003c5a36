#include "random.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace kernels::field {

namespace {

unsigned __int128 read_u128_le(const std::uint8_t* bytes) {
  unsigned __int128 value = 0;
  for (int k = 15; k >= 0; --k) value = (value << 8) | bytes[k];
  return value;
}

void write_u64_le(std::uint8_t* out, std::uint64_t value) {
  for (int k = 0; k < 8; ++k) out[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

}  // namespace

Lcg128Xsl64 Lcg128Xsl64::seed_from_u64(std::uint64_t seed) {
  std::array<std::uint8_t, 32> bytes{};
  std::uint64_t s = seed;
  for (int k = 0; k < 8; ++k) {
    s = s * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3;
    auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    auto word = std::rotr(xorshifted, static_cast<int>(s >> 59));
    for (int t = 0; t < 4; ++t) bytes[4 * k + t] = static_cast<std::uint8_t>(word >> (8 * t));
  }
  return from_seed(bytes);
}

Lcg128Xsl64 Lcg128Xsl64::from_seed(const std::array<std::uint8_t, 32>& bytes) {
  Lcg128Xsl64 g{read_u128_le(bytes.data()), read_u128_le(bytes.data() + 16) | 1};
  g.state += g.increment;
  g.state = g.state * MULTIPLIER + g.increment;
  return g;
}

namespace detail {

NormalRest normal_rest(Lcg128Xsl64 g, std::uint64_t layer, double u, double x) {
  for (;;) {
    if (layer == 0) {
      // The tail beyond R. It ends this value: no return to the ziggurat.
      double xt, y;
      do {
        double a = open01(g);
        double b = open01(g);
        xt = std::log(a) / ZIG_NORM_R;
        y = std::log(b);
      } while (xt * xt > y * -2.0);
      return {g, u < 0.0 ? xt - ZIG_NORM_R : ZIG_NORM_R - xt};
    }
    double U = wedge_uniform(g.next_u64());
    double t = U * (ZIG_NORM_F[layer] - ZIG_NORM_F[layer + 1]) + ZIG_NORM_F[layer + 1];
    if (std::exp((x * x) * -0.5) > t) return {g, x};

    std::uint64_t w = g.next_u64();
    layer = w & 0xFF;
    u = symmetric_uniform(w);
    x = ZIG_NORM_X[layer] * u;
    if (std::fabs(x) < ZIG_NORM_X[layer + 1]) return {g, x};
  }
}

}  // namespace detail

Buffer<Lcg128Xsl64> make_streams(std::uint64_t seed, std::uint64_t padded_rows) {
  std::uint64_t count = padded_rows / ROWS_PER_BLOCK + (padded_rows % ROWS_PER_BLOCK != 0);
  Lcg128Xsl64 master = Lcg128Xsl64::seed_from_u64(seed);
  auto streams = Buffer<Lcg128Xsl64>::with_capacity(count);
  for (std::uint64_t b = 0; b < count; ++b) {
    std::array<std::uint8_t, 32> bytes;
    for (int k = 0; k < 4; ++k) write_u64_le(bytes.data() + 8 * k, master.next_u64());
    streams.push_back(Lcg128Xsl64::from_seed(bytes));
  }
  return streams;
}

void fill_row_block(std::uint64_t b, std::span<Cell> block, std::span<const Lcg128Xsl64> streams,
                    std::uint64_t P, std::uint64_t C, std::span<const double> amplitudes,
                    std::uint64_t quad_cols) {
  if (b >= streams.size())
    panic("stream " + std::to_string(b) + " out of range for " + std::to_string(streams.size()) +
          " streams");
  std::uint64_t first = b * ROWS_PER_BLOCK;
  if (first >= P)
    panic("row block " + std::to_string(b) + " starts past " + std::to_string(P) + " rows");
  // The largest column read is min(j, C - j) = C/2, so one test covers every element of a row.
  if (C / 2 >= quad_cols)
    panic("amplitude column " + std::to_string(C / 2) + " out of range for " +
          std::to_string(quad_cols) + " columns");
  std::uint64_t rows = std::min<std::uint64_t>(P - first, ROWS_PER_BLOCK);
  if (C > std::numeric_limits<std::size_t>::max() / rows) panic("capacity overflow");
  std::uint64_t quad_rows = amplitudes.size() / quad_cols;

  assert_equal(block.size(), rows * C, "cells of a row block");
  Cell* out = block.data();
  Lcg128Xsl64 g = streams[b];
  for (std::uint64_t r = first; r < first + rows; ++r) {
    std::uint64_t w = std::min(r, P - r);
    if (w >= quad_rows)
      panic("amplitude row " + std::to_string(w) + " out of range for " +
            std::to_string(quad_rows) + " rows");
    const double* row = amplitudes.data() + w * quad_cols;
    for (std::uint64_t j = 0; j < C; ++j) {
      double a = row[std::min(j, C - j)];
      double z1 = standard_normal(g);
      double z2 = standard_normal(g);
      *out++ = Cell(z1 * a, z2 * a);
    }
  }
}

}  // namespace kernels::field
