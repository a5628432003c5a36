// Binding of fast-call arguments to parameter names, and the conversions of bound arguments into
// the plain values the kernels take. Every message here is worded like the interpreter's own, so a
// caller cannot tell these functions from ones written in Python.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "boundary/frame.hpp"
#include "boundary/numpy.hpp"
#include "buffer.hpp"

namespace kernels::boundary {

// What binding knows about one function. Every parameter may be given by position or keyword.
struct FunctionDescription {
  std::string_view name;
  std::span<const std::string_view> parameters;
  std::size_t required;  // the first `required` parameters must be given
};

// Fills `slots` (one per parameter, borrowed references, null when absent) from the fast-call
// arguments. Allocates nothing unless it fails.
Result<void> extract_arguments_fastcall(const FunctionDescription& function,
                                        PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, std::span<PyObject*> slots);

// Appends 'a', 'b', and 'c' (the interpreter's way of listing missing parameters) to `text`.
void push_parameter_list(std::string& text, std::span<const std::string_view> names);

// Adds the note "while processing '{name}'" to a conversion's error; a note that cannot be added
// is dropped, the error itself is kept.
Error argument_extraction_error(std::string_view name, Error error);

Error wrong_tuple_length(PyObject* tuple, std::size_t expected);

// Conversions: each gives the value, or the error the interpreter (or the object) raised.
Result<double> extract_f64(PyObject* object);
Result<std::uint64_t> extract_u64(PyObject* object);
Result<std::array<double, 2>> extract_f64_pair(PyObject* object);
Result<std::array<std::uint64_t, 2>> extract_u64_pair(PyObject* object);

struct SeedTriple {
  std::uint64_t i;
  std::uint64_t j;
  double t0;
};
Result<SeedTriple> extract_seed_triple(PyObject* object);

namespace detail {
Result<Ref> seed_iterator(PyObject* object, std::size_t& length_hint);
Result<Ref> next_item(PyObject* iterator);  // an empty Ref at the end
}  // namespace detail

// A sequence (not a str) of (i, j, t0) tuples, collected as the kernel's own seed type.
template <class Seed>
Result<Buffer<Seed>> extract_seed_triples(PyObject* object) {
  // A sequence can claim far more items than memory holds (range(10**17)); its length only
  // decides the first reservation.
  constexpr std::size_t reservation_cap = 4096;
  std::size_t hint = 0;
  Result<Ref> iterator = detail::seed_iterator(object, hint);
  if (!iterator) return std::unexpected(std::move(iterator.error()));
  Buffer<Seed> seeds = Buffer<Seed>::with_capacity(std::min(hint, reservation_cap));
  for (;;) {
    Result<Ref> item = detail::next_item(iterator->get());
    if (!item) return std::unexpected(std::move(item.error()));
    if (!*item) return seeds;
    Result<SeedTriple> triple = extract_seed_triple(item->get());
    if (!triple) return std::unexpected(std::move(triple.error()));
    seeds.push_back(Seed{triple->i, triple->j, triple->t0});
  }
}

// An absent argument or None gives no array; anything else must be a 1-D float64 array.
Result<std::optional<InputArray>> extract_optional_array(PyObject* object);

}  // namespace kernels::boundary
