#include "pulse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "failure.hpp"
#include "number_text.hpp"
#include "pool.hpp"

namespace kernels::pulse {
namespace {

constexpr double pi = 3.141592653589793;

std::string index_text(std::uint64_t k) { return std::to_string(k); }

// Writes the shape of one row with beta and returns its area: the running sum of row[s] * dt from
// -0.0 in sample order over the whole row, taken while the samples are made so that the row is
// not walked twice. The sum sees exactly the sequence of additions a separate pass would.
double shape_with_area(std::span<double> row, double rise, double beta, double dt) {
  const std::uint64_t m = rounded_samples(rise, dt);
  const std::size_t len = row.size();
  if (m < 2) {
    if (len != 3) panic("a spike needs a row of 3 samples, not " + index_text(len));
    row[0] = 0.0;
    row[1] = 1.0;
    row[2] = 0.0;
    double area = -0.0;
    for (double v : row) area = area + v * dt;
    return area;
  }

  const double tr = beta * rise;
  const double tr2 = tr + tr;
  const double tf = rise - tr;
  // Sample m is never shaped; a row shorter than m + 1 bounds the loop by itself.
  const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(m, len));
  double area = -0.0;
  if (len > 0) area = area + row[0] * dt;
  // t grows with s, so each limb is one run of consecutive samples: walk the runs in order
  // instead of choosing a limb per sample.
  std::size_t s = 1;
  for (; s < end; ++s) {
    const double t = static_cast<double>(s) * dt;
    if (!(tr > t)) break;
    const double alpha = (t * pi) / tr;
    const double v = (0.7 - std::cos(alpha) * 0.7) + std::sin(alpha * 0.5) * 0.6;
    row[s] = v;
    area = area + v * dt;
  }
  for (; s < end; ++s) {
    const double t = static_cast<double>(s) * dt;
    if (!(tr2 > t)) break;
    const double alpha = (t * pi) / tr;
    const double phi = ((t - tr) * pi) / tf;
    const double v = (1.0 - std::cos(alpha) * 0.7) + std::cos(phi) * 0.3;
    row[s] = v;
    area = area + v * dt;
  }
  for (; s < end; ++s) {
    const double t = static_cast<double>(s) * dt;
    if (!(rise > t)) break;
    const double phi = ((t - tr) * pi) / tf;
    const double v = std::cos(phi) * 0.3 + 0.3;
    row[s] = v;
    area = area + v * dt;
  }
  for (; s < end; ++s) {
    row[s] = 0.0;
    area = area + row[s] * dt;
  }
  for (; s < len; ++s) area = area + row[s] * dt;
  return area;
}

}  // namespace

std::string Error::message() const {
  struct Text {
    std::string operator()(const LengthMismatch& e) const {
      return std::string(e.array) + " has " + index_text(e.values) + " values for " +
             index_text(e.subfaults) + " subfaults; the per-subfault arrays must agree";
    }
    std::string operator()(const BadSampleInterval& e) const {
      return "a sample interval of " + number_text(e.dt) +
             " s samples nothing; dt must be positive and finite";
    }
    std::string operator()(const NonFiniteSlip& e) const {
      return "subfault " + index_text(e.subfault) + " has a slip of " + number_text(e.slip) + " m";
    }
    std::string operator()(const BetaOutOfRange& e) const {
      return "subfault " + index_text(e.subfault) + " has beta = " + number_text(e.beta) +
             "; the rising limb's fraction must be in (0, 0.5]";
    }
    std::string operator()(const BadRiseTime& e) const {
      return "subfault " + index_text(e.subfault) + " slips, but has a rise time of " +
             number_text(e.rise) + " s";
    }
  };
  return std::visit(Text{}, value_);
}

