#include "random.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace kernels::field {
namespace {

using u128 = unsigned __int128;

constexpr u128 make_u128(std::uint64_t hi, std::uint64_t lo) {
  return (static_cast<u128>(hi) << 64) | lo;
}

// A generator whose next two outputs are w1 and w2: both states are picked with a zero or tiny
// high half (no rotation), the increment links them, and the start state is stepped back once.
Lcg128Xsl64 generator_yielding(std::uint64_t w1, std::uint64_t w2) {
  u128 inverse = Lcg128Xsl64::MULTIPLIER;  // Newton's iteration for the inverse modulo 2^128
  for (int k = 0; k < 7; ++k) inverse *= 2 - Lcg128Xsl64::MULTIPLIER * inverse;
  std::uint64_t hi2 = (w1 & 1) == (w2 & 1) ? 1 : 0;  // keeps the increment odd
  u128 first = make_u128(0, w1);
  u128 second = make_u128(hi2, w2 ^ hi2);
  u128 increment = second - first * Lcg128Xsl64::MULTIPLIER;
  Lcg128Xsl64 g{(first - increment) * inverse, increment};
  Lcg128Xsl64 check = g;
  EXPECT_EQ(check.next_u64(), w1);
  EXPECT_EQ(check.next_u64(), w2);
  return g;
}

// How many outputs took `before` to `after`.
int outputs_between(Lcg128Xsl64 before, const Lcg128Xsl64& after) {
  for (int k = 0; k < 1000; ++k, before.next_u64())
    if (before == after) return k;
  return -1;
}

// An output with the given layer (low 8 bits) and top 52 bits m.
constexpr std::uint64_t output(std::uint64_t layer, std::uint64_t m) { return (m << 12) | layer; }

TEST(RandomStreams, SeedZeroKnownAnswers) {
  Lcg128Xsl64 master = Lcg128Xsl64::seed_from_u64(0);
  EXPECT_TRUE(master.state == make_u128(0x85AD5B8977EAA32B, 0x44921103AEBF30C2));
  EXPECT_TRUE(master.increment == make_u128(0xFE7D8AD772EA9BF2, 0x67E71733E3A3D0D1));
  const std::uint64_t outputs[] = {0x20AE25DAD4E2BC53, 0x58F938E12BBF69FB, 0xB5B235D60CF8E231,
                                   0x09F71EE2B019A7DA};
  for (std::uint64_t o : outputs) EXPECT_EQ(master.next_u64(), o);

  Buffer<Lcg128Xsl64> streams = make_streams(0, 1);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_TRUE(streams[0].state == make_u128(0x56F868523A2FD836, 0x72752F9244AD73C5));
  EXPECT_TRUE(streams[0].increment == make_u128(0x09F71EE2B019A7DA, 0xB5B235D60CF8E231));

  const double normals[] = {2.007951957087276, -1.2450973225106816, 0.3620812750359354,
                            -1.2609898549904797};
  Lcg128Xsl64 g = streams[0];
  for (double z : normals) EXPECT_EQ(standard_normal(g), z);

  const double ones[2] = {1.0, 1.0};  // P = 1, C = 2
  std::vector<Cell> cells(2);
  fill_row_block(0, cells, streams.span(), 1, 2, ones, 2);
  EXPECT_EQ(cells[0], Cell(normals[0], normals[1]));
  EXPECT_EQ(cells[1], Cell(normals[2], normals[3]));
}

TEST(RandomStreams, SeedingDetails) {
  std::array<std::uint8_t, 32> bytes{};
  for (int k = 0; k < 32; ++k) bytes[k] = static_cast<std::uint8_t>(3 * k + 1);
  Lcg128Xsl64 g = Lcg128Xsl64::from_seed(bytes);
  EXPECT_EQ(static_cast<std::uint64_t>(g.increment) & 1, 1u);
  // Bit 0 of the increment's bytes is overwritten, so it has no effect; every other bit does.
  auto flipped = bytes;
  flipped[16] ^= 1;
  EXPECT_TRUE(Lcg128Xsl64::from_seed(flipped) == g);
  flipped[16] ^= 2;
  EXPECT_FALSE(Lcg128Xsl64::from_seed(flipped) == g);
  flipped = bytes;
  flipped[0] ^= 1;
  EXPECT_FALSE(Lcg128Xsl64::from_seed(flipped) == g);

  // The largest seed is an ordinary one and differs from its neighbour.
  EXPECT_FALSE(Lcg128Xsl64::seed_from_u64(~std::uint64_t{0}) ==
               Lcg128Xsl64::seed_from_u64(~std::uint64_t{0} - 1));
}

TEST(RandomStreams, OneStreamPer32RowsWithExactCapacity) {
  const struct {
    std::uint64_t rows, streams;
  } cases[] = {{0, 0}, {1, 1}, {31, 1}, {32, 1}, {33, 2}, {64, 2}, {65, 3}, {1000, 32}};
  for (const auto& c : cases) {
    Buffer<Lcg128Xsl64> streams = make_streams(5, c.rows);
    EXPECT_EQ(streams.size(), c.streams) << c.rows;
    EXPECT_EQ(streams.capacity(), c.streams) << c.rows;
  }
}

TEST(RandomStreams, StreamDependsOnlyOnSeedAndBlock) {
  for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{77}, ~std::uint64_t{0}}) {
    Buffer<Lcg128Xsl64> reference = make_streams(seed, 32 * 9);
    for (std::uint64_t rows : {1, 32, 33, 64, 65, 100, 288}) {
      Buffer<Lcg128Xsl64> streams = make_streams(seed, rows);
      for (std::size_t b = 0; b < streams.size(); ++b)
        EXPECT_TRUE(streams[b] == reference[b]) << seed << " " << rows << " " << b;
    }
    // Distinct blocks get distinct streams.
    EXPECT_FALSE(reference[0] == reference[1]);
    EXPECT_FALSE(reference[0].increment == reference[1].increment);
  }
}

