// Speed of the eikonal solver on a 1000 x 2000 grid with one seed near the centre.
// Prints, per medium, the wall time of a whole solve and what the per-seed solve did.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "eikonal.hpp"

namespace {

using kernels::eikonal::Seed;
using kernels::eikonal::SeedStats;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void run(const char* name, const std::vector<double>& slowness, std::uint64_t rows,
         std::uint64_t cols, double d) {
  const Seed seed{rows / 2 - 3, cols / 2 + 7, 0.0};
  const double smin = *std::min_element(slowness.begin(), slowness.end());
  double best = 1e300;
  for (int repeat = 0; repeat < 5; ++repeat) {
    auto start = std::chrono::steady_clock::now();
    auto t = kernels::eikonal::solve(slowness, rows, cols, std::span<const Seed>(&seed, 1), d, d);
    best = std::min(best, seconds_since(start));
    if (!t) {
      std::printf("%s: %s\n", name, t.error().message().c_str());
      return;
    }
  }
  SeedStats stats;
  auto start = std::chrono::steady_clock::now();
  auto t = kernels::eikonal::single_seed(slowness, rows, cols, seed.i, seed.j, d, d, smin, &stats);
  const double per_seed = seconds_since(start);
  const double offered = double(stats.updates + stats.skipped);
  std::printf("%-16s %4llux%-5llu solve %.3f s  rounds %llu  updates %.1fM of %.1fM offered "
              "(%.1f%% skipped)  %.1fM cell updates/s  %.1fM offered/s\n",
              name, (unsigned long long)rows, (unsigned long long)cols, best,
              (unsigned long long)stats.rounds, stats.updates / 1e6, offered / 1e6,
              100.0 * double(stats.skipped) / offered, stats.updates / per_seed / 1e6,
              offered / per_seed / 1e6);
}

}  // namespace

int main() {
  const std::uint64_t rows = 1000, cols = 2000;
  const double d = 0.1;
  std::vector<double> uniform(rows * cols, 1.0 / 3.0);
  run("uniform", uniform, rows, cols, d);

  // Velocity from 2 km/s at the top to 4 km/s at the bottom.
  std::vector<double> gradient(rows * cols);
  for (std::uint64_t i = 0; i < rows; ++i)
    for (std::uint64_t j = 0; j < cols; ++j)
      gradient[i * cols + j] = 1.0 / (2.0 + 2.0 * double(i) / double(rows - 1));
  run("linear-gradient", gradient, rows, cols, d);
}
