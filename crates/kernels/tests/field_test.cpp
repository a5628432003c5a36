#include "field.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "mappings.hpp"
#include "processes.hpp"
#include "random.hpp"

namespace kernels::field {
namespace {

std::vector<double> ones(std::uint64_t rows, std::uint64_t cols) {
  return std::vector<double>(rows * cols, 1.0);
}

Fields draw_ok(const std::vector<double>& q, std::uint64_t P, std::uint64_t C, std::uint64_t R,
               std::uint64_t K, std::uint64_t seed) {
  auto result = draw(q, P / 2 + 1, C / 2 + 1, P, C, R, K, seed);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().message());
  return std::move(*result);
}

TEST(FieldDraw, ValidationTextsInOrder) {
  const struct {
    std::uint64_t qr, qc, P, C, R, K;
    const char* text;
  } cases[] = {
      {3, 3, 0, 5, 0, 0, "a 0x5 embedding has no cells"},
      {4, 4, 0, 5, 9, 9, "a 0x5 embedding has no cells"},  // empty wins over the quadrant
      {4, 4, 8, 6, 1, 1, "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"},
      {4, 4, 7, 9, 1, 1, "a 7x9 embedding needs a 4x5 amplitude quadrant, not 4x4"},
      {0, 0, 4, 4, 1, 1, "a 4x4 embedding needs a 3x3 amplitude quadrant, not 0x0"},
      {4, 4, 8, 6, 9, 3, "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"},
      {5, 4, 8, 6, 9, 3, "a 9x3 fault does not fit in a 8x6 embedding"},
      {5, 4, 8, 6, 8, 7, "a 8x7 fault does not fit in a 8x6 embedding"},
  };
  for (const auto& c : cases) {
    std::vector<double> q(c.qr * c.qc, 1.0);
    auto result = draw(q, c.qr, c.qc, c.P, c.C, c.R, c.K, 0);
    ASSERT_FALSE(result.has_value()) << c.text;
    EXPECT_EQ(result.error().message(), c.text);
  }
  auto fits = draw(ones(5, 4), 5, 4, 8, 6, 8, 6, 0);
  EXPECT_TRUE(fits.has_value());
}

TEST(FieldDraw, AmplitudeLengthIsAnInvariant) {
  std::vector<double> q(5, 1.0);  // 2x3 needs 6
  try {
    (void)draw(q, 2, 3, 2, 4, 1, 1, 0);
    FAIL() << "no failure";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "assertion `left == right` failed\n  left: 5\n right: 6");
  }
}

TEST(FieldDraw, KnownAnswers) {
  Fields one = draw_ok({1.0}, 1, 1, 1, 1, 0);
  EXPECT_EQ(one.real[0], 2.007951957087276);
  EXPECT_EQ(one.imaginary[0], -1.2450973225106816);

  const double real[] = {0.3281748583302021, 0.3037723552594753, 2.041858373793009,
                         1.3420983267918651};
  const double imaginary[] = {-1.4431837034379584, -0.014274989918052858, -1.0629034740632028,
                              0.030167522397850907};
  Fields two = draw_ok(ones(2, 2), 2, 2, 2, 2, 0);
  ASSERT_EQ(two.real.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(two.real[k], real[k], 1e-15) << k;
    EXPECT_NEAR(two.imaginary[k], imaginary[k], 1e-15) << k;
  }
  Fields cropped = draw_ok(ones(2, 2), 2, 2, 1, 2, 0);
  ASSERT_EQ(cropped.real.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(cropped.real[k], two.real[k]);
    EXPECT_EQ(cropped.imaginary[k], two.imaginary[k]);
  }
}

TEST(FieldDraw, EmptyFaultsGiveEmptyFields) {
  for (auto [R, K] : {std::pair{0u, 3u}, std::pair{4u, 0u}, std::pair{0u, 0u}}) {
    Fields f = draw_ok(ones(3, 3), 4, 4, R, K, 7);
    EXPECT_EQ(f.real.size(), 0u);
    EXPECT_EQ(f.imaginary.size(), 0u);
    EXPECT_EQ(f.real.data(), nullptr);
  }
}

