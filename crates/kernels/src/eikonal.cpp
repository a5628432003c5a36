// Eikonal solver: first-arrival times |grad T| = s by multiplicatively factored fast sweeping.
//
// Fast sweeping: H. Zhao, "A fast sweeping method for Eikonal equations", Math. Comp. 74 (2005).
// The factored form, T = T0 * tau with T0 the exact time of a uniform medium, which removes the
// source singularity: S. Fomel, S. Luo and H. Zhao, "Fast sweeping method for the factored
// eikonal equation", J. Comput. Phys. 228 (2009). Cells none of whose neighbours changed are
// skipped, the locking of S. Bak, J. McLaughlin and D. Renzi, "Some improvements for the fast
// sweeping method", SIAM J. Sci. Comput. 32 (2010).
//
// Results are fixed to the bit, so every formula keeps the grouping written here; the build
// forbids contraction into fused multiply-adds.
#include "eikonal.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "failure.hpp"
#include "number_text.hpp"

namespace kernels::eikonal {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr int round_limit = 64;
constexpr double tolerance_factor = 1e-6;

bool positive_finite(double v) { return v > 0.0 && v != inf; }

// A product of two 64-bit counts may not fit in 64 bits; only a direct caller can ask for one.
std::string wide_text(unsigned __int128 v) {
  char digits[40];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  std::string text;
  while (n > 0) text.push_back(digits[--n]);
  return text;
}

std::string grid_text(std::uint64_t rows, std::uint64_t cols) {
  return std::to_string(rows) + "x" + std::to_string(cols);
}

}  // namespace

Error Error::empty_grid(std::uint64_t rows, std::uint64_t cols) {
  Error e(Kind::EmptyGrid);
  e.rows_ = rows;
  e.cols_ = cols;
  return e;
}

Error Error::size_mismatch(std::uint64_t rows, std::uint64_t cols, std::uint64_t len) {
  Error e(Kind::SizeMismatch);
  e.rows_ = rows;
  e.cols_ = cols;
  e.len_ = len;
  return e;
}

Error Error::bad_spacing(double value, const char* axis) {
  Error e(Kind::BadSpacing);
  e.value_ = value;
  e.axis_ = axis;
  return e;
}

Error Error::bad_slowness(std::uint64_t i, std::uint64_t j, double value) {
  Error e(Kind::BadSlowness);
  e.i_ = i;
  e.j_ = j;
  e.value_ = value;
  return e;
}

Error Error::no_seeds() { return Error(Kind::NoSeeds); }

Error Error::seed_outside(std::uint64_t index, std::uint64_t i, std::uint64_t j,
                          std::uint64_t rows, std::uint64_t cols) {
  Error e(Kind::SeedOutside);
  e.index_ = index;
  e.i_ = i;
  e.j_ = j;
  e.rows_ = rows;
  e.cols_ = cols;
  return e;
}

Error Error::seed_time(std::uint64_t index, double t0) {
  Error e(Kind::SeedTime);
  e.index_ = index;
  e.value_ = t0;
  return e;
}

Error Error::not_settled(std::uint64_t rounds, double contrast) {
  Error e(Kind::NotSettled);
  e.rounds_ = rounds;
  e.value_ = contrast;
  return e;
}

std::string Error::message() const {
  using std::to_string;
  switch (kind_) {
    case Kind::EmptyGrid:
      return "a " + grid_text(rows_, cols_) + " grid has no cells to solve on";
    case Kind::SizeMismatch:
      return "the slowness field has " + to_string(len_) + " values, but a " +
             grid_text(rows_, cols_) + " grid needs " +
             wide_text(static_cast<unsigned __int128>(rows_) * cols_);
    case Kind::BadSpacing:
      return std::string("the ") + axis_ + " spacing is " + number_text(value_) +
             " km; spacing must be positive and finite";
    case Kind::BadSlowness:
      return "slowness at (" + to_string(i_) + ", " + to_string(j_) + ") is " +
             number_text(value_) +
             " s/km; every cell must be positive and finite, or the cells behind it are "
             "unreachable";
    case Kind::NoSeeds:
      return "no seeds: a wavefront needs somewhere to start";
    case Kind::SeedOutside:
      return "seed " + to_string(index_) + " at (" + to_string(i_) + ", " + to_string(j_) +
             ") is outside a " + grid_text(rows_, cols_) + " grid";
    case Kind::SeedTime:
      return "seed " + to_string(index_) + " starts at t = " + number_text(value_) +
             ", which is not a time";
    case Kind::NotSettled:
      return "the sweep did not settle in " + to_string(rounds_) +
             " rounds over a medium whose slowness spans " + fixed_text(value_, 1) +
             "x. Rounds needed grow with that contrast -- measured 9, 12, 13 and 14 at 3.3x, "
             "6.8x, 12.9x and 26x -- so the first thing to check is the rupture velocity band: "
             "narrowing rupture_velocity_max_fraction or raising "
             "rupture_velocity_min_fraction lowers the contrast directly";
  }
  return {};
}

