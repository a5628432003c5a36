#include "field.hpp"

#include <fftw3.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "fork_safe.hpp"
#include "pool.hpp"
#include "random.hpp"

namespace kernels::field {
namespace {

constexpr std::uint64_t cols_per_block = 16;
constexpr std::uint64_t rows_per_chunk = 32;
// Every transform buffer shares one alignment, so a plan made on one buffer is valid on all.
constexpr std::size_t cell_alignment = 64;

std::uint64_t blocks_of(std::uint64_t n, std::uint64_t per_block) {
  return n / per_block + (n % per_block != 0);
}

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  if (__builtin_mul_overflow(a, b, &product)) panic("capacity overflow");
  return product;
}

using Cells = Buffer<Cell>;

// Room for `count` cells, for the call's own use. Room large enough to be a mapping is rounded up
// to whole huge pages, so that its last pages are one huge page, faulted in at once, rather than up
// to 511 ordinary ones. Only the fields outlive the call, and split_block cuts them to their pages.
Cells aligned_cells(std::uint64_t count) {
  constexpr std::uint64_t cells_per_huge_page = huge_page_bytes / sizeof(Cell);
  if (is_mapped_block(block_bytes(count, sizeof(Cell)))) {
    count = blocks_of(count, cells_per_huge_page) * cells_per_huge_page;
  }
  return Cells::with_capacity_aligned(count, cell_alignment);
}

// `count` blocks of `per_block` cells (the last one shorter) laid end to end in one allocation: a
// grid large enough is one mapping that the kernel can back with huge pages. A huge page can hold
// parts of several blocks, and is faulted in by whichever thread first writes any of them.
class BlockGrid {
 public:
  BlockGrid(std::uint64_t count, std::uint64_t per_block, std::uint64_t total)
      : cells_(aligned_cells(total)), count_(count), per_block_(per_block) {
    cells_.set_size(total);
  }

  std::size_t size() const noexcept { return count_; }
  std::span<Cell> operator[](std::size_t b) noexcept { return block(cells_.data(), b); }
  std::span<const Cell> operator[](std::size_t b) const noexcept {
    return block(const_cast<Cell*>(cells_.data()), b);
  }
  // The grid's storage, for reuse once no block is read any more.
  Cells take_cells() && { return std::move(cells_); }

 private:
  std::span<Cell> block(Cell* cells, std::size_t b) const noexcept {
    std::size_t first = b * per_block_;
    return {cells + first, std::min<std::size_t>(per_block_, cells_.size() - first)};
  }

  Cells cells_;
  std::uint64_t count_, per_block_;
};

// Scratch buffers of one size for the tasks of one loop: a task takes one and gives it back when
// it ends, so a loop makes no more of them than it runs tasks at once, and they stay warm.
class Scratch {
 public:
  explicit Scratch(std::uint64_t cells) : cells_(cells) { spare_.reserve(pool::thread_count()); }

  class Lease {
   public:
    explicit Lease(Scratch& owner) : owner_(&owner), cells_(owner.take()) {}
    Lease(Lease&& other) noexcept
        : owner_(std::exchange(other.owner_, nullptr)), cells_(std::move(other.cells_)) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (owner_ != nullptr) owner_->give_back(std::move(cells_));
    }
    Cell* data() noexcept { return cells_.data(); }

   private:
    Scratch* owner_;
    Cells cells_;
  };

 private:
  Cells take() {
    {
      std::lock_guard lock(lock_);
      if (!spare_.empty()) {
        Cells cells = std::move(spare_.back());
        spare_.pop_back();
        return cells;
      }
    }
    return aligned_cells(cells_);
  }
  void give_back(Cells cells) noexcept {
    std::lock_guard lock(lock_);
    if (spare_.size() < spare_.capacity()) spare_.push_back(std::move(cells));
  }

  std::uint64_t cells_;
  std::mutex lock_;
  std::vector<Cells> spare_;
};

