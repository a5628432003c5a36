// The random field draw: a pair of independent Gaussian fields with the covariance of a circulant
// embedding, from one draw of complex white noise on the padded grid (Dietrich & Newsam 1997).
//
// The noise of padded cell (k, l) is a pair of standard normals scaled by the mirrored amplitude
// quadrant; unnormalised inverse FFTs along every padded row, then along the first K columns, a
// scale of 1/sqrt(P·C) and a crop to the R x K fault give the fields as the real and imaginary parts.
// The noise comes in row blocks of 32 padded rows, each from its own random stream, so the result
// does not depend on the number of worker threads.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "buffer.hpp"

namespace kernels::field {

class Error {
 public:
  enum class Kind { EmptyEmbedding, QuadrantMismatch, FaultDoesNotFit };

  static Error empty_embedding(std::uint64_t padded_rows, std::uint64_t padded_cols) {
    return Error(Kind::EmptyEmbedding, padded_rows, padded_cols, 0, 0);
  }
  static Error quadrant_mismatch(std::uint64_t padded_rows, std::uint64_t padded_cols,
                                 std::uint64_t quad_rows, std::uint64_t quad_cols) {
    return Error(Kind::QuadrantMismatch, padded_rows, padded_cols, quad_rows, quad_cols);
  }
  static Error fault_does_not_fit(std::uint64_t cell_rows, std::uint64_t cell_cols,
                                  std::uint64_t padded_rows, std::uint64_t padded_cols) {
    return Error(Kind::FaultDoesNotFit, padded_rows, padded_cols, cell_rows, cell_cols);
  }

  Kind kind() const noexcept { return kind_; }
  // The display text: the message of the ValueError the Python entry raises.
  std::string message() const;

 private:
  Error(Kind kind, std::uint64_t p, std::uint64_t c, std::uint64_t a, std::uint64_t b)
      : kind_(kind), padded_rows_(p), padded_cols_(c), a_(a), b_(b) {}

  Kind kind_;
  std::uint64_t padded_rows_, padded_cols_;
  std::uint64_t a_, b_;  // the quadrant's shape, or the fault's
};

struct Fields {
  Buffer<double> real;       // R x K, row-major
  Buffer<double> imaginary;  // R x K, row-major
};

// amplitudes: the quad_rows x quad_cols quadrant, row-major. Runs its loops on the worker pool.
std::expected<Fields, Error> draw(std::span<const double> amplitudes, std::uint64_t quad_rows,
                                  std::uint64_t quad_cols, std::uint64_t padded_rows,
                                  std::uint64_t padded_cols, std::uint64_t cell_rows,
                                  std::uint64_t cell_cols, std::uint64_t seed);

}  // namespace kernels::field
