// Speed and memory of the eikonal solver. Prints, per medium, the wall time of whole solves on a
// 1000 x 2000 grid with one seed near the centre (best, median and worst of 7) and what the
// per-seed solve did; then the peak of the bytes a 1500 x 1500 solve holds on the heap, for a seed
// in a corner and one near the centre.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "eikonal.hpp"

// Every heap block of the process goes through these, so the peak of the bytes held is exact.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

std::atomic<std::size_t> held{0}, peak_held{0};

void count_in(void* p) {
  if (p == nullptr) return;
  const std::size_t now = held += malloc_usable_size(p);
  std::size_t peak = peak_held.load();
  while (now > peak && !peak_held.compare_exchange_weak(peak, now)) {
  }
}

void count_out(void* p) {
  if (p != nullptr) held -= malloc_usable_size(p);
}

}  // namespace

extern "C" {
void* malloc(std::size_t n) {
  void* p = __libc_malloc(n);
  count_in(p);
  return p;
}
void* calloc(std::size_t n, std::size_t size) {
  void* p = __libc_calloc(n, size);
  count_in(p);
  return p;
}
void* realloc(void* old, std::size_t n) {
  count_out(old);
  void* p = __libc_realloc(old, n);
  count_in(p == nullptr && n != 0 ? old : p);
  return p;
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
  void* p = __libc_memalign(alignment, n);
  count_in(p);
  return p;
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
  void* p = __libc_memalign(alignment, n);
  if (p == nullptr) return 12;  // ENOMEM
  count_in(p);
  *out = p;
  return 0;
}
void free(void* p) {
  count_out(p);
  __libc_free(p);
}
}

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

void peak_memory(const char* where, std::uint64_t rows, std::uint64_t cols, const Seed& seed) {
  std::vector<double> slowness(rows * cols);
  for (std::uint64_t i = 0; i < rows; ++i)
    for (std::uint64_t j = 0; j < cols; ++j)
      slowness[i * cols + j] = 1.0 / (2.0 + 2.0 * double(i) / double(rows - 1));
  const std::size_t before = held.load();
  peak_held.store(before);
  auto t = kernels::eikonal::solve(slowness, rows, cols, std::span<const Seed>(&seed, 1), 0.1, 0.1);
  if (!t) return;
  const double bytes = double(peak_held.load() - before);
  std::printf("peak heap, %llux%llu, %-13s %7.1f MiB  %5.1f B/cell (result included)\n",
              (unsigned long long)rows, (unsigned long long)cols, where, bytes / 1048576.0,
              bytes / double(rows * cols));
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

  const std::uint64_t side = 1500;
  peak_memory("corner seed", side, side, Seed{0, 0, 0.0});
  peak_memory("centre seed", side, side, Seed{side / 2, side / 2, 0.0});
}
