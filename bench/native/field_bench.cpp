// Times field::draw at the benchmark sizes; prints milliseconds per draw (best of a few).
#include <chrono>
#include <cstdio>
#include <vector>

#include "field.hpp"
#include "pool.hpp"

int main() {
  struct Size {
    std::uint64_t P, C, R, K;
  } sizes[] = {{512, 1024, 256, 512}, {2048, 2048, 1000, 1000}, {4096, 4096, 2000, 2000}};
  std::printf("threads %zu\n", kernels::pool::thread_count());
  for (const Size& s : sizes) {
    std::vector<double> q((s.P / 2 + 1) * (s.C / 2 + 1), 0.5);
    double best = 1e300;
    for (int rep = 0; rep < 5; ++rep) {
      auto start = std::chrono::steady_clock::now();
      auto fields = kernels::field::draw(q, s.P / 2 + 1, s.C / 2 + 1, s.P, s.C, s.R, s.K, 7);
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (!fields) return 1;
      best = std::min(best, ms);
    }
    std::printf("P=%llu C=%llu R=%llu K=%llu  %.1f ms\n", (unsigned long long)s.P,
                (unsigned long long)s.C, (unsigned long long)s.R, (unsigned long long)s.K, best);
  }
}