namespace {

std::expected<void, Error> validate(std::span<const double> slowness, std::uint64_t rows,
                                    std::uint64_t cols, std::span<const Seed> seeds, double d_i,
                                    double d_j) {
  if (rows == 0 || cols == 0) return std::unexpected(Error::empty_grid(rows, cols));
  std::uint64_t n = 0;
  if (__builtin_mul_overflow(rows, cols, &n) || n != slowness.size())
    return std::unexpected(Error::size_mismatch(rows, cols, slowness.size()));
  if (!positive_finite(d_i)) return std::unexpected(Error::bad_spacing(d_i, "down-dip"));
  if (!positive_finite(d_j)) return std::unexpected(Error::bad_spacing(d_j, "along-strike"));
  for (std::uint64_t k = 0; k < n; ++k) {
    if (!positive_finite(slowness[k]))
      return std::unexpected(Error::bad_slowness(k / cols, k % cols, slowness[k]));
  }
  if (seeds.empty()) return std::unexpected(Error::no_seeds());
  for (std::uint64_t index = 0; index < seeds.size(); ++index) {
    const Seed& seed = seeds[index];
    if (seed.i >= rows || seed.j >= cols)
      return std::unexpected(Error::seed_outside(index, seed.i, seed.j, rows, cols));
    if (!std::isfinite(seed.t0)) return std::unexpected(Error::seed_time(index, seed.t0));
  }
  return {};
}

// What the factor T0 = r * s0 contributes to a cell's update: T0 itself, its gradient, and T0 over
// each spacing. Worked out at every update from a row's and a column's terms rather than kept per
// cell: a table of them would be as large as the grid for a seed in a corner.
struct Factor {
  double t0c, gx, gy, qi, qj;
};

// A row's (or column's) offset from the seed: dx * s0 and dx * dx, dx signed. Negating dx negates
// dx * s0 and the gradient to the bit, and leaves dx * dx unchanged, so no quadrant needs a case.
struct AxisTerms {
  double scaled, squared;
};

// Two doubles divided lane by lane, each quotient rounded on its own as a scalar one would be:
// one division instead of two.
using Vec2 = double __attribute__((vector_size(16)));

enum Side { W, E, N, S, none };

// A candidate pair's time, or +inf when the pair is dropped or its root is not retained.
// "none" enters as A = B = 0 with no time of its own to respect.
inline double pair_time(double aa, double ba, double ta, double ab, double bb, double tb,
                        double t0c, double ss) {
  const double qa = (ab * ab) + (aa * aa);
  const double qb = ((ab * bb) + (aa * ba)) * (-2.0);
  const double qc = ((bb * bb) + (ba * ba)) - ss;
  const double disc = ((qa * (-4.0)) * qc) + (qb * qb);
  if (disc < 0.0) return inf;
  const double cand = ((std::sqrt(disc) - qb) * t0c) / (qa + qa);
  return cand > 0.0 && cand >= ta && cand >= tb ? cand : inf;
}

class SeedSweep {
 public:
  SeedSweep(std::span<const double> slowness, std::uint64_t rows, std::uint64_t cols,
            std::uint64_t i0, std::uint64_t j0, double d_i, double d_j, double tol)
      : slowness_(slowness.data()),
        rows_(rows),
        cols_(cols),
        seed_(i0 * cols + j0),
        d_i_(d_i),
        d_j_(d_j),
        s0_(slowness[seed_]),
        tol_(tol),
        row_terms_(axis_terms(rows, i0, d_i, s0_)),
        col_terms_(axis_terms(cols, j0, d_j, s0_)),
        t_(Buffer<double>::filled(slowness.size(), inf)),
        // Read only for cells already written, which set it, and for the seed.
        tau_(Buffer<double>::zeroed(slowness.size())),
        // Padded by a row and a cell on each side so that marking neighbours needs no tests.
        dirty_(Buffer<std::uint8_t>::zeroed(slowness.size() + 2 * (cols + 1))) {
    t_[seed_] = 0.0;
    tau_[seed_] = 1.0;
    // Only the seed's neighbours start with a finite neighbour; every other cell would find
    // none and write nothing, exactly as if it had just been updated.
    mark_neighbours(seed_);
  }