TEST(Uniforms, ExactFromTheTopBits) {
  const struct {
    std::uint64_t w;
    double open, symmetric, wedge;
  } cases[] = {
      {0, 0x1p-53, -1.0, 0.0},
      {0x7FF, 0x1p-53, -1.0, 0.0},  // the low 11 bits take no part
      {0x800, 0x1p-53, -1.0, 0x1p-53},  // bit 11 is the wedge's alone
      {0x1000, 3 * 0x1p-53, -1 + 0x1p-51, 2 * 0x1p-53},
      {~std::uint64_t{0}, 1 - 0x1p-53, 1 - 0x1p-51, 1 - 0x1p-53},
      {std::uint64_t{1} << 63, 0.5 + 0x1p-53, 0.0, 0.5},
  };
  for (const auto& c : cases) {
    Lcg128Xsl64 g = generator_yielding(c.w, 0);
    EXPECT_EQ(open01(g), c.open) << std::hex << c.w;
    EXPECT_EQ(detail::symmetric_uniform(c.w), c.symmetric) << std::hex << c.w;
    EXPECT_EQ(detail::wedge_uniform(c.w), c.wedge) << std::hex << c.w;
  }
}

constexpr std::uint64_t M_ZERO = std::uint64_t{1} << 51;  // m for u = 0
constexpr std::uint64_t M_TOP = (std::uint64_t{1} << 52) - 1;  // m for u = 1 - 2^-51

// The second output for a wedge uniform U (a multiple of 2^-53).
std::uint64_t wedge_output(double U) { return static_cast<std::uint64_t>(U * 0x1p53) << 11; }

