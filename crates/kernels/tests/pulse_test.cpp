#include "pulse.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "failure.hpp"
#include "pool.hpp"
#include "processes.hpp"

namespace kernels::pulse {
namespace {

using Values = std::vector<double>;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double tiny = std::numeric_limits<double>::denorm_min();

std::expected<Pulses, Error> run(const Values& slip, const Values& rise,
                                 const std::optional<Values>& beta, double dt) {
  std::optional<std::span<const double>> b;
  if (beta) b = std::span<const double>(*beta);
  return synthesise_pulses(slip, rise, b, dt);
}

std::vector<std::uint64_t> offsets_of(const Pulses& p) {
  return {p.offsets.begin(), p.offsets.end()};
}

// The rows written out the long way: one limb chosen per sample, the area in a pass of its own.
enum Limb : char { rising = 'r', middle = 'm', falling = 'f', none = '-' };

Values reference_row(double slip, double rise, std::optional<double> beta, double dt,
                     std::string* limbs = nullptr) {
  if (!(std::fabs(slip) > 1e-4)) return {};
  if (!beta) return {0.0, slip / dt, 0.0};
  const double r = std::round(rise / dt);
  const std::uint64_t m = std::isnan(r) || r <= 0.0 ? 0
                          : r >= 0x1p64             ? ~std::uint64_t{0}
                                                    : static_cast<std::uint64_t>(r);
  Values row(std::max<std::uint64_t>(m, 2) + 1, 0.0);
  if (m < 2) {
    row = {0.0, 1.0, 0.0};
  } else {
    const double pi = 3.141592653589793, T = rise, tr = *beta * T, tr2 = tr + tr, tf = T - tr;
    for (std::uint64_t s = 1; s < m; ++s) {
      const double t = static_cast<double>(s) * dt;
      Limb limb = none;
      double v = 0.0;
      if (tr > t) {
        limb = rising;
        const double a = (t * pi) / tr;
        v = (0.7 - std::cos(a) * 0.7) + std::sin(a * 0.5) * 0.6;
      } else if (tr2 > t) {
        limb = middle;
        const double a = (t * pi) / tr, phi = ((t - tr) * pi) / tf;
        v = (1.0 - std::cos(a) * 0.7) + std::cos(phi) * 0.3;
      } else if (T > t) {
        limb = falling;
        const double phi = ((t - tr) * pi) / tf;
        v = std::cos(phi) * 0.3 + 0.3;
      }
      row[s] = v;
      if (limbs) limbs->push_back(limb);
    }
  }
  double area = -0.0;
  for (double v : row) area = area + v * dt;
  const double scale = slip / area;
  for (double& v : row) v = v * scale;
  return row;
}

void expect_bits_equal(std::span<const double> got, const Values& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t s = 0; s < want.size(); ++s) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got[s]), std::bit_cast<std::uint64_t>(want[s]))
        << what << " sample " << s << ": " << got[s] << " vs " << want[s];
  }
}

std::string panic_message(auto&& call) {
  try {
    call();
  } catch (const Panic& p) {
    return p.message();
  }
  return "(no failure)";
}

