#include "eikonal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "failure.hpp"

namespace kernels::eikonal {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<double> uniform(std::uint64_t rows, std::uint64_t cols, double s) {
  return std::vector<double>(rows * cols, s);
}

std::string solve_error(const std::vector<double>& slowness, std::uint64_t rows,
                        std::uint64_t cols, const std::vector<Seed>& seeds, double d_i,
                        double d_j) {
  auto result = solve(slowness, rows, cols, seeds, d_i, d_j);
  return result ? std::string("<solved>") : result.error().message();
}

std::vector<double> solved(const std::vector<double>& slowness, std::uint64_t rows,
                           std::uint64_t cols, const std::vector<Seed>& seeds, double d_i,
                           double d_j) {
  auto result = solve(slowness, rows, cols, seeds, d_i, d_j);
  if (!result) {
    ADD_FAILURE() << result.error().message();
    return {};
  }
  return std::vector<double>(result->begin(), result->end());
}

TEST(EikonalError, DisplayTexts) {
  const std::string settle_tail =
      "x. Rounds needed grow with that contrast -- measured 9, 12, 13 and 14 at 3.3x, 6.8x, 12.9x "
      "and 26x -- so the first thing to check is the rupture velocity band: narrowing "
      "rupture_velocity_max_fraction or raising rupture_velocity_min_fraction lowers the "
      "contrast directly";
  const std::string settle_head = "the sweep did not settle in 64 rounds over a medium whose "
                                  "slowness spans ";
  const struct {
    Error error;
    Error::Kind kind;
    std::string text;
  } cases[] = {
      {Error::empty_grid(0, 5), Error::Kind::EmptyGrid, "a 0x5 grid has no cells to solve on"},
      {Error::size_mismatch(3, 4, 11), Error::Kind::SizeMismatch,
       "the slowness field has 11 values, but a 3x4 grid needs 12"},
      {Error::size_mismatch(std::uint64_t{1} << 32, std::uint64_t{1} << 32, 7),
       Error::Kind::SizeMismatch,
       "the slowness field has 7 values, but a 4294967296x4294967296 grid needs "
       "18446744073709551616"},
      {Error::bad_spacing(-0.0, "down-dip"), Error::Kind::BadSpacing,
       "the down-dip spacing is -0 km; spacing must be positive and finite"},
      {Error::bad_spacing(inf, "along-strike"), Error::Kind::BadSpacing,
       "the along-strike spacing is inf km; spacing must be positive and finite"},
      {Error::bad_slowness(0, 2, -1e21), Error::Kind::BadSlowness,
       "slowness at (0, 2) is -1000000000000000000000 s/km; every cell must be positive and "
       "finite, or the cells behind it are unreachable"},
      {Error::bad_slowness(7, 1, -0.25), Error::Kind::BadSlowness,
       "slowness at (7, 1) is -0.25 s/km; every cell must be positive and finite, or the cells "
       "behind it are unreachable"},
      {Error::bad_slowness(1, 0, std::copysign(nan, -1.0)), Error::Kind::BadSlowness,
       "slowness at (1, 0) is NaN s/km; every cell must be positive and finite, or the cells "
       "behind it are unreachable"},
      {Error::no_seeds(), Error::Kind::NoSeeds, "no seeds: a wavefront needs somewhere to start"},
      {Error::seed_outside(1, 2, 3, 3, 3), Error::Kind::SeedOutside,
       "seed 1 at (2, 3) is outside a 3x3 grid"},
      {Error::seed_time(0, -inf), Error::Kind::SeedTime,
       "seed 0 starts at t = -inf, which is not a time"},
      {Error::not_settled(64, 26.0), Error::Kind::NotSettled, settle_head + "26.0" + settle_tail},
      {Error::not_settled(64, 12.94), Error::Kind::NotSettled, settle_head + "12.9" + settle_tail},
      {Error::not_settled(64, 2.25), Error::Kind::NotSettled, settle_head + "2.2" + settle_tail},
      {Error::not_settled(64, 2.75), Error::Kind::NotSettled, settle_head + "2.8" + settle_tail},
      {Error::not_settled(64, inf), Error::Kind::NotSettled, settle_head + "inf" + settle_tail},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.message(), c.text);
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
  }
}