TEST(StandardNormal, RectangleAcceptsFromTheOutputBits) {
  const struct {
    std::uint64_t w;
    double value;
  } cases[] = {
      {output(7, M_ZERO + M_ZERO / 2), ZIG_NORM_X[7] * 0.5},
      {output(7, M_ZERO / 2), ZIG_NORM_X[7] * -0.5},
      {output(7, M_ZERO / 2) | 0xF00, ZIG_NORM_X[7] * -0.5},  // bits 8 to 11 take no part
      {output(0, M_ZERO), 0.0},
      {output(0, M_ZERO + 1), ZIG_NORM_X[0] * 0x1p-51},
      {output(0, M_ZERO + M_ZERO / 8 * 7), ZIG_NORM_X[0] * 0.875},  // layer 0 but short of R
      {output(254, M_ZERO + 3), ZIG_NORM_X[254] * (3 * 0x1p-51)},
  };
  for (const auto& c : cases) {
    Lcg128Xsl64 g = generator_yielding(c.w, 0);
    Lcg128Xsl64 start = g;
    EXPECT_EQ(standard_normal(g), c.value) << std::hex << c.w;
    EXPECT_EQ(outputs_between(start, g), 1) << std::hex << c.w;
  }
}

TEST(StandardNormal, WedgeTestAndRetry) {
  // Layer 255 never passes the rectangle test. With u = 0.5 its wedge accepts exactly when
  // U > 0.2522 or so; F[i] and F[i + 1] swapped would flip every answer below.
  const double x = ZIG_NORM_X[255] * 0.5;
  const struct {
    double U;
    bool accepted;
  } cases[] = {{0.75, true}, {0.26, true}, {0.25, false}, {0.0, false}};
  for (const auto& c : cases) {
    Lcg128Xsl64 g = generator_yielding(output(255, M_ZERO + M_ZERO / 2), wedge_output(c.U));
    Lcg128Xsl64 start = g;
    double z = standard_normal(g);
    int taken = outputs_between(start, g);
    if (c.accepted) {
      EXPECT_EQ(z, x) << c.U;
      EXPECT_EQ(taken, 2) << c.U;
    } else {
      EXPECT_GT(taken, 2) << c.U;
    }
  }
}

TEST(StandardNormal, TailValues) {
  const double R = ZIG_NORM_R;
  EXPECT_EQ(std::bit_cast<std::uint64_t>(R), 0x400D3BB48209AD33u);

  // a = 1 - 2^-53 puts xt within rounding of 0, so the tail returns R itself with the sign of u.
  const struct {
    std::uint64_t w;
    double value;
  } forced[] = {{output(0, 0), -R}, {output(0, M_TOP), R}};
  for (const auto& c : forced) {
    Lcg128Xsl64 g = generator_yielding(c.w, ~std::uint64_t{0});
    Lcg128Xsl64 start = g;
    EXPECT_EQ(standard_normal(g), c.value);
    EXPECT_EQ(outputs_between(start, g), 3);
  }

  // Tail candidates met along an ordinary stream: every one ends in a value of magnitude >= R with
  // the sign of u, after one output plus two per try.
  Lcg128Xsl64 g = make_streams(11, 128)[3];
  int seen[2] = {0, 0};
  for (int step = 0; step < 2'000'000 && seen[0] + seen[1] < 40; ++step) {
    Lcg128Xsl64 peek = g;
    std::uint64_t w = peek.next_u64();
    double u = detail::symmetric_uniform(w);
    if ((w & 0xFF) == 0 && std::fabs(ZIG_NORM_X[0] * u) >= R) {
      Lcg128Xsl64 start = g;
      double z = standard_normal(g);
      int taken = outputs_between(start, g);
      EXPECT_GE(std::fabs(z), R) << step;
      EXPECT_EQ(z < 0, u < 0) << step;
      EXPECT_TRUE(taken >= 3 && taken % 2 == 1) << step << " " << taken;
      ++seen[u < 0];
    } else {
      g.next_u64();
    }
  }
  EXPECT_GT(seen[0], 5);
  EXPECT_GT(seen[1], 5);
}