TEST(PulseValidation, FirstBadInputIsReportedWithItsText) {
  struct Case {
    const char* name;
    Values slip, rise;
    std::optional<Values> beta;
    double dt;
    std::string message;
  };
  const std::string dt_text = " s samples nothing; dt must be positive and finite";
  const std::string agree = " subfaults; the per-subfault arrays must agree";
  const std::string range = "; the rising limb's fraction must be in (0, 0.5]";
  // clang-format off
  const Case cases[] = {
      {"zero dt, no subfaults", {}, {}, {}, 0.0, "a sample interval of 0" + dt_text},
      {"negative zero dt", {1}, {1}, {}, -0.0, "a sample interval of -0" + dt_text},
      {"NaN dt", {1}, {1}, {}, nan, "a sample interval of NaN" + dt_text},
      {"infinite dt", {1}, {1}, {}, inf, "a sample interval of inf" + dt_text},
      {"negative dt before lengths", {1, 1}, {1}, {}, -0.25,
       "a sample interval of -0.25" + dt_text},
      {"rise before beta", {1, 1, 1, 1}, {1, 1, 1}, Values{0.1}, 0.1,
       "rise_time_s has 3 values for 4" + agree},
      {"empty beta", {1, 1}, {1, 1}, Values{}, 0.1, "beta has 0 values for 2" + agree},
      {"beta past 0.5", {1}, {1}, Values{0.5000000000000001}, 0.1,
       "subfault 0 has beta = 0.5000000000000001" + range},
      {"zero beta", {1, 1}, {1, 1}, Values{0.2, 0.0}, 0.1, "subfault 1 has beta = 0" + range},
      {"negative zero beta", {1}, {1}, Values{-0.0}, 0.1, "subfault 0 has beta = -0" + range},
      {"NaN beta", {1}, {1}, Values{nan}, 0.1, "subfault 0 has beta = NaN" + range},
      {"infinite beta", {1}, {1}, Values{inf}, 0.1, "subfault 0 has beta = inf" + range},
      {"beta of a still subfault", {0}, {1}, Values{0.0}, 0.1, "subfault 0 has beta = 0" + range},
      {"betas before slips", {nan, 1}, {1, 1}, Values{0.2, 0.7}, 0.1,
       "subfault 1 has beta = 0.7" + range},
      {"infinite slip", {inf}, {1}, {}, 0.1, "subfault 0 has a slip of inf m"},
      {"NaN slip", {1, nan}, {1, 1}, Values{0.2, 0.2}, 0.1, "subfault 1 has a slip of NaN m"},
      {"slips before rise times", {1, -inf}, {nan, 1}, Values{0.2, 0.2}, 0.1,
       "subfault 1 has a slip of -inf m"},
      {"NaN rise time", {1}, {nan}, Values{0.2}, 0.1,
       "subfault 0 slips, but has a rise time of NaN s"},
      {"negative rise time", {-2}, {-0.5}, Values{0.2}, 0.1,
       "subfault 0 slips, but has a rise time of -0.5 s"},
      {"infinite rise time", {1}, {inf}, Values{0.2}, 0.1,
       "subfault 0 slips, but has a rise time of inf s"},
      {"bad rise after good ones", {1, 0, 2, 3}, {1, nan, 2, -1}, Values{0.2, 0.2, 0.2, 0.2}, 0.1,
       "subfault 3 slips, but has a rise time of -1 s"},
  };
  // clang-format on
  for (const Case& c : cases) {
    auto result = run(c.slip, c.rise, c.beta, c.dt);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().message(), c.message) << c.name;
  }
}

TEST(PulseValidation, ErrorsCarryTheirFields) {
  auto result = run({1, 1}, {1, 1}, Values{0.2, 0.75}, 0.1);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().value(), Error::Variant(Error::BetaOutOfRange{1, 0.75}));
  result = run({1, 1}, {1}, {}, 0.1);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().value(), Error::Variant(Error::LengthMismatch{2, 1, "rise_time_s"}));
}

TEST(PulseCounts, RowLengthsAndOffsets) {
  struct Case {
    const char* name;
    Values slip, rise;
    std::optional<Values> beta;
    double dt;
    std::vector<std::uint64_t> offsets;
  };
  const double above = std::nextafter(1e-4, 1.0);
  // clang-format off
  const Case cases[] = {
      {"no subfaults", {}, {}, {}, 0.1, {0}},
      {"no subfaults, empty beta", {}, {}, Values{}, 0.1, {0}},
      {"impulses", {0, 1, 0, 2}, {1, 1, 1, 1}, {}, 0.5, {0, 0, 3, 3, 6}},
      {"threshold", {1e-4, -1e-4, above, -above}, {1, 1, 1, 1}, {}, 0.1, {0, 0, 0, 3, 6}},
      {"rise unread without beta", {1, 1}, {nan, -3}, {}, 0.1, {0, 3, 6}},
      {"rise unread when still", {0, 1e-4}, {nan, -1}, Values{0.2, 0.2}, 0.1, {0, 0, 0}},
      {"zero rise times", {1, 1}, {0.0, -0.0}, Values{0.5, tiny}, 0.1, {0, 3, 6}},
      {"rounding, dt = 1", {1, 1, 1, 1, 1, 1},
       {0.49999999999999994, 1.4999999999999998, 1.5, 2.4999999999999996, 2.5, 10},
       Values{0.2, 0.2, 0.2, 0.2, 0.2, 0.2}, 1.0, {0, 3, 6, 9, 12, 16, 27}},
      {"subnormal dt", {1}, {1}, {}, tiny, {0, 3}},
  };
  // clang-format on
  for (const Case& c : cases) {
    auto result = run(c.slip, c.rise, c.beta, c.dt);
    ASSERT_TRUE(result.has_value()) << c.name << ": " << result.error().message();
    EXPECT_EQ(offsets_of(*result), c.offsets) << c.name;
    EXPECT_EQ(result->samples.size(), c.offsets.back()) << c.name;
  }
}

