// First-arrival times of a rupture front over a fault grid, by factored fast sweeping.
// The method and its papers are described at the top of eikonal.cpp.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <type_traits>

#include "buffer.hpp"

namespace kernels::eikonal {

// A cell where the front starts, and when. The boundary builds a Buffer of these.
struct Seed {
  std::uint64_t i, j;
  double t0;
};
static_assert(std::is_trivially_copyable_v<Seed> && sizeof(Seed) == 24);

// Every failure the caller's input causes. Holds no owned data and is passed by value; only the
// fields of its kind are meaningful.
class Error {
 public:
  enum class Kind {
    EmptyGrid,
    SizeMismatch,
    BadSpacing,
    BadSlowness,
    NoSeeds,
    SeedOutside,
    SeedTime,
    NotSettled,
  };

  static Error empty_grid(std::uint64_t rows, std::uint64_t cols);
  static Error size_mismatch(std::uint64_t rows, std::uint64_t cols, std::uint64_t len);
  static Error bad_spacing(double value, const char* axis);
  static Error bad_slowness(std::uint64_t i, std::uint64_t j, double value);
  static Error no_seeds();
  static Error seed_outside(std::uint64_t index, std::uint64_t i, std::uint64_t j,
                            std::uint64_t rows, std::uint64_t cols);
  static Error seed_time(std::uint64_t index, double t0);
  static Error not_settled(std::uint64_t rounds, double contrast);

  Kind kind() const noexcept { return kind_; }
  // The exact text of the ValueError raised at the Python boundary.
  std::string message() const;

 private:
  explicit Error(Kind kind) noexcept : kind_(kind) {}

  Kind kind_;
  std::uint64_t rows_ = 0, cols_ = 0, len_ = 0;  // grid shape, slowness count
  std::uint64_t index_ = 0, i_ = 0, j_ = 0;      // seed position, cell
  std::uint64_t rounds_ = 0;
  double value_ = 0.0;  // spacing, slowness, start time or contrast
  const char* axis_ = "";
};

// What one seed's solve cost; filled when asked for (tests and the benchmark).
struct SeedStats {
  std::uint64_t rounds = 0;   // rounds run, the settling one included
  std::uint64_t updates = 0;  // cell updates evaluated
  std::uint64_t skipped = 0;  // cell updates skipped because no neighbour had changed
};

// Travel times in seconds, row-major like `slowness`: for every cell the earliest over the seeds
// of start time plus travel time. Validates everything before allocating anything.
std::expected<Buffer<double>, Error> solve(std::span<const double> slowness, std::uint64_t rows,
                                           std::uint64_t cols, std::span<const Seed> seeds,
                                           double d_i, double d_j);

// One seed's travel-time field (its start time not added) over validated input. `smin` is the
// smallest slowness of the grid, which sets the settle tolerance.
std::expected<Buffer<double>, Error> single_seed(std::span<const double> slowness,
                                                 std::uint64_t rows, std::uint64_t cols,
                                                 std::uint64_t i0, std::uint64_t j0, double d_i,
                                                 double d_j, double smin,
                                                 SeedStats* stats = nullptr);

}  // namespace kernels::eikonal