TEST(ZigguratTables, StoredValues) {
  const struct {
    int i;
    double x, f;
  } rows[] = {
      {0, 3.91075795953709, 0.000477467764586655},
      {1, 3.654152885361009, 0.001260285930498598},
      {2, 3.4492782985609645, 0.002609072746106363},
      {3, 3.320244733839166, 0.004037972593371872},
      {128, 1.5353425714388431, 0.30769741250555377},
      {254, 0.2861745917472605, 0.9598790918124159},
      {255, 0.2152418959132738, 0.9771017012827313},
      {256, 0.0, 1.0},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(ZIG_NORM_X[r.i], r.x) << r.i;
    EXPECT_EQ(ZIG_NORM_F[r.i], r.f) << r.i;
  }
  EXPECT_EQ(std::bit_cast<std::uint64_t>(ZIG_NORM_F[0]), 0x3F3F4A946F0D1E21u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(ZIG_NORM_F[3]), 0x3F708A1F03B0D9D7u);
  EXPECT_EQ(ZIG_NORM_F[94], 0.2064054063986793);  // where glibc's exp is one unit high

  for (int i = 0; i < 256; ++i) {
    EXPECT_GT(ZIG_NORM_X[i], ZIG_NORM_X[i + 1]) << i;
    EXPECT_LT(ZIG_NORM_F[i], ZIG_NORM_F[i + 1]) << i;
  }

  const double V = 0.00492867323399;
  EXPECT_NEAR(ZIG_NORM_X[0] * ZIG_NORM_F[1], V, V * 1e-12);
  for (int i = 1; i < 256; ++i)
    EXPECT_NEAR(ZIG_NORM_X[i] * (ZIG_NORM_F[i + 1] - ZIG_NORM_F[i]), V, V * 1e-9) << i;
}

// Every value of a few million, from two seeds, against the standard normal: moments and the
// probability of several central intervals and of the tail beyond R, each within six standard
// errors (so a correct sampler passes for these fixed seeds with room to spare).
TEST(StandardNormal, Distribution) {
  constexpr int N = 4'000'000;
  const double limits[] = {0.25, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, ZIG_NORM_R};
  constexpr int L = sizeof(limits) / sizeof(limits[0]);
  for (std::uint64_t seed : {std::uint64_t{2}, std::uint64_t{0x9E3779B97F4A7C15}}) {
    Lcg128Xsl64 g = make_streams(seed, 1)[0];
    double sum = 0, sum2 = 0, sum4 = 0;
    long inside[L] = {};
    for (int k = 0; k < N; ++k) {
      double z = standard_normal(g);
      double z2 = z * z;
      sum += z;
      sum2 += z2;
      sum4 += z2 * z2;
      for (int t = 0; t < L; ++t) inside[t] += std::fabs(z) < limits[t];
    }
    EXPECT_NEAR(sum / N, 0.0, 6 * std::sqrt(1.0 / N)) << seed;
    EXPECT_NEAR(sum2 / N, 1.0, 6 * std::sqrt(2.0 / N)) << seed;
    EXPECT_NEAR(sum4 / N, 3.0, 6 * std::sqrt(96.0 / N)) << seed;
    for (int t = 0; t < L; ++t) {
      double p = std::erf(limits[t] / std::sqrt(2.0));
      EXPECT_NEAR(static_cast<double>(inside[t]), N * p, 6 * std::sqrt(N * p * (1 - p)))
          << seed << " |z| < " << limits[t];
    }
  }
}

// Quadrant value for element (w, v): each is distinct and exact, so a cell shows what it read.
double quadrant_value(std::uint64_t w, std::uint64_t v) { return 1.0 + w + v / 8.0; }

