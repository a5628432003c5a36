// Throughput of the standard-normal sampler on one core: a plain loop over one stream, and the
// row-block fill (two values a cell, unit amplitudes).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "random.hpp"

using namespace kernels::field;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  constexpr std::size_t chunk = 1 << 20;
  constexpr int rounds = 200;  // about 200 million values per measurement
  double checksum = 0;

  {
    auto values = kernels::Buffer<double>::with_capacity(chunk);
    Lcg128Xsl64 g = make_streams(1, 1)[0];
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
      double* out = values.data();
      for (std::size_t k = 0; k < chunk; ++k) out[k] = standard_normal(g);
      checksum += out[round];
    }
    double s = seconds_since(start);
    double n = static_cast<double>(chunk) * rounds;
    std::printf("standard_normal: %.0f million/s, %.2f ns each\n", n / s / 1e6, s / n * 1e9);
  }

  {
    // Row blocks of 32 rows by 16384 columns: 2^20 values a block.
    constexpr std::uint64_t C = 16384, P = 32 * rounds / 2;
    std::vector<double> quadrant((P / 2 + 1) * (C / 2 + 1), 1.0);
    auto streams = make_streams(1, P);
    auto start = std::chrono::steady_clock::now();
    for (std::uint64_t b = 0; b < streams.size(); ++b) {
      std::vector<Cell> block(32 * C);
      fill_row_block(b, block, streams.span(), P, C, quadrant, C / 2 + 1);
      checksum += block[b].real();
    }
    double s = seconds_since(start);
    double n = 2.0 * static_cast<double>(P) * C;
    std::printf("fill_row_block:  %.0f million/s, %.2f ns each\n", n / s / 1e6, s / n * 1e9);
  }
  std::printf("(checksum %g)\n", checksum);
}