TEST(PulseCounts, RoundedSamplesSaturates) {
  struct Case {
    double rise, dt;
    std::uint64_t m;
  };
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  // clang-format off
  const Case cases[] = {
      {2.5, 1, 3},      {2.4999999999999996, 1, 2},
      {0.5, 1, 1},      {0.49999999999999994, 1, 0},
      {-0.0, 1, 0},     {-3, 1, 0},
      {nan, 1, 0},      {1, tiny, max},
      {0x1p64, 1, max}, {0x1p64 - 2048, 1, ~std::uint64_t{0} - 2047},
  };
  // clang-format on
  for (const Case& c : cases)
    EXPECT_EQ(rounded_samples(c.rise, c.dt), c.m) << c.rise << " / " << c.dt;
}

TEST(PulseCounts, NoSubfaultsStillCreatesThePool) {
  testing_processes::expect_in_fresh_process([](testing_processes::Complaints& c) {
    c.expect(!pool::pool_created(), "no pool before the first call");
    c.expect(!run({}, {}, {}, 0.0).has_value(), "a sample interval of 0 is refused");
    c.expect(!pool::pool_created(), "no pool after a call that fails validation");
    c.expect(run({}, {}, {}, 0.1).has_value(), "no subfaults at 0.1 s succeeds");
    c.expect(pool::pool_created(), "the pool exists after it");
  });
}

TEST(PulseCounts, TotalsPastTheLimitAreCapacityOverflow) {
  struct Case {
    const char* name;
    Values slip, rise;
    double dt;
  };
  // clang-format off
  const Case cases[] = {
      // rise / dt is infinite: m saturates and its row length would not fit 64 bits.
      {"subnormal dt", {1}, {1}, tiny},
      {"total of exactly 2^60", {1, 1}, {0x1p59 - 1, 0x1p59 - 1}, 1},
      // Each row fits, but the running total would wrap past 2^64 back to a small number.
      {"total wrapping 64 bits", {1, 1}, {0x1p63, 0x1p63}, 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    Values beta(c.slip.size(), 0.2);
    EXPECT_EQ(panic_message([&] { (void)run(c.slip, c.rise, beta, c.dt); }), "capacity overflow")
        << c.name;
  }
  // The pass still makes its rise-time checks before the overflow ends the call.
  auto result = run({1, 1}, {1, nan}, Values{0.2, 0.2}, tiny);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "subfault 1 slips, but has a rise time of NaN s");
}