TEST(FillRowBlock, MirroredAmplitudesAndDrawOrder) {
  const struct {
    std::uint64_t P, C, b;
    std::vector<std::uint64_t> rows, cols;  // the quadrant row of each padded row, and column
  } cases[] = {
      {4, 5, 0, {0, 1, 2, 1}, {0, 1, 2, 2, 1}},
      {5, 4, 0, {0, 1, 2, 2, 1}, {0, 1, 2, 1}},
      {1, 1, 0, {0}, {0}},
      {33, 2, 1, {1}, {0, 1}},
      {40, 3, 1, {8, 7, 6, 5, 4, 3, 2, 1}, {0, 1, 1}},
      {66, 1, 2, {2, 1}, {0}},
  };

  for (const auto& c : cases) {
    const std::uint64_t quad_rows = c.P / 2 + 1, quad_cols = c.C / 2 + 1;
    std::vector<double> quadrant(quad_rows * quad_cols);
    for (std::uint64_t w = 0; w < quad_rows; ++w)
      for (std::uint64_t v = 0; v < quad_cols; ++v)
        quadrant[w * quad_cols + v] = quadrant_value(w, v);
    Buffer<Lcg128Xsl64> streams = make_streams(9, c.P);
    const std::size_t cells = c.rows.size() * c.C;
    std::vector<Cell> buffer(cells);
    fill_row_block(c.b, buffer, streams.span(), c.P, c.C, quadrant, quad_cols);

    Lcg128Xsl64 g = streams[c.b];
    for (std::size_t r = 0; r < c.rows.size(); ++r)
      for (std::size_t j = 0; j < c.C; ++j) {
        double a = quadrant_value(c.rows[r], c.cols[j]);
        double z1 = standard_normal(g);
        double z2 = standard_normal(g);
        EXPECT_EQ(buffer[r * c.C + j], Cell(z1 * a, z2 * a))
            << "P=" << c.P << " C=" << c.C << " cell (" << r << ", " << j << ")";
      }
  }
}

TEST(FillRowBlock, ZeroAndNaNAmplitudesStillDraw) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Buffer<Lcg128Xsl64> streams = make_streams(4, 1);
  Lcg128Xsl64 g = streams[0];
  double z[4];
  for (double& v : z) v = standard_normal(g);

  for (double a : {0.0, -0.0, nan}) {
    const double quadrant[2] = {a, 1.0};
    std::vector<Cell> buffer(2);
    fill_row_block(0, buffer, streams.span(), 1, 2, quadrant, 2);
    if (std::isnan(a)) {
      EXPECT_TRUE(std::isnan(buffer[0].real()) && std::isnan(buffer[0].imag()));
    } else {
      EXPECT_EQ(buffer[0].real(), 0.0);
      EXPECT_EQ(buffer[0].imag(), 0.0);
      EXPECT_EQ(std::signbit(buffer[0].real()), std::signbit(z[0]) != std::signbit(a)) << a;
      EXPECT_EQ(std::signbit(buffer[0].imag()), std::signbit(z[1]) != std::signbit(a)) << a;
    }
    EXPECT_EQ(buffer[1], Cell(z[2], z[3])) << a;  // the cell's two values were consumed
  }
}

TEST(FillRowBlock, OutOfRangeReadsAreInternalFailures) {
  Buffer<Lcg128Xsl64> streams = make_streams(1, 64);  // two streams
  std::vector<double> quadrant(33 * 3, 1.0);          // P = 64, C = 4: 33 x 3
  const struct {
    const char* what;
    std::uint64_t b, P, C, quad_cols, quad_size;
  } cases[] = {
      {"stream past the last", 2, 96, 4, 3, 33 * 3},
      {"block past the rows", 1, 32, 4, 3, 17 * 3},
      {"column past the quadrant", 0, 64, 4, 2, 33 * 2},
      {"row past the quadrant", 1, 64, 4, 3, 32 * 3},
      {"block longer than its 8 rows", 1, 40, 4, 3, 21 * 3},
  };
  for (const auto& c : cases) {
    std::vector<Cell> buffer(32 * c.C);
    std::span<const double> amplitudes(quadrant.data(), c.quad_size);
    EXPECT_THROW(fill_row_block(c.b, buffer, streams.span(), c.P, c.C, amplitudes, c.quad_cols),
                 Panic)
        << c.what;
  }
}

}  // namespace
}  // namespace kernels::field