// FFTW's planner is not thread-safe, and several Python threads may draw at once. A fork waits
// for planning under way to end: the child gets the planner's state whole.
ForkSafeMutex planner_lock;

// An unnormalised inverse transform of `length` points over `batch` consecutive runs, in place.
// Planned with FFTW_ESTIMATE only: a measuring planner may choose differently from one call to
// the next, and the same arguments must give the same bits every time.
class InverseTransform {
 public:
  InverseTransform(std::uint64_t length, std::uint64_t batch, Cell* aligned_buffer) {
    if (length > INT_MAX || batch > INT_MAX) panic("transform too large for FFTW");
    int n = static_cast<int>(length);
    auto* buffer = reinterpret_cast<fftw_complex*>(aligned_buffer);
    std::lock_guard lock(planner_lock);
    plan_ = fftw_plan_many_dft(1, &n, static_cast<int>(batch), buffer, nullptr, 1, n, buffer,
                               nullptr, 1, n, FFTW_BACKWARD, FFTW_ESTIMATE);
    if (plan_ == nullptr) panic("FFTW could not plan a transform of length " +
                                std::to_string(length));
  }
  InverseTransform(const InverseTransform&) = delete;
  InverseTransform& operator=(const InverseTransform&) = delete;
  ~InverseTransform() {
    std::lock_guard lock(planner_lock);
    fftw_destroy_plan(plan_);
  }

  // Safe from several threads at once: executing a plan does not change it.
  void run(Cell* cells) const {
    auto* buffer = reinterpret_cast<fftw_complex*>(cells);
    fftw_execute_dft(plan_, buffer, buffer);
  }

 private:
  fftw_plan plan_;
};

// One plan of `batch` transforms, run on whole blocks only, a short last block padded: FFTW may
// plan a smaller batch another way (a batch of one does), and a column's bits must not depend on
// how many columns a draw keeps.
class PaddedBatchTransform {
 public:
  PaddedBatchTransform(std::uint64_t length, std::uint64_t batch)
      : transform_(length, batch, aligned_cells(checked_product(length, batch)).data()) {}

  void run(Cell* block) const { transform_.run(block); }

 private:
  InverseTransform transform_;
};

// Plans for full batches and for the one shorter batch at the end, when there is one.
class BatchedTransform {
 public:
  BatchedTransform(std::uint64_t length, std::uint64_t total, std::uint64_t per_batch) {
    std::uint64_t full = std::min(total, per_batch);
    std::uint64_t rest = total > per_batch ? total % per_batch : 0;
    if (full == 0) return;
    Cells planning = aligned_cells(checked_product(length, full));
    full_.emplace(length, full, planning.data());
    full_batch_ = full;
    if (rest != 0) rest_.emplace(length, rest, planning.data());
  }

  void run(Cell* cells, std::uint64_t batch) const {
    (batch == full_batch_ ? *full_ : *rest_).run(cells);
  }

 private:
  std::optional<InverseTransform> full_, rest_;
  std::uint64_t full_batch_ = 0;
};

std::optional<Error> validate(std::size_t amplitudes, std::uint64_t quad_rows,
                              std::uint64_t quad_cols, std::uint64_t P, std::uint64_t C,
                              std::uint64_t R, std::uint64_t K) {
  if (P == 0 || C == 0) return Error::empty_embedding(P, C);
  if (quad_rows != P / 2 + 1 || quad_cols != C / 2 + 1) {
    return Error::quadrant_mismatch(P, C, quad_rows, quad_cols);
  }
  if (R > P || K > C) return Error::fault_does_not_fit(R, K, P, C);
  std::uint64_t needed;
  if (__builtin_mul_overflow(quad_rows, quad_cols, &needed)) needed = UINT64_MAX;
  assert_equal(amplitudes, needed);
  return std::nullopt;
}

