// Random streams and the standard-normal sampler of the field draw.
//
// The noise must be reproducible to the bit from the seed alone, so every step here is fixed: the
// generator, how streams are seeded, which bits of an output feed which uniform, and every double
// operation of the sampler (one rounded operation each, never fused; exp and log from libm).
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <span>

#include "buffer.hpp"
#include "zig_tables.hpp"

namespace kernels::field {

// PCG with 128-bit state and increment and the 64-bit XSL-RR output. Copying it copies everything
// it will still produce.
struct alignas(16) Lcg128Xsl64 {
  unsigned __int128 state;
  unsigned __int128 increment;  // always odd

  static constexpr unsigned __int128 MULTIPLIER =
      (static_cast<unsigned __int128>(0x2360ED051FC65DA4) << 64) | 0x4385DF649FCCF645;

  // The 32 seed bytes from eight steps of the 32-bit PCG, then from_seed.
  static Lcg128Xsl64 seed_from_u64(std::uint64_t seed);
  // State from bytes 0-15, increment from bytes 16-31 (both little-endian; bit 0 of the increment
  // forced on), then one seeding step.
  static Lcg128Xsl64 from_seed(const std::array<std::uint8_t, 32>& bytes);

  std::uint64_t next_u64() {
    state = state * MULTIPLIER + increment;
    auto hi = static_cast<std::uint64_t>(state >> 64);
    auto lo = static_cast<std::uint64_t>(state);
    return std::rotr(hi ^ lo, static_cast<int>(hi >> 58));
  }

  friend bool operator==(const Lcg128Xsl64&, const Lcg128Xsl64&) = default;
};
static_assert(sizeof(Lcg128Xsl64) == 32 && alignof(Lcg128Xsl64) == 16);

// The tail starts at the edge of layer 1.
inline constexpr double ZIG_NORM_R = 0x1.d3bb48209ad33p+1;
static_assert(ZIG_NORM_R == ZIG_NORM_X[1]);

namespace detail {

// The uniforms are built from the top 52 or 53 bits of one output, exactly, without rounding.

// m·2^-51 - 1 in [-1, 1): the double 2 + m·2^-51 made from its bits, minus 3.
inline double symmetric_uniform(std::uint64_t w) {
  return std::bit_cast<double>(0x4000000000000000 | (w >> 12)) - 3.0;
}

// (2m + 1)·2^-53 in (0, 1): the double 1 + m·2^-52 made from its bits, minus 1 - 2^-53.
inline double open_uniform(std::uint64_t w) {
  return std::bit_cast<double>(0x3FF0000000000000 | (w >> 12)) - 0x1.fffffffffffffp-1;
}

// (w >> 11)·2^-53 in [0, 1).
inline double wedge_uniform(std::uint64_t w) {
  return static_cast<double>(w >> 11) * 0x1p-53;
}

// Everything past the first rectangle test: the tail for layer 0, otherwise the wedge test and,
// on rejection, fresh attempts. Out of line so the common path stays small, and the generator goes
// in and out by value: were its address taken, the caller's copy would live in memory for the
// whole loop instead of in registers.
struct NormalRest {
  Lcg128Xsl64 g;
  double value;
};
NormalRest normal_rest(Lcg128Xsl64 g, std::uint64_t layer, double u, double x);

}  // namespace detail

inline double open01(Lcg128Xsl64& g) { return detail::open_uniform(g.next_u64()); }

// 256-layer ziggurat. About 98.5 % of values cost one output, two table reads, one multiply and
// one compare.
inline double standard_normal(Lcg128Xsl64& g) {
  std::uint64_t w = g.next_u64();
  std::uint64_t layer = w & 0xFF;
  double u = detail::symmetric_uniform(w);
  double x = ZIG_NORM_X[layer] * u;
  if (std::fabs(x) < ZIG_NORM_X[layer + 1]) [[likely]] return x;
  detail::NormalRest rest = detail::normal_rest(g, layer, u, x);
  g = rest.g;
  return rest.value;
}

// One stream per row block of 32 padded rows; stream b depends only on the seed and b.
inline constexpr std::uint64_t ROWS_PER_BLOCK = 32;

// The ceil(padded_rows / 32) streams, seeded from successive outputs of a master seeded from
// `seed`; the block holds exactly that many.
Buffer<Lcg128Xsl64> make_streams(std::uint64_t seed, std::uint64_t padded_rows);

// A noise cell: real part, then imaginary part (the FFT's element layout).
using Cell = std::complex<double>;

// Writes into `block` the noise of row block b: n(b) = min(P - 32b, 32) rows of C cells,
// row-major, drawn from a copy of streams[b] (rows, then columns, real before imaginary). Cell
// (r, j) is scaled by quadrant element (min(r, P - r), min(j, C - j)) of `amplitudes`, which
// is row-major with `quad_cols` columns. Every cell takes its two draws, whatever its amplitude.
// The block holds exactly n(b) * C cells.
void fill_row_block(std::uint64_t b, std::span<Cell> block, std::span<const Lcg128Xsl64> streams,
                    std::uint64_t P, std::uint64_t C, std::span<const double> amplitudes,
                    std::uint64_t quad_cols);

}  // namespace kernels::field
