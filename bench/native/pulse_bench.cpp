// Times the pulse kernel against a plain native loop of the same arithmetic on as many threads.
// The pool's size comes from RAYON_NUM_THREADS as usual; run once with it set to 1 and once unset.
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "pool.hpp"
#include "pulse.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Inputs {
  std::vector<double> slip, rise, beta;
  double dt;
};

Inputs make_inputs(std::size_t n, double dt) {
  std::mt19937_64 gen(42);
  std::uniform_real_distribution<double> rise(1.0, 3.0), slip(0.5, 2.0);
  Inputs in{{}, {}, std::vector<double>(n, 0.2), dt};
  for (std::size_t k = 0; k < n; ++k) {
    in.slip.push_back(slip(gen));
    in.rise.push_back(rise(gen));
  }
  return in;
}

// The obvious loop: a limb chosen per sample, then an area pass and a scaling pass.
void native_row(double* row, std::size_t len, double slip, double T, double b, double dt) {
  const double pi = 3.141592653589793;
  const std::uint64_t m = len - 1;
  const double tr = b * T, tr2 = tr + tr, tf = T - tr;
  for (std::uint64_t s = 1; s < m; ++s) {
    const double t = static_cast<double>(s) * dt;
    double v = 0.0;
    if (tr > t) {
      const double a = (t * pi) / tr;
      v = (0.7 - std::cos(a) * 0.7) + std::sin(a * 0.5) * 0.6;
    } else if (tr2 > t) {
      const double a = (t * pi) / tr, phi = ((t - tr) * pi) / tf;
      v = (1.0 - std::cos(a) * 0.7) + std::cos(phi) * 0.3;
    } else if (T > t) {
      v = std::cos(((t - tr) * pi) / tf) * 0.3 + 0.3;
    }
    row[s] = v;
  }
  double area = -0.0;
  for (std::size_t s = 0; s < len; ++s) area = area + row[s] * dt;
  const double scale = slip / area;
  for (std::size_t s = 0; s < len; ++s) row[s] = row[s] * scale;
}

double native(const Inputs& in, std::size_t threads) {
  const std::size_t n = in.slip.size();
  auto start = Clock::now();
  std::vector<std::uint64_t> offsets(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    std::uint64_t m = static_cast<std::uint64_t>(std::round(in.rise[k] / in.dt));
    offsets[k + 1] = offsets[k] + std::max<std::uint64_t>(m, 2) + 1;
  }
  double* samples = static_cast<double*>(std::calloc(offsets[n], sizeof(double)));
  auto body = [&](const tbb::blocked_range<std::size_t>& r) {
    for (std::size_t k = r.begin(); k != r.end(); ++k) {
      native_row(samples + offsets[k], offsets[k + 1] - offsets[k], in.slip[k], in.rise[k],
                 in.beta[k], in.dt);
    }
  };
  if (threads == 1) {
    body(tbb::blocked_range<std::size_t>(0, n));
  } else {
    tbb::task_arena arena(static_cast<int>(threads));
    arena.execute([&] { tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 64), body); });
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::free(samples);
  return seconds;
}

template <class F>
double best_of(int reps, F&& f) {
  double best = 1e300;
  for (int r = 0; r < reps; ++r) best = std::min(best, f());
  return best;
}

double kernel(const Inputs& in, bool with_beta, std::size_t* samples) {
  auto start = Clock::now();
  std::optional<std::span<const double>> beta;
  if (with_beta) beta = std::span<const double>(in.beta);
  auto result = kernels::pulse::synthesise_pulses(in.slip, in.rise, beta, in.dt);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!result) std::abort();
  *samples = result->samples.size();
  return seconds;
}

}  // namespace

int main() {
  const std::size_t threads = kernels::pool::thread_count();
  std::printf("pool threads: %zu\n", threads);
  std::printf("%-34s %10s %14s %10s\n", "case", "time (ms)", "samples/s", "vs native");

  Inputs shaped = make_inputs(100000, 0.01);
  std::size_t samples = 0;
  double t_kernel = best_of(7, [&] { return kernel(shaped, true, &samples); });
  double t_native = best_of(7, [&] { return native(shaped, threads); });
  std::printf("%-34s %10.1f %14.3e %10.2f\n", "LAH n=1e5, beta=0.2, dt=0.01", t_kernel * 1e3,
              samples / t_kernel, t_kernel / t_native);
  std::printf("%-34s %10.1f %14.3e %10s\n", "  native loop, same arithmetic", t_native * 1e3,
              samples / t_native, "1.00");
  std::printf("  %zu samples, %.1f ns a sample per thread\n", samples,
              t_kernel * 1e9 * static_cast<double>(threads) / static_cast<double>(samples));

  Inputs impulse = make_inputs(1000000, 0.01);
  double t_impulse = best_of(7, [&] { return kernel(impulse, false, &samples); });
  std::printf("%-34s %10.1f %14.3e\n", "impulse n=1e6", t_impulse * 1e3, samples / t_impulse);
}