struct Shape {
  std::uint64_t P, C, R, K;
};

// Row pass: noise and row transforms of every padded row, one row block of 32 rows at a time.
// Only the first K columns are read afterwards, so unless that is all of them, a block is made in
// a scratch buffer and only those columns are kept.
BlockGrid row_pass(const Shape& shape, std::span<const Lcg128Xsl64> streams,
                   std::span<const double> amplitudes, std::uint64_t quad_cols,
                   const BatchedTransform& rows) {
  BlockGrid blocks(blocks_of(shape.P, ROWS_PER_BLOCK), checked_product(ROWS_PER_BLOCK, shape.K),
                   checked_product(shape.P, shape.K));
  const bool cropped = shape.K != shape.C;
  Scratch scratch(cropped ? checked_product(ROWS_PER_BLOCK, shape.C) : 0);
  pool::for_each_with_state(
      blocks.size(), [&] { return Scratch::Lease(scratch); },
      [&](std::size_t b, Scratch::Lease& work) {
        std::uint64_t n = std::min<std::uint64_t>(shape.P - b * ROWS_PER_BLOCK, ROWS_PER_BLOCK);
        std::span<Cell> kept = blocks[b];
        std::span<Cell> block = cropped ? std::span<Cell>(work.data(), n * shape.C) : kept;
        fill_row_block(b, block, streams, shape.P, shape.C, amplitudes, quad_cols);
        rows.run(block.data(), n);
        if (!cropped) return;
        for (std::uint64_t q = 0; q < n; ++q) {
          std::copy_n(block.data() + q * shape.C, shape.K, kept.data() + q * shape.K);
        }
      });
  return blocks;
}

// Column pass: the first K columns, gathered 16 at a time into a contiguous buffer (strided
// transforms of power-of-two columns alias in the cache), transformed, cropped to R rows. A last
// block of fewer columns is filled up with zeros, so that every block runs the same plan. The
// gather buffers are leased: every cell of one is written before it is transformed, so what a
// task before left there is never read.
BlockGrid column_pass(const Shape& shape, const BlockGrid& row_blocks) {
  BlockGrid blocks(blocks_of(shape.K, cols_per_block), checked_product(cols_per_block, shape.R),
                   checked_product(shape.K, shape.R));
  if (shape.R == 0 || blocks.size() == 0) return blocks;
  PaddedBatchTransform columns(shape.P, cols_per_block);
  Scratch gathers(checked_product(cols_per_block, shape.P));
  pool::for_each_with_state(
      blocks.size(), [&] { return Scratch::Lease(gathers); },
      [&](std::size_t h, Scratch::Lease& gathered) {
        std::uint64_t first = h * cols_per_block;
        std::uint64_t m = std::min<std::uint64_t>(shape.K - first, cols_per_block);
        Cell* out = gathered.data();
        for (std::uint64_t i = 0; i < shape.P; ++i) {
          const Cell* row = row_blocks[i / ROWS_PER_BLOCK].data() +
                            (i % ROWS_PER_BLOCK) * shape.K + first;
          for (std::uint64_t t = 0; t < m; ++t) out[t * shape.P + i] = row[t];
        }
        std::fill(out + m * shape.P, out + cols_per_block * shape.P, Cell{});
        columns.run(out);
        std::span<Cell> block = blocks[h];
        for (std::uint64_t t = 0; t < m; ++t) {
          std::copy_n(out + t * shape.P, shape.R, block.data() + t * shape.R);
        }
      });
  return blocks;
}

// The two fields, in the pages of the spent row grid when they fit there: those are faulted in
// already, which fresh pages of the same size would not be (all but each field's tail past its
// last whole huge page, which split_block gives back). Either way every cell is written.
Fields output_fields(Cells spent, std::uint64_t cells) {
  if (auto reused = spent.split_in_two<double>(cells)) {
    return {std::move(reused->first), std::move(reused->second)};
  }
  spent = Cells();  // its pages go back before fresh ones are taken
  return {Buffer<double>::zeroed(cells), Buffer<double>::zeroed(cells)};
}

