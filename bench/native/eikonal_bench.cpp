// Memory and speed of the eikonal solver. Prints how far a 1500 x 1500 solve raises the peak
// resident size, for a seed in a corner and one near the centre; then, per medium, the wall time
// of whole solves on a 1000 x 2000 grid with one seed near the centre (best, median and worst of 7)
// and what the per-seed solve did.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
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
  std::vector<double> times;
  for (int repeat = 0; repeat < 7; ++repeat) {
    auto start = std::chrono::steady_clock::now();
    auto t = kernels::eikonal::solve(slowness, rows, cols, std::span<const Seed>(&seed, 1), d, d);
    times.push_back(seconds_since(start));
    if (!t) {
      std::printf("%s: %s\n", name, t.error().message().c_str());
      return;
    }
  }
  std::sort(times.begin(), times.end());
  SeedStats stats;
  auto start = std::chrono::steady_clock::now();
  auto t = kernels::eikonal::single_seed(slowness, rows, cols, seed.i, seed.j, d, d, smin, &stats);
  const double per_seed = seconds_since(start);
  const double offered = double(stats.updates + stats.skipped);
  std::printf("%-16s %4llux%-5llu solve %.3f / %.3f / %.3f s (best / median / worst of 7)  "
              "rounds %llu  updates %.1fM of %.1fM offered (%.1f%% skipped)  "
              "%.1fM cell updates/s\n",
              name, (unsigned long long)rows, (unsigned long long)cols, times.front(), times[3],
              times.back(), (unsigned long long)stats.rounds, stats.updates / 1e6,
              offered / 1e6, 100.0 * double(stats.skipped) / offered,
              stats.updates / per_seed / 1e6);
}

// The process's peak resident size (VmHWM), in bytes.
std::size_t high_water() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// The solve runs in a child forked for it, before this process has solved anything: the peak then
// counts every page the solve takes, heap blocks and mappings alike. (Memory an earlier solve had
// left with the allocator would be reused unseen: the child shares those pages already.)
void peak_memory(const char* where, std::uint64_t rows, std::uint64_t cols, const Seed& seed) {
  std::fflush(stdout);
  pid_t child = fork();
  if (child != 0) {
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || status != 0) {
      std::printf("peak memory, %s: the measuring process failed\n", where);
    }
    return;
  }
  std::vector<double> slowness(rows * cols);
  for (std::uint64_t i = 0; i < rows; ++i)
    for (std::uint64_t j = 0; j < cols; ++j)
      slowness[i * cols + j] = 1.0 / (2.0 + 2.0 * double(i) / double(rows - 1));
  // "5" starts the peak afresh at what is resident now.
  std::ofstream("/proc/self/clear_refs") << "5";
  const std::size_t before = high_water();
  auto t = kernels::eikonal::solve(slowness, rows, cols, std::span<const Seed>(&seed, 1), 0.1, 0.1);
  if (!t) _exit(1);
  const double bytes = double(high_water() - before);
  std::printf("peak resident growth, %llux%llu, %-13s %7.1f MiB  %5.1f B/cell (result included)\n",
              (unsigned long long)rows, (unsigned long long)cols, where, bytes / 1048576.0,
              bytes / double(rows * cols));
  std::fflush(stdout);
  _exit(0);
}

}  // namespace

// "eikonal_bench memory" prints the memory figures alone.
int main(int argc, char** argv) {
  const std::uint64_t side = 1500;
  peak_memory("corner seed", side, side, Seed{0, 0, 0.0});
  peak_memory("centre seed", side, side, Seed{side / 2, side / 2, 0.0});
  if (argc > 1 && std::string(argv[1]) == "memory") return 0;

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