// The net result evaluated directly: both sums of the inverse transform over the same noise.
TEST(FieldDraw, MatchesDirectEvaluationAcrossBlocks) {
  const std::uint64_t P = 33, C = 20, R = 33, K = 17, seed = 12345;
  const std::uint64_t qr = P / 2 + 1, qc = C / 2 + 1;
  std::vector<double> q(qr * qc);
  for (std::uint64_t k = 0; k < q.size(); ++k) q[k] = 0.5 + std::sin(0.37 * double(k));
  Fields f = draw_ok(q, P, C, R, K, seed);

  Buffer<Lcg128Xsl64> streams = make_streams(seed, P);
  std::vector<std::complex<long double>> noise(P * C);
  for (std::uint64_t b = 0; b * 32 < P; ++b) {
    std::vector<Cell> block(std::min<std::uint64_t>(P - 32 * b, 32) * C);
    fill_row_block(b, block, streams.span(), P, C, q, qc);
    for (std::uint64_t k = 0; k < block.size(); ++k) noise[32 * b * C + k] = block[k];
  }
  const long double pi = std::numbers::pi_v<long double>;
  const long double scale = 1.0L / std::sqrt(static_cast<long double>(P * C));
  double worst = 0;
  for (std::uint64_t r = 0; r < R; ++r) {
    for (std::uint64_t j = 0; j < K; ++j) {
      std::complex<long double> sum = 0;
      for (std::uint64_t k = 0; k < P; ++k) {
        std::complex<long double> row = 0;
        for (std::uint64_t l = 0; l < C; ++l) {
          row += std::polar(1.0L, 2 * pi * static_cast<long double>((l * j) % C) / C) *
                 noise[k * C + l];
        }
        sum += std::polar(1.0L, 2 * pi * static_cast<long double>((k * r) % P) / P) * row;
      }
      sum *= scale;
      worst = std::max(worst, std::abs(double(sum.real()) - f.real[r * K + j]));
      worst = std::max(worst, std::abs(double(sum.imag()) - f.imaginary[r * K + j]));
    }
  }
  EXPECT_LT(worst, 1e-12);
}

TEST(FieldDraw, OnlyTheZeroFrequencyGivesAConstantField) {
  const std::uint64_t P = 6, C = 10;
  std::vector<double> q((P / 2 + 1) * (C / 2 + 1), 0.0);
  q[0] = 3.0;
  Fields f = draw_ok(q, P, C, 5, 7, 99);
  Lcg128Xsl64 g = make_streams(99, P)[0];
  double z1 = standard_normal(g), z2 = standard_normal(g);
  double s = 1.0 / std::sqrt(60.0);
  for (std::uint64_t k = 0; k < f.real.size(); ++k) {
    EXPECT_NEAR(f.real[k], s * 3.0 * z1, 1e-14);
    EXPECT_NEAR(f.imaginary[k], s * 3.0 * z2, 1e-14);
  }
}

TEST(FieldDraw, RepeatedCallsGiveTheSameBits) {
  const std::uint64_t P = 100, C = 72, R = 70, K = 50;
  std::vector<double> q((P / 2 + 1) * (C / 2 + 1));
  for (std::uint64_t k = 0; k < q.size(); ++k) q[k] = 1.0 / (1.0 + double(k % 97));
  Fields a = draw_ok(q, P, C, R, K, 2024);
  Fields b = draw_ok(q, P, C, R, K, 2024);
  Fields other = draw_ok(q, P, C, R, K, 2025);
  EXPECT_EQ(std::memcmp(a.real.data(), b.real.data(), R * K * 8), 0);
  EXPECT_EQ(std::memcmp(a.imaginary.data(), b.imaginary.data(), R * K * 8), 0);
  EXPECT_NE(std::memcmp(a.real.data(), other.real.data(), R * K * 8), 0);
}

// At P = 16384 a gather buffer of the column pass, 16 columns of P cells, is a 4 MiB mapping of its
// own, faulted in page by page when fresh. The pass leases them, as the row pass does its scratch:
// a draw on two threads maps its row grid, the column plan's buffer and at most one gather buffer
// a thread, however many tasks the column pass is cut into (16 blocks of columns here).
TEST(FieldDraw, ColumnPassMapsOneGatherBufferAThreadAtMost) {
  testing_processes::expect_in_fresh_process([](testing_processes::Complaints& c) {
    ::setenv("RAYON_NUM_THREADS", "2", 1);
    const std::uint64_t P = 16384, C = 256, R = 16;
    std::vector<double> q((P / 2 + 1) * (C / 2 + 1), 1.0);
    std::vector<testing_mappings::Call> calls;
    {
      testing_mappings::Recording recording;
      auto fields = draw(q, P / 2 + 1, C / 2 + 1, P, C, R, C, 1);
      calls = recording.calls();
      c.expect(fields.has_value(), "a successful draw");
    }
    std::size_t blocks = 0;
    for (const auto& call : calls) {
      blocks += call.kind == testing_mappings::Call::Kind::map && call.length >= mapped_block_bytes;
    }
    const std::string made = "4 mapped blocks at most, with " + std::to_string(blocks) + " made,";
    c.expect(blocks <= 4, made.c_str());
  });
}

}  // namespace
}  // namespace kernels::field