  // One round of the four sweeps; true when it changed a cell by more than the tolerance.
  bool round() {
    changed_ = false;
    for (std::uint64_t r = 0; r < rows_; ++r) row<true>(r);
    for (std::uint64_t r = 0; r < rows_; ++r) row<false>(r);
    for (std::uint64_t r = rows_; r-- > 0;) row<true>(r);
    for (std::uint64_t r = rows_; r-- > 0;) row<false>(r);
    return changed_;
  }

  Buffer<double> take_times() { return std::move(t_); }
  std::uint64_t updates() const { return updates_; }
  std::uint64_t skipped() const { return skipped_; }

 private:
  static Buffer<AxisTerms> axis_terms(std::uint64_t n, std::uint64_t at, double d, double s0) {
    Buffer<AxisTerms> terms = Buffer<AxisTerms>::with_capacity(n);
    for (std::uint64_t k = 0; k < n; ++k) {
      const double dx = (static_cast<double>(k) - static_cast<double>(at)) * d;
      terms.push_back(AxisTerms{dx * s0, dx * dx});
    }
    return terms;
  }

  // T0 = r * s0 with r = sqrt(dy^2 + dx^2), its gradient (dx, dy) * s0 / r and T0 over each
  // spacing; all zero where r2 = 0.
  Factor factor_at(const AxisTerms& x, const AxisTerms& y) const {
    const double r2 = y.squared + x.squared;
    if (r2 == 0.0) return Factor{0.0, 0.0, 0.0, 0.0, 0.0};
    const double r = std::sqrt(r2);
    const double t0c = r * s0_;
    const Vec2 g = Vec2{x.scaled, y.scaled} / Vec2{r, r};
    const Vec2 q = Vec2{t0c, t0c} / Vec2{d_i_, d_j_};
    return Factor{t0c, g[0], g[1], q[0], q[1]};
  }

  template <bool ascending>
  void row(std::uint64_t i) {
    const std::size_t base = i * cols_;
    const AxisTerms x = row_terms_[i];
    for (std::uint64_t step = 0; step < cols_; ++step) {
      const std::uint64_t j = ascending ? step : cols_ - 1 - step;
      const std::size_t c = base + j;
      // The update is a pure function of the neighbours' times: unchanged neighbours, same
      // outcome, no write (the "locking" of Bak, McLaughlin and Renzi).
      std::uint8_t& mark = dirty_[c + cols_ + 1];
      if (mark == 0) {
        ++skipped_;
        continue;
      }
      mark = 0;
      if (c == seed_) continue;
      ++updates_;
      update(i, j, c, x);
    }
  }

  // The written update, reorganised without changing its outcome: a candidate can only be written
  // when it is below the cell's current time Tc, and a retained candidate is never below the
  // times of its pair, so pairs holding a neighbour at or above Tc are needed only to decide
  // whether the fallback applies.
  void update(std::uint64_t i, std::uint64_t j, std::size_t c, const AxisTerms& x) {
    const double* t = t_.data();
    const double tc = t[c];
    const std::size_t at[4] = {c - 1, c + 1, c - cols_, c + cols_};
    const bool exists[4] = {j > 0, j + 1 < cols_, i > 0, i + 1 < rows_};
    double tn[5];
    bool present[5], useful[5];
    bool any = false;
    for (int k = 0; k < 4; ++k) {
      tn[k] = exists[k] ? t[at[k]] : inf;
      present[k] = tn[k] != inf;
      useful[k] = tn[k] < tc;
      any |= useful[k];
    }
    if (!any) return;
    tn[none] = -inf;
    present[none] = useful[none] = true;

    const Factor f = factor_at(x, col_terms_[j]);
    const double t0c = f.t0c;
    // (-T0c) / h is -(T0c / h) to the bit: rounding to nearest is symmetric in sign.
    const double a_of[4] = {f.gy + f.qj, f.gy + (-f.qj), f.gx + f.qi, f.gx + (-f.qi)};
    const double s = slowness_[c];
    const double ss = s * s;
    const double signed_t0c[4] = {t0c, -t0c, t0c, -t0c};
    const double h[4] = {d_j_, d_j_, d_i_, d_i_};
    double a[5], b[5];
    a[none] = b[none] = 0.0;
    auto terms_of = [&](int k) {
      a[k] = a_of[k];
      b[k] = (tau_[at[k]] * signed_t0c[k]) / h[k];
    };
    for (int k = 0; k < 4; ++k)
      if (useful[k]) terms_of(k);

    constexpr int outer[3] = {W, E, none}, inner[3] = {N, S, none};
    auto offered = [&](int pa, int pb) {
      return present[pa] && present[pb] && !(pa == none && pb == none) &&
             !(a[pa] == 0.0 && a[pb] == 0.0);
    };
    double best = inf;
    for (int pa : outer)
      for (int pb : inner)
        if (useful[pa] && useful[pb] && offered(pa, pb))
          best = std::min(best, pair_time(a[pa], b[pa], tn[pa], a[pb], b[pb], tn[pb], t0c, ss));

    if (best == inf) {
      // A finite candidate from the pairs set aside would be at least Tc, and it would rule
      // out the fallback.
      for (int k = 0; k < 4; ++k)
        if (present[k] && !useful[k]) terms_of(k);
      for (int pa : outer)
        for (int pb : inner)
          if (!(useful[pa] && useful[pb]) && offered(pa, pb) &&
              pair_time(a[pa], b[pa], tn[pa], a[pb], b[pb], tn[pb], t0c, ss) != inf)
            return;
      // Fallback steps from neighbours at or above Tc cannot reach below it.
      for (int k = 0; k < 4; ++k)
        if (useful[k]) best = std::min(best, (h[k] * s) + tn[k]);
    }

    if (tc > best) {
      if (tc - tol_ > best) changed_ = true;
      t_[c] = best;
      tau_[c] = t0c > 0.0 ? best / t0c : 1.0;
      mark_neighbours(c);
    }
  }

