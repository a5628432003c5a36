// Slip-rate pulses: one row of samples per subfault, normalised to the subfault's slip, laid out as
// compressed rows (offsets[k] .. offsets[k + 1] of one samples buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "buffer.hpp"

namespace kernels::pulse {

// A subfault slips when the absolute value of its slip is strictly greater.
inline constexpr double slip_threshold_m = 1e-4;
// Subfaults per work item of the parallel fill.
inline constexpr std::size_t chunk_subfaults = 64;
// The samples buffer holds fewer values than this (its byte size must fit a signed 64-bit value).
inline constexpr std::uint64_t sample_limit = std::uint64_t{1} << 60;

class Error {
 public:
  struct LengthMismatch {
    std::uint64_t subfaults;
    std::uint64_t values;
    std::string_view array;  // "rise_time_s" or "beta"
    bool operator==(const LengthMismatch&) const = default;
  };
  struct BadSampleInterval {
    double dt;
    bool operator==(const BadSampleInterval&) const = default;
  };
  struct NonFiniteSlip {
    std::uint64_t subfault;
    double slip;
    bool operator==(const NonFiniteSlip&) const = default;
  };
  struct BetaOutOfRange {
    std::uint64_t subfault;
    double beta;
    bool operator==(const BetaOutOfRange&) const = default;
  };
  struct BadRiseTime {
    std::uint64_t subfault;
    double rise;
    bool operator==(const BadRiseTime&) const = default;
  };
  using Variant =
      std::variant<LengthMismatch, BadSampleInterval, NonFiniteSlip, BetaOutOfRange, BadRiseTime>;

  template <class V>
  requires std::is_constructible_v<Variant, V> Error(V v) : value_(std::move(v)) {}

  const Variant& value() const noexcept { return value_; }
  // The display text, which the Python entry raises as the ValueError's message.
  std::string message() const;

 private:
  Variant value_;
};

struct Pulses {
  Buffer<std::uint64_t> offsets;  // n + 1 values, offsets[0] = 0, never decreasing
  Buffer<double> samples;         // offsets[n] values
};

// Validates the inputs, counts and lays out the rows and fills them on the worker pool. An absent
// beta gives every slipping subfault the impulse; an empty span is a given beta of length 0.
std::expected<Pulses, Error> synthesise_pulses(std::span<const double> slip,
                                               std::span<const double> rise,
                                               std::optional<std::span<const double>> beta,
                                               double dt);

// round(rise / dt) as a sample count: NaN and negatives give 0, 2^64 and above 2^64 - 1. The count
// pass and shape_row must agree on it to the bit, so both call this.
std::uint64_t rounded_samples(double rise, double dt);

// What every work item reads, shared and read-only during the fill.
struct FillContext {
  std::span<const double> slip;
  std::span<const double> rise;
  std::optional<std::span<const double>> beta;
  double dt;
  std::span<const std::uint64_t> offsets;
};

// Subfaults lo .. hi - 1 and the part of the samples buffer holding exactly their rows.
struct PulseChunk {
  std::uint64_t lo;
  std::uint64_t hi;
  std::span<double> view;
};

// Cuts samples into work items and fills them on the pool; returns when all are done.
void fill(std::span<double> samples, const FillContext& context);

// Fills every row of one work item; the view must hold only +0.0.
void fill_chunk(const FillContext& context, const PulseChunk& chunk);

// The unnormalised shape of a subfault with beta: the spike template, or samples 1 .. m - 1 of the
// sinusoid. Other samples are left as they are.
void shape_row(std::span<double> row, double rise, double beta, double dt);

}  // namespace kernels::pulse
