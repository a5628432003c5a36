#include "boundary/arguments.hpp"

#include <string_view>
#include <utility>

namespace kernels::boundary {
namespace {

constexpr std::string_view eikonal_parameters[] = {"slowness", "spacing_km", "seeds"};
constexpr FunctionDescription eikonal_description{"eikonal_solve", eikonal_parameters, 3};

constexpr std::string_view pulse_parameters[] = {"slip_m", "rise_time_s", "dt_s", "beta"};
constexpr FunctionDescription pulse_description{"synthesise_pulses", pulse_parameters, 3};

constexpr std::string_view draw_parameters[] = {"amplitudes", "padded_shape", "cell_counts",
                                                "seed"};
constexpr FunctionDescription draw_description{"circulant_draw", draw_parameters, 4};

// The arguments bound to the function's parameters, one slot each.
template <std::size_t count>
Result<std::array<PyObject*, count>> bound(const FunctionDescription& function,
                                           PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  std::array<PyObject*, count> slots;
  Result<void> extracted = extract_arguments_fastcall(function, args, nargs, kwnames, slots);
  if (!extracted) return std::unexpected(std::move(extracted.error()));
  return slots;
}

// A conversion's result, its error noted with the parameter it came from.
template <class T>
Result<T> noted(std::string_view parameter, Result<T> converted) {
  if (!converted) {
    return std::unexpected(argument_extraction_error(parameter, std::move(converted.error())));
  }
  return converted;
}

}  // namespace

Result<EikonalArguments> eikonal_arguments(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
  Result<std::array<PyObject*, 3>> slots = bound<3>(eikonal_description, args, nargs, kwnames);
  if (!slots) return std::unexpected(std::move(slots.error()));
  Result<InputArray> slowness = noted("slowness", extract_input_array((*slots)[0], 2));
  if (!slowness) return std::unexpected(std::move(slowness.error()));
  Result<std::array<double, 2>> spacing = noted("spacing_km", extract_f64_pair((*slots)[1]));
  if (!spacing) return std::unexpected(std::move(spacing.error()));
  Result<Buffer<eikonal::Seed>> seeds =
      noted("seeds", extract_seed_triples<eikonal::Seed>((*slots)[2]));
  if (!seeds) return std::unexpected(std::move(seeds.error()));
  return EikonalArguments{std::move(*slowness), *spacing, std::move(*seeds)};
}

Result<PulseArguments> pulse_arguments(PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  Result<std::array<PyObject*, 4>> slots = bound<4>(pulse_description, args, nargs, kwnames);
  if (!slots) return std::unexpected(std::move(slots.error()));
  Result<InputArray> slip = noted("slip_m", extract_input_array((*slots)[0], 1));
  if (!slip) return std::unexpected(std::move(slip.error()));
  Result<InputArray> rise = noted("rise_time_s", extract_input_array((*slots)[1], 1));
  if (!rise) return std::unexpected(std::move(rise.error()));
  Result<double> dt = noted("dt_s", extract_f64((*slots)[2]));
  if (!dt) return std::unexpected(std::move(dt.error()));
  Result<std::optional<InputArray>> beta = noted("beta", extract_optional_array((*slots)[3]));
  if (!beta) return std::unexpected(std::move(beta.error()));
  return PulseArguments{std::move(*slip), std::move(*rise), *dt, std::move(*beta)};
}

Result<DrawArguments> draw_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Result<std::array<PyObject*, 4>> slots = bound<4>(draw_description, args, nargs, kwnames);
  if (!slots) return std::unexpected(std::move(slots.error()));
  Result<InputArray> amplitudes = noted("amplitudes", extract_input_array((*slots)[0], 2));
  if (!amplitudes) return std::unexpected(std::move(amplitudes.error()));
  Result<std::array<std::uint64_t, 2>> padded =
      noted("padded_shape", extract_u64_pair((*slots)[1]));
  if (!padded) return std::unexpected(std::move(padded.error()));
  Result<std::array<std::uint64_t, 2>> cells =
      noted("cell_counts", extract_u64_pair((*slots)[2]));
  if (!cells) return std::unexpected(std::move(cells.error()));
  Result<std::uint64_t> seed = noted("seed", extract_u64((*slots)[3]));
  if (!seed) return std::unexpected(std::move(seed.error()));
  return DrawArguments{std::move(*amplitudes), *padded, *cells, *seed};
}

}  // namespace kernels::boundary