  // Cells across a row end are marked too, which costs them at most one needless update.
  void mark_neighbours(std::size_t c) {
    std::uint8_t* mark = dirty_.data() + c + cols_ + 1;
    mark[-1] = mark[1] = 1;
    mark[-static_cast<std::ptrdiff_t>(cols_)] = mark[cols_] = 1;
  }

  const double* slowness_;
  std::uint64_t rows_, cols_;
  std::size_t seed_;
  double d_i_, d_j_, s0_, tol_;
  Buffer<AxisTerms> row_terms_, col_terms_;
  Buffer<double> t_;
  Buffer<double> tau_;  // T / T0 of each cell, kept with every write
  Buffer<std::uint8_t> dirty_;  // a neighbour was written since the cell's last update
  bool changed_ = false;
  std::uint64_t updates_ = 0, skipped_ = 0;
};

}  // namespace

std::expected<Buffer<double>, Error> single_seed(std::span<const double> slowness,
                                                 std::uint64_t rows, std::uint64_t cols,
                                                 std::uint64_t i0, std::uint64_t j0, double d_i,
                                                 double d_j, double smin, SeedStats* stats) {
  const double tol = (std::min(d_i, d_j) * smin) * tolerance_factor;
  SeedSweep sweep(slowness, rows, cols, i0, j0, d_i, d_j, tol);
  std::uint64_t round = 0;
  bool changed = true;
  while (changed) {
    if (round == round_limit) {
      const double smax = *std::max_element(slowness.begin(), slowness.end());
      return std::unexpected(Error::not_settled(round_limit, smax / smin));
    }
    ++round;
    changed = sweep.round();
  }
  if (stats != nullptr) *stats = SeedStats{round, sweep.updates(), sweep.skipped()};

  Buffer<double> t = sweep.take_times();
  for (std::size_t k = 0; k < t.size(); ++k) {
    if (!std::isfinite(t[k]))
      panic("(" + std::to_string(k / cols) + ", " + std::to_string(k % cols) +
            ") was never reached");
  }
  return t;
}

std::expected<Buffer<double>, Error> solve(std::span<const double> slowness, std::uint64_t rows,
                                           std::uint64_t cols, std::span<const Seed> seeds,
                                           double d_i, double d_j) {
  if (auto valid = validate(slowness, rows, cols, seeds, d_i, d_j); !valid)
    return std::unexpected(valid.error());
  const double smin = *std::min_element(slowness.begin(), slowness.end());
  // The first seed's times become the result: the earliest of +inf and a sum that is never NaN
  // is the sum itself, so nothing has to start out at +inf.
  Buffer<double> result;
  for (const Seed& seed : seeds) {
    auto times = single_seed(slowness, rows, cols, seed.i, seed.j, d_i, d_j, smin);
    if (!times) return std::unexpected(times.error());
    if (result.empty()) {
      result = std::move(*times);
      for (double& t : result) t += seed.t0;
      continue;
    }
    for (std::size_t k = 0; k < result.size(); ++k)
      result[k] = std::min(result[k], (*times)[k] + seed.t0);
  }
  return result;
}

}  // namespace kernels::eikonal