TEST(EikonalValidation, FirstFailingCheckWins) {
  const auto ok3 = uniform(3, 3, 1.0);
  std::vector<double> two_bad = uniform(3, 4, 1.0);
  two_bad[6] = -1.0;
  two_bad[2] = -1.0;
  std::vector<double> bad_cell = ok3;
  bad_cell[4] = nan;
  const std::vector<Seed> centre = {{1, 1, 0.0}};
  const struct {
    const char* what;
    std::vector<double> slowness;
    std::uint64_t rows, cols;
    std::vector<Seed> seeds;
    double d_i, d_j;
    std::string text;
  } cases[] = {
      {"empty grid before everything", {}, 0, 5, {}, nan, -1.0,
       "a 0x5 grid has no cells to solve on"},
      {"empty grid, no columns", {}, 3, 0, centre, 1.0, 1.0,
       "a 3x0 grid has no cells to solve on"},
      {"too few values", uniform(3, 3, 1.0), 3, 4, centre, 0.0, 1.0,
       "the slowness field has 9 values, but a 3x4 grid needs 12"},
      {"shape overflowing 64 bits", ok3, std::uint64_t{1} << 33, std::uint64_t{1} << 31, centre,
       1.0, 1.0,
       "the slowness field has 9 values, but a 8589934592x2147483648 grid needs "
       "18446744073709551616"},
      {"zero down-dip spacing", ok3, 3, 3, centre, 0.0, 1.0,
       "the down-dip spacing is 0 km; spacing must be positive and finite"},
      {"both spacings bad", ok3, 3, 3, centre, -0.0, nan,
       "the down-dip spacing is -0 km; spacing must be positive and finite"},
      {"NaN along-strike spacing", ok3, 3, 3, centre, 1.0, nan,
       "the along-strike spacing is NaN km; spacing must be positive and finite"},
      {"infinite along-strike spacing", ok3, 3, 3, centre, 1.0, inf,
       "the along-strike spacing is inf km; spacing must be positive and finite"},
      {"bad spacing before bad slowness", bad_cell, 3, 3, centre, 1.0, -2.0,
       "the along-strike spacing is -2 km; spacing must be positive and finite"},
      {"first bad cell in storage order", two_bad, 3, 4, centre, 1.0, 1.0,
       "slowness at (0, 2) is -1 s/km; every cell must be positive and finite, or the cells "
       "behind it are unreachable"},
      {"bad slowness before missing seeds", bad_cell, 3, 3, {}, 1.0, 1.0,
       "slowness at (1, 1) is NaN s/km; every cell must be positive and finite, or the cells "
       "behind it are unreachable"},
      {"infinite slowness", std::vector<double>{1.0, inf}, 1, 2, {}, 1.0, 1.0,
       "slowness at (0, 1) is inf s/km; every cell must be positive and finite, or the cells "
       "behind it are unreachable"},
      {"no seeds", ok3, 3, 3, {}, 1.0, 1.0, "no seeds: a wavefront needs somewhere to start"},
      {"earlier seed's time before later seed's place", ok3, 3, 3, {{0, 0, nan}, {9, 9, 0.0}},
       1.0, 1.0, "seed 0 starts at t = NaN, which is not a time"},
      {"column outside", ok3, 3, 3, {{0, 0, 0.0}, {2, 3, 0.0}}, 1.0, 1.0,
       "seed 1 at (2, 3) is outside a 3x3 grid"},
      {"row outside before its own time", ok3, 3, 3, {{5, 0, nan}}, 1.0, 1.0,
       "seed 0 at (5, 0) is outside a 3x3 grid"},
      {"infinite start time", ok3, 3, 3, {{0, 0, inf}}, 1.0, 1.0,
       "seed 0 starts at t = inf, which is not a time"},
      {"finite oddities pass", ok3, 3, 3, {{0, 0, -2.5}, {1, 1, -0.0}, {2, 2, 1e-310}}, 5e-324,
       1.0, "<solved>"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(solve_error(c.slowness, c.rows, c.cols, c.seeds, c.d_i, c.d_j), c.text) << c.what;
}

TEST(EikonalSolve, UniformMediumIsExactAndSettlesInTwoRounds) {
  const std::uint64_t rows = 40, cols = 60;
  const auto slowness = uniform(rows, cols, 0.25);
  SeedStats stats;
  auto t = single_seed(slowness, rows, cols, 20, 30, 0.5, 0.5, 0.25, &stats);
  ASSERT_TRUE(t.has_value()) << t.error().message();
  EXPECT_EQ(stats.rounds, 2u);
  double worst = 0.0;
  for (std::uint64_t i = 0; i < rows; ++i) {
    for (std::uint64_t j = 0; j < cols; ++j) {
      const double dx = (double(i) - 20.0) * 0.5, dy = (double(j) - 30.0) * 0.5;
      const double exact = 0.25 * std::sqrt(dx * dx + dy * dy);
      const double got = (*t)[i * cols + j];
      if (exact == 0.0) {
        EXPECT_EQ(got, 0.0);
        continue;
      }
      worst = std::max(worst, std::abs(got - exact) / exact);
    }
  }
  EXPECT_LT(worst, 1e-13);
}

TEST(EikonalSolve, SmallGridsExactly) {
  const struct {
    const char* what;
    std::vector<double> slowness;
    std::uint64_t rows, cols;
    std::vector<Seed> seeds;
    double d_j;
    std::vector<double> expected;
  } cases[] = {
      {"lone seed cell", {0.7}, 1, 1, {{0, 0, 2.5}}, 1.0, {2.5}},
      {"row of five", uniform(1, 5, 0.5), 1, 5, {{0, 2, 1.0}}, 2.0, {3, 2, 1, 2, 3}},
      {"negative start time", uniform(1, 3, 1.0), 1, 3, {{0, 0, -1.5}}, 1.0, {-1.5, -0.5, 0.5}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(solved(c.slowness, c.rows, c.cols, c.seeds, 1.0, c.d_j), c.expected) << c.what;

  auto minus_zero = solved({0.7}, 1, 1, {{0, 0, -0.0}}, 1.0, 1.0);
  ASSERT_EQ(minus_zero.size(), 1u);
  EXPECT_FALSE(std::signbit(minus_zero[0]));
}

// A medium with some contrast, so that seeds' fields differ in shape and not only in offset.
std::vector<double> layered(std::uint64_t rows, std::uint64_t cols) {
  std::vector<double> s(rows * cols);
  for (std::uint64_t i = 0; i < rows; ++i)
    for (std::uint64_t j = 0; j < cols; ++j)
      s[i * cols + j] = 0.2 + 0.3 / (1.0 + double(i)) + ((i + 2 * j) % 5 == 0 ? 0.1 : 0.0);
  return s;
}

TEST(EikonalSolve, SeveralSeedsTakeTheCellwiseEarliest) {
  const std::uint64_t rows = 9, cols = 13;
  const auto s = layered(rows, cols);
  const Seed corner_a{0, 0, 0.5}, corner_b{rows - 1, cols - 1, -0.25};
  const auto a = solved(s, rows, cols, {corner_a}, 0.5, 0.75);
  const auto b = solved(s, rows, cols, {corner_b}, 0.5, 0.75);
  const auto both = solved(s, rows, cols, {corner_a, corner_b}, 0.5, 0.75);
  ASSERT_EQ(both.size(), rows * cols);
  bool a_wins = false, b_wins = false;
  for (std::size_t k = 0; k < both.size(); ++k) {
    EXPECT_EQ(both[k], std::min(a[k], b[k])) << k;
    a_wins |= a[k] < b[k];
    b_wins |= b[k] < a[k];
  }
  EXPECT_TRUE(a_wins && b_wins);

  const auto late = solved(s, rows, cols, {{4, 6, 3.0}}, 0.5, 0.75);
  const auto early = solved(s, rows, cols, {{4, 6, -1.0}}, 0.5, 0.75);
  EXPECT_EQ(solved(s, rows, cols, {{4, 6, 3.0}, {4, 6, -1.0}}, 0.5, 0.75), early);
  EXPECT_EQ(solved(s, rows, cols, {{4, 6, -1.0}, {4, 6, 3.0}}, 0.5, 0.75), early);
  EXPECT_NE(late, early);
}

// Fast corridors along the rows between slow walls, each wall open at alternating ends, so the
// quickest path winds down the whole grid and each round carries it about two corridors further.
std::vector<double> serpentine(std::uint64_t corridors, std::uint64_t cols, double fast,
                               double slow) {
  const std::uint64_t rows = 2 * corridors - 1;
  std::vector<double> s(rows * cols, fast);
  for (std::uint64_t wall = 1; wall < rows; wall += 2) {
    const std::uint64_t gap = (wall / 2) % 2 == 0 ? cols - 1 : 0;
    for (std::uint64_t j = 0; j < cols; ++j)
      if (j != gap) s[wall * cols + j] = slow;
  }
  return s;
}

TEST(EikonalSolve, NotSettledEvenThoughAnEarlierSeedSettled) {
  const std::uint64_t corridors = 180, cols = 4, rows = 2 * corridors - 1;
  const auto s = serpentine(corridors, cols, 0.25, 25.0);
  SeedStats middle;
  ASSERT_TRUE(single_seed(s, rows, cols, rows / 2, 0, 1.0, 1.0, 0.25, &middle).has_value());
  EXPECT_LE(middle.rounds, 64u);
  EXPECT_GT(middle.rounds, 32u);

  auto result = solve(s, rows, cols, std::vector<Seed>{{rows / 2, 0, 0.0}, {0, 0, 0.0}}, 1.0,
                      1.0);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), Error::Kind::NotSettled);
  EXPECT_EQ(result.error().message().substr(0, 92),
            "the sweep did not settle in 64 rounds over a medium whose slowness spans 100.0x. "
            "Rounds need");
}

// Shortest paths over grid steps, each step costing its spacing times the slowness of the cell
// it enters, summed from the seed outwards: what the fallback update alone computes.
std::vector<double> grid_paths(const std::vector<double>& s, std::uint64_t rows,
                               std::uint64_t cols, std::uint64_t seed, double d_i, double d_j) {
  std::vector<double> t(s.size(), inf);
  using Item = std::pair<double, std::uint64_t>;
  std::priority_queue<Item, std::vector<Item>, std::greater<>> open;
  t[seed] = 0.0;
  open.push({0.0, seed});
  while (!open.empty()) {
    auto [tn, k] = open.top();
    open.pop();
    if (tn != t[k]) continue;
    const std::uint64_t i = k / cols, j = k % cols;
    auto relax = [&](bool exists, std::uint64_t c, double h) {
      if (!exists) return;
      const double v = (h * s[c]) + tn;
      if (v < t[c]) {
        t[c] = v;
        open.push({v, c});
      }
    };
    relax(j > 0, k - 1, d_j);
    relax(j + 1 < cols, k + 1, d_j);
    relax(i > 0, k - cols, d_i);
    relax(i + 1 < rows, k + cols, d_i);
  }
  return t;
}

TEST(EikonalSolve, UnderflowingSpacingsFallBackToGridSteps) {
  const std::uint64_t rows = 7, cols = 9;
  const auto s = layered(rows, cols);
  const double d_i = 1e-200, d_j = 3e-200;
  const auto expected = grid_paths(s, rows, cols, 3 * cols + 4, d_i, d_j);
  EXPECT_EQ(solved(s, rows, cols, {{3, 4, 0.0}}, d_i, d_j), expected);
  EXPECT_GT(expected[0], 0.0);
}

// The cell update exactly as written, one neighbour and one candidate pair at a time: the oracle
// the solver must match bit for bit. Returns no times when the seed does not settle.
std::vector<double> reference_seed(const std::vector<double>& slowness, std::uint64_t rows,
                                   std::uint64_t cols, std::uint64_t i0, std::uint64_t j0,
                                   double d_i, double d_j, std::uint64_t* rounds_run) {
  const double smin = *std::min_element(slowness.begin(), slowness.end());
  const std::size_t n = slowness.size();
  const std::size_t seed = i0 * cols + j0;
  const double s0 = slowness[seed];

  std::vector<double> t0f;
  for (std::uint64_t i = 0; i < rows; ++i) {
    const double dx = (static_cast<double>(i) - static_cast<double>(i0)) * d_i;
    for (std::uint64_t j = 0; j < cols; ++j) {
      const double dy = (static_cast<double>(j) - static_cast<double>(j0)) * d_j;
      const double r2 = (dy * dy) + (dx * dx);
      t0f.push_back(r2 == 0.0 ? 0.0 : std::sqrt(r2) * s0);
    }
  }
  std::vector<double> t(n, inf);
  t[seed] = 0.0;

  const double tol = (std::min(d_i, d_j) * smin) * 1e-6;
  
  auto update = [&](std::uint64_t i, std::uint64_t j, bool& changed) {
    const std::size_t c = i * cols + j;
    const double s = slowness[c];
    const double dx = (static_cast<double>(i) - static_cast<double>(i0)) * d_i;
    const double dy = (static_cast<double>(j) - static_cast<double>(j0)) * d_j;
    const double r2 = (dy * dy) + (dx * dx);
    double t0c = 0.0, gx = 0.0, gy = 0.0;
    if (r2 != 0.0) {
      const double r = std::sqrt(r2);
      t0c = r * s0;
      gx = (dx * s0) / r;
      gy = (dy * s0) / r;
    }
    // Neighbours W, E, N, S; slot 4 is "none".
    bool present[5] = {false, false, false, false, true};
    double tn[5] = {inf, inf, inf, inf, inf}, a[5] = {0, 0, 0, 0, 0}, b[5] = {0, 0, 0, 0, 0};
    auto neighbour = [&](int slot, bool exists, std::size_t k, double sigma, double h, double g) {
      if (!exists || !std::isfinite(t[k])) return;
      present[slot] = true;
      tn[slot] = t[k];
      const double tau = t0f[k] > 0.0 ? t[k] / t0f[k] : 1.0;
      a[slot] = g + ((sigma * t0c) / h);
      b[slot] = (tau * (sigma * t0c)) / h;
    };
    neighbour(0, j > 0, c - 1, 1.0, d_j, gy);
    neighbour(1, j + 1 < cols, c + 1, -1.0, d_j, gy);
    neighbour(2, i > 0, c - cols, 1.0, d_i, gx);
    neighbour(3, i + 1 < rows, c + cols, -1.0, d_i, gx);

    double best = inf;
    for (int pa : {0, 1, 4}) {
      for (int pb : {2, 3, 4}) {
        if (!present[pa] || !present[pb] || (pa == 4 && pb == 4)) continue;
        const double aa = a[pa], ba = b[pa], ab = a[pb], bb = b[pb];
        if (aa == 0.0 && ab == 0.0) continue;
        const double qa = (ab * ab) + (aa * aa);
        const double qb = ((ab * bb) + (aa * ba)) * (-2.0);
        const double qc = ((bb * bb) + (ba * ba)) - (s * s);
        const double disc = ((qa * (-4.0)) * qc) + (qb * qb);
        if (disc < 0.0) continue;
        const double cand = ((std::sqrt(disc) - qb) * t0c) / (qa + qa);
        if (!(cand > 0.0)) continue;
        if (pa != 4 && !(cand >= tn[pa])) continue;
        if (pb != 4 && !(cand >= tn[pb])) continue;
        best = std::min(best, cand);
      }
    }
    if (!std::isfinite(best)) {
      best = inf;
      const double h[4] = {d_j, d_j, d_i, d_i};
      for (int k = 0; k < 4; ++k)
        if (present[k]) best = std::min(best, (h[k] * s) + tn[k]);
    }
    const double tc = t[c];
    if (tc > best) {
      if (tc - tol > best) changed = true;
      t[c] = best;
    }
  };

  std::uint64_t round = 0;
  bool changed = true;
  while (changed) {
    if (round == 64) {
      *rounds_run = round;
      return {};
    }
    ++round;
    changed = false;
    for (int sweep = 0; sweep < 4; ++sweep) {
      const bool rows_up = sweep < 2, cols_up = sweep % 2 == 0;
      for (std::uint64_t ri = 0; ri < rows; ++ri) {
        const std::uint64_t i = rows_up ? ri : rows - 1 - ri;
        for (std::uint64_t cj = 0; cj < cols; ++cj) {
          const std::uint64_t j = cols_up ? cj : cols - 1 - cj;
          if (i == i0 && j == j0) continue;
          update(i, j, changed);
        }
      }
    }
  }

  *rounds_run = round;
  return t;
}

// Media of every kind the sweeps meet: smooth, rough, four decades wide, and blocky.
std::vector<double> random_medium(std::mt19937_64& rng, std::uint64_t rows, std::uint64_t cols,
                                  int kind) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> s(rows * cols);
  const double fi = 0.3 + u(rng), fj = 0.2 + u(rng), phase = 6.0 * u(rng);
  for (std::uint64_t i = 0; i < rows; ++i) {
    for (std::uint64_t j = 0; j < cols; ++j) {
      double v;
      if (kind == 0) v = 0.3 + 0.1 * std::sin(fi * double(i) + phase) * std::cos(fj * double(j));
      else if (kind == 1) v = 0.1 + u(rng);
      else if (kind == 2) v = std::pow(10.0, 4.0 * u(rng) - 2.0);
      else v = ((i / 4 + j / 5) % 3 == 0) ? 5.0 * (1.0 + u(rng)) : 0.1 + 0.05 * u(rng);
      s[i * cols + j] = v;
    }
  }
  return s;
}

// Compares the solver with the oracle; true when both settled and agree to the bit.
bool matches_reference(const std::vector<double>& s, std::uint64_t rows, std::uint64_t cols,
                       std::uint64_t i0, std::uint64_t j0, double d_i, double d_j) {
  std::uint64_t want_rounds = 0;
  const auto want = reference_seed(s, rows, cols, i0, j0, d_i, d_j, &want_rounds);
  SeedStats stats;
  const double smin = *std::min_element(s.begin(), s.end());
  auto got = single_seed(s, rows, cols, i0, j0, d_i, d_j, smin, &stats);
  if (!got || want.empty()) {
    EXPECT_EQ(got.has_value(), !want.empty());
    return false;
  }
  EXPECT_EQ(stats.rounds, want_rounds);
  return got->size() == want.size() &&
         std::memcmp(got->data(), want.data(), want.size() * sizeof(double)) == 0;
}

TEST(EikonalSolve, MatchesTheWrittenUpdateBitForBit) {
  std::mt19937_64 rng(20260311);
  const struct {
    std::uint64_t rows, cols;
    double d_i, d_j;
  } shapes[] = {{31, 47, 0.5, 0.5}, {40, 23, 0.2, 0.7}, {1, 40, 1.0, 0.3},
                {37, 1, 0.25, 1.0},  {17, 19, 1e-200, 2e-200}};
  for (const auto& shape : shapes) {
    for (int kind = 0; kind < 4; ++kind) {
      const auto s = random_medium(rng, shape.rows, shape.cols, kind);
      // Every corner, so that each quadrant of the factor is met at offsets spanning the grid.
      const std::uint64_t seeds[5][2] = {{0, 0},
                                         {shape.rows / 2, shape.cols / 3},
                                         {shape.rows - 1, shape.cols - 1},
                                         {0, shape.cols - 1},
                                         {shape.rows - 1, 0}};
      for (const auto& seed : seeds) {
        EXPECT_TRUE(matches_reference(s, shape.rows, shape.cols, seed[0], seed[1], shape.d_i,
                                      shape.d_j))
            << shape.rows << "x" << shape.cols << " kind " << kind << " seed (" << seed[0]
            << ", " << seed[1] << ")";
      }
    }
  }
}

TEST(EikonalSolve, PairsAboveTheCellStillRuleOutTheFallback) {
  // Four decades of contrast: somewhere a cell's only retained candidate lies above its current
  // time, and it alone keeps a smaller fallback step from being written.
  const std::vector<double> s = {
      0.020945767053913083, 0.92284634354312489,  0.065743432796237941, 97.96453412141112,
      0.62001331202846122,  0.358810781782957,    1.1038684086193409,   16.256750262628326,
      6.7302457348032805,   86.87093265253371,    0.15809390836182652,  0.049348073624641893,
      0.012621022137846648, 0.022542127844306835, 7.1437124167778698,   3.7836446143433422};
  EXPECT_TRUE(matches_reference(s, 4, 4, 3, 1, 1.0, 1.0));
}

TEST(EikonalSolve, OverflowingTimesAreAnInternalFailure) {
  const std::vector<double> s(3, 1e308);
  try {
    (void)solve(s, 1, 3, std::vector<Seed>{{0, 1, 0.0}}, 1.0, 10.0);
    ADD_FAILURE() << "solved";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "(0, 0) was never reached");
  }
}

}  // namespace
}  // namespace kernels::eikonal