std::uint64_t rounded_samples(double rise, double dt) {
  const double r = std::round(rise / dt);
  if (!(r > 0.0)) return 0;
  if (r >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(r);
}

void shape_row(std::span<double> row, double rise, double beta, double dt) {
  shape_with_area(row, rise, beta, dt);
}

void fill_chunk(const FillContext& context, const PulseChunk& chunk) {
  const auto offsets = context.offsets;
  const std::uint64_t lo = chunk.lo, hi = chunk.hi;
  if (lo > hi || hi >= offsets.size()) {
    panic("work item of subfaults " + index_text(lo) + ".." + index_text(hi) + " is outside " +
          index_text(offsets.size()) + " offsets");
  }
  if (hi > context.slip.size() ||
      (context.beta && (hi > context.rise.size() || hi > context.beta->size()))) {
    panic("work item of subfaults " + index_text(lo) + ".." + index_text(hi) +
          " is outside the per-subfault arrays");
  }
  const std::uint64_t base = offsets[lo];
  const double dt = context.dt;
  for (std::uint64_t k = lo; k < hi; ++k) {
    const std::uint64_t start = offsets[k], end = offsets[k + 1];
    if (end < start || start < base || end - base > chunk.view.size()) {
      panic("row " + index_text(start) + ".." + index_text(end) + " of subfault " + index_text(k) +
            " is outside its work item " + index_text(base) + ".." +
            index_text(base + chunk.view.size()));
    }
    if (start == end) continue;
    std::span<double> row = chunk.view.subspan(start - base, end - start);
    const double slip = context.slip[k];
    if (!context.beta) {
      if (row.size() != 3) {
        panic("an impulse needs a row of 3 samples, not " + index_text(row.size()));
      }
      row[0] = 0.0;
      row[1] = slip / dt;
      row[2] = 0.0;
      continue;
    }
    const double area = shape_with_area(row, context.rise[k], (*context.beta)[k], dt);
    const double scale = slip / area;
    for (double& v : row) v = v * scale;
  }
}

void fill(std::span<double> samples, const FillContext& context) {
  const std::size_t n = context.slip.size();
  assert_equal(context.offsets.size(), n + 1, "offsets for the subfaults");
  const auto offsets = context.offsets;
  Buffer<PulseChunk> items =
      Buffer<PulseChunk>::with_capacity((n + chunk_subfaults - 1) / chunk_subfaults);
  std::size_t cursor = 0;
  for (std::size_t lo = 0; lo < n; lo += chunk_subfaults) {
    const std::size_t hi = std::min(lo + chunk_subfaults, n);
    const std::uint64_t len = offsets[hi] - offsets[lo];
    if (offsets[hi] < offsets[lo] || len > samples.size() - cursor) {
      panic("the rows of subfaults " + index_text(lo) + ".." + index_text(hi) +
            " run past the samples buffer");
    }
    items.push_back(PulseChunk{lo, hi, samples.subspan(cursor, len)});
    cursor += len;
  }
  pool::for_each_item(items.span(),
                      [&](std::size_t, PulseChunk& chunk) { fill_chunk(context, chunk); });
}

std::expected<Pulses, Error> synthesise_pulses(std::span<const double> slip,
                                               std::span<const double> rise,
                                               std::optional<std::span<const double>> beta,
                                               double dt) {
  const std::size_t n = slip.size();
  if (!(dt > 0.0) || !std::isfinite(dt)) return std::unexpected(Error::BadSampleInterval{dt});
  if (rise.size() != n)
    return std::unexpected(Error::LengthMismatch{n, rise.size(), "rise_time_s"});
  if (beta && beta->size() != n) {
    return std::unexpected(Error::LengthMismatch{n, beta->size(), "beta"});
  }
  if (beta) {
    for (std::size_t k = 0; k < n; ++k) {
      const double b = (*beta)[k];
      if (!(b > 0.0 && b <= 0.5)) return std::unexpected(Error::BetaOutOfRange{k, b});
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (!std::isfinite(slip[k])) return std::unexpected(Error::NonFiniteSlip{k, slip[k]});
  }

  Buffer<std::uint64_t> offsets = Buffer<std::uint64_t>::zeroed(n + 1);
  // The running total saturates at the sample limit instead of wrapping: a count or a sum past
  // 2^64 (a saturated m, or rows that add up beyond the unsigned range) then meets the same
  // "capacity overflow" as any total of 2^60 or more, after the pass has made its rise-time
  // checks. The offsets of such a call are never used, so no row can be laid out past the buffer.
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < n; ++k) {
    std::uint64_t count = 0;
    if (std::fabs(slip[k]) > slip_threshold_m) {
      if (!beta) {
        count = 3;
      } else {
        const double r = rise[k];
        if (!std::isfinite(r) || r < 0.0) return std::unexpected(Error::BadRiseTime{k, r});
        const std::uint64_t m = rounded_samples(r, dt);
        count = m >= sample_limit ? sample_limit : std::max<std::uint64_t>(m, 2) + 1;
      }
    }
    total = count >= sample_limit - total ? sample_limit : total + count;
    offsets[k + 1] = total;
  }
  if (total >= sample_limit) panic("capacity overflow");

  Buffer<double> samples = Buffer<double>::zeroed(total);
  fill(samples.span(), FillContext{slip, rise, beta, dt, offsets.span()});
  return Pulses{std::move(offsets), std::move(samples)};
}

}  // namespace kernels::pulse