TEST(PulseShapes, ImpulseAndSpikeRows) {
  struct Case {
    const char* name;
    double slip, rise;
    std::optional<double> beta;
    double dt;
    Values row;
  };
  // clang-format off
  const Case cases[] = {
      {"impulse", -2, nan, {}, 0.5, {0.0, -4.0, 0.0}},
      {"impulse, tiny dt", 1, 1, {}, tiny, {0.0, inf, 0.0}},
      {"spike", 3, 0.0, 0.2, 0.5, {0.0, 6.0, 0.0}},
      {"spike, negative slip", -3, -0.0, 0.2, 0.5, {-0.0, -6.0, -0.0}},
      {"spike, m = 1", 1, 1.4999999999999998, 0.3, 1, {0.0, 1.0, 0.0}},
      {"spike, tiny dt", 1, 0.0, 0.2, tiny, {nan, inf, nan}},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::optional<Values> beta;
    if (c.beta) beta = Values{*c.beta};
    auto result = run({c.slip}, {c.rise}, beta, c.dt);
    ASSERT_TRUE(result.has_value()) << c.name;
    ASSERT_EQ(result->samples.size(), 3u) << c.name;
    for (std::size_t s = 0; s < 3; ++s) {
      double got = result->samples[s], want = c.row[s];
      if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << c.name << " sample " << s;
      } else {
        EXPECT_EQ(got, want) << c.name << " sample " << s;
        EXPECT_EQ(std::signbit(got), std::signbit(want)) << c.name << " sign of sample " << s;
      }
    }
  }
}

TEST(PulseShapes, SinusoidRowsMatchTheLongWayAndUseTheRightLimbs) {
  struct Case {
    double slip, rise, beta, dt;
    std::string limbs;  // which limbs the row must use, in order
  };
  // clang-format off
  const Case cases[] = {
      {1.0, 1.0, 0.5, 0.01, "rm"},                                // beta = 0.5: no falling limb
      {-2.0, 1.0, 0.2, 0.01, "rmf"}, {0.5, 2.5, 0.5, 1.0, "rm"},  // 4 samples, two of them shaped
      {0.5, 2.5, 0.2, 1.0, "f"},     {1.0, 1.5, 0.4, 1.0, "m"},  // 3 samples, the middle one shaped
      {1.0, 3.0, tiny, 0.1, "f"},                                // Tr = 0: only the falling limb
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "rise " << c.rise << ", beta " << c.beta << ", dt " << c.dt);
    std::string limbs;
    Values want = reference_row(c.slip, c.rise, c.beta, c.dt, &limbs);
    std::string runs;
    for (char l : limbs) {
      if (runs.empty() || runs.back() != l) runs.push_back(l);
    }
    EXPECT_EQ(runs, c.limbs);
    auto result = run({c.slip}, {c.rise}, Values{c.beta}, c.dt);
    ASSERT_TRUE(result.has_value());
    expect_bits_equal(result->samples.span(), want, "row");
    EXPECT_EQ(result->samples[0], 0.0);
    EXPECT_EQ(result->samples[result->samples.size() - 1], 0.0);
    EXPECT_EQ(std::signbit(result->samples[0]), std::signbit(c.slip));
  }
}

struct RandomInputs {
  Values slip, rise, beta;
  double dt;
};

RandomInputs random_inputs(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double dts[] = {0.01, 0.05, 0.1, 1.0};
  RandomInputs in{{}, {}, {}, dts[gen() % 4]};
  for (std::size_t k = 0; k < n; ++k) {
    // About one subfault in eight does not slip.
    double slip = gen() % 8 == 0 ? 1e-4 * unit(gen) : (unit(gen) - 0.5) * 20.0;
    in.slip.push_back(slip);
    in.rise.push_back(5.0 * unit(gen));
    in.beta.push_back(std::max(0.5 * unit(gen), tiny));
  }
  return in;
}

TEST(PulseShapes, RowsIntegrateToTheSlip) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    RandomInputs in = random_inputs(300, seed);
    for (bool with_beta : {true, false}) {
      auto result = run(in.slip, in.rise, with_beta ? std::optional(in.beta) : std::nullopt, in.dt);
      ASSERT_TRUE(result.has_value());
      const Pulses& p = *result;
      for (std::size_t k = 0; k < in.slip.size(); ++k) {
        const std::size_t begin = p.offsets[k], end = p.offsets[k + 1];
        if (!(std::fabs(in.slip[k]) > 1e-4)) {
          EXPECT_EQ(begin, end) << "subfault " << k;
          continue;
        }
        double sum = 0.0;
        for (std::size_t s = begin; s < end; ++s) sum += p.samples[s];
        const double slip = in.slip[k];
        // Two sums of L terms (the area and this one) each carry up to about L/2 roundings.
        const double ulps = static_cast<double>(end - begin) + 4.0;
        EXPECT_NEAR(in.dt * sum, slip,
                    ulps * std::numeric_limits<double>::epsilon() * std::fabs(slip))
            << "seed " << seed << " subfault " << k << " of " << end - begin << " samples";
        EXPECT_EQ(p.samples[begin], 0.0);
        EXPECT_EQ(p.samples[end - 1], 0.0);
      }
    }
  }
}