// Output pass: scale and scatter the column blocks into row-major fields, 32 rows per chunk.
Fields row_major_parts(const Shape& shape, const BlockGrid& column_blocks, Cells spent,
                       double scale) {
  std::uint64_t cells = checked_product(shape.R, shape.K);
  Fields fields = output_fields(std::move(spent), cells);
  if (cells == 0) return fields;
  pool::for_each_chunk_pair(
      fields.real.span(), fields.imaginary.span(), rows_per_chunk * shape.K,
      [&](std::size_t a, std::span<double> real, std::span<double> imaginary) {
        std::uint64_t first_row = a * rows_per_chunk;
        std::uint64_t rows = real.size() / shape.K;
        for (std::uint64_t h = 0; h < column_blocks.size(); ++h) {
          const Cell* block = column_blocks[h].data();
          std::uint64_t first_col = h * cols_per_block;
          std::uint64_t m = std::min<std::uint64_t>(shape.K - first_col, cols_per_block);
          for (std::uint64_t q = 0; q < rows; ++q) {
            std::uint64_t r = first_row + q;
            double* real_row = real.data() + q * shape.K + first_col;
            double* imaginary_row = imaginary.data() + q * shape.K + first_col;
            for (std::uint64_t t = 0; t < m; ++t) {
              Cell v = block[t * shape.R + r];
              real_row[t] = v.real() * scale;
              imaginary_row[t] = v.imag() * scale;
            }
          }
        }
      });
  return fields;
}

}  // namespace

std::string Error::message() const {
  auto n = [](std::uint64_t v) { return std::to_string(v); };
  switch (kind_) {
    case Kind::EmptyEmbedding:
      return "a " + n(padded_rows_) + "x" + n(padded_cols_) + " embedding has no cells";
    case Kind::QuadrantMismatch:
      return "a " + n(padded_rows_) + "x" + n(padded_cols_) + " embedding needs a " +
             n(padded_rows_ / 2 + 1) + "x" + n(padded_cols_ / 2 + 1) +
             " amplitude quadrant, not " + n(a_) + "x" + n(b_);
    case Kind::FaultDoesNotFit:
      return "a " + n(a_) + "x" + n(b_) + " fault does not fit in a " + n(padded_rows_) + "x" +
             n(padded_cols_) + " embedding";
  }
  return {};
}

std::expected<Fields, Error> draw(std::span<const double> amplitudes, std::uint64_t quad_rows,
                                  std::uint64_t quad_cols, std::uint64_t padded_rows,
                                  std::uint64_t padded_cols, std::uint64_t cell_rows,
                                  std::uint64_t cell_cols, std::uint64_t seed) {
  if (auto error = validate(amplitudes.size(), quad_rows, quad_cols, padded_rows, padded_cols,
                            cell_rows, cell_cols)) {
    return std::unexpected(*error);
  }
  Shape shape{padded_rows, padded_cols, cell_rows, cell_cols};
  Buffer<Lcg128Xsl64> streams = make_streams(seed, shape.P);
  std::optional<BlockGrid> column_blocks;
  Cells spent_rows;
  {
    BatchedTransform rows(shape.C, shape.P, ROWS_PER_BLOCK);
    BlockGrid row_blocks = row_pass(shape, streams.span(), amplitudes, quad_cols, rows);
    column_blocks.emplace(column_pass(shape, row_blocks));
    spent_rows = std::move(row_blocks).take_cells();
  }
  // One rounding of P·C, its correctly rounded root, one division.
  double scale = 1.0 / std::sqrt(static_cast<double>(checked_product(shape.P, shape.C)));
  return row_major_parts(shape, *column_blocks, std::move(spent_rows), scale);
}

}  // namespace kernels::field