// The rows do not depend on how the work items are spread over threads: whatever the pool's size,
// the kernel gives what one thread computing row after row gives.
TEST(PulseFill, SamplesEqualARowByRowEvaluation) {
  for (std::size_t n : {1u, 63u, 64u, 65u, 129u, 5000u}) {
    RandomInputs in = random_inputs(n, n);
    auto result = run(in.slip, in.rise, in.beta, in.dt);
    ASSERT_TRUE(result.has_value());
    Values want;
    for (std::size_t k = 0; k < n; ++k) {
      Values row = reference_row(in.slip[k], in.rise[k], in.beta[k], in.dt);
      ASSERT_EQ(result->offsets[k + 1] - result->offsets[k], row.size());
      want.insert(want.end(), row.begin(), row.end());
    }
    expect_bits_equal(result->samples.span(), want, "n = " + std::to_string(n));
  }
}

// A broken layout is an internal failure, never a write outside the work item's view.
TEST(PulseFill, BrokenLayoutsFailInsideTheirView) {
  struct Case {
    const char* name;
    std::vector<std::uint64_t> offsets;
    std::uint64_t lo, hi;
    std::size_t view;
    bool with_beta;
    double rise;
    const char* failure;  // nullptr: the fill succeeds
  };
  // clang-format off
  const Case cases[] = {
      {"reversed item", {0, 3, 6}, 2, 1, 6, false, 1,
       "work item of subfaults 2..1 is outside 3 offsets"},
      {"item past the offsets", {0, 3}, 0, 2, 3, false, 1,
       "work item of subfaults 0..2 is outside 2 offsets"},
      {"item past the arrays", {0, 3, 6, 9}, 0, 3, 9, false, 1,
       "work item of subfaults 0..3 is outside the per-subfault arrays"},
      {"reversed row", {0, 3, 2}, 0, 2, 3, false, 1,
       "row 3..2 of subfault 1 is outside its work item 0..3"},
      {"row past the view", {0, 3, 6}, 0, 2, 5, false, 1,
       "row 3..6 of subfault 1 is outside its work item 0..5"},
      {"impulse into 2 samples", {0, 2, 5}, 0, 2, 5, false, 1,
       "an impulse needs a row of 3 samples, not 2"},
      {"spike into 4 samples", {0, 4, 7}, 0, 2, 7, true, 0.0,
       "a spike needs a row of 3 samples, not 4"},
      // m = 100, but the row holds 5 samples: the sinusoid stops at the row's end.
      {"short sinusoid row", {0, 5, 10}, 0, 2, 10, true, 1.0, nullptr},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double sentinel = 12345.0;
    Values buffer(c.view + 2, sentinel);
    for (std::size_t s = 1; s <= c.view; ++s) buffer[s] = 0.0;
    const Values slip{1.0, 1.0}, rise{c.rise, c.rise}, beta{0.2, 0.2};
    FillContext context{slip, rise, std::nullopt, 0.01, c.offsets};
    if (c.with_beta) context.beta = std::span<const double>(beta);
    PulseChunk chunk{c.lo, c.hi, std::span<double>(buffer).subspan(1, c.view)};
    std::string got = panic_message([&] { fill_chunk(context, chunk); });
    EXPECT_EQ(got, c.failure ? c.failure : "(no failure)");
    EXPECT_EQ(buffer.front(), sentinel);
    EXPECT_EQ(buffer.back(), sentinel);
  }
}

}  // namespace
}  // namespace kernels::pulse
