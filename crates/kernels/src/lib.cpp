// The module `_kernels`: its definition for multi-phase initialisation, the registration of its
// functions, and their Python entries.
#include <array>
#include <cstdint>
#include <limits>
#include <optional>

#include "boundary/arguments.hpp"
#include "boundary/frame.hpp"
#include "boundary/numpy.hpp"
#include "eikonal.hpp"
#include "field.hpp"
#include "pulse.hpp"

namespace kernels {
namespace {

using boundary::Error;
using boundary::Ref;
using boundary::Result;

// Fast calling convention with keywords, and no self: the functions are reported as unbound.
constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
static_assert(function_flags == 0xa2);

// ---------------------------------------------------------------------------------------------
// eikonal_solve

constexpr const char* eikonal_doc =
    "eikonal_solve(slowness, spacing_km, seeds)\n"
    "--\n"
    "\n"
    "First-arrival times over a fault chart, by factored fast sweeping.\n"
    "\n"
    "`slowness` is 2-D in s/km, `i` down-dip and `j` along-strike; `spacing_km` is\n"
    "`(d_i, d_j)`; `seeds` is a list of `(i, j, t0_seconds)`, the points the front leaves\n"
    "at known times: one triple for a hypocentre, and several for a fault triggered\n"
    "along an edge. Returns travel times in seconds, same shape as\n"
    "`slowness`. Exact on uniform media, first-order convergent on smooth ones;\n"
    "`crates/kernels/src/eikonal` has the papers.";

}  // namespace

// What the entry holds is released by destruction, in reverse order of taking: on every way out
// the seeds go first, then the hold on `slowness` and its reference.
Result<PyObject*> eikonal_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  Result<boundary::EikonalArguments> arguments = boundary::eikonal_arguments(args, nargs, kwnames);
  if (!arguments) return std::unexpected(std::move(arguments.error()));
  const std::uint64_t rows = arguments->slowness.dim(0);
  const std::uint64_t cols = arguments->slowness.dim(1);
  Result<boundary::FlatBuffer> cells = boundary::input_array_buffer(arguments->slowness);
  if (!cells) return std::unexpected(std::move(cells.error()));

  auto [d_i, d_j] = arguments->spacing_km;
  std::span<const eikonal::Seed> seeds = arguments->seeds.span();
  std::expected<Buffer<double>, eikonal::Error> times = boundary::run_detached(
      [&] { return eikonal::solve(cells->span(), rows, cols, seeds, d_i, d_j); });
  if (!times) return std::unexpected(boundary::raise_kernel_error(times.error()));
  if (times->size() != rows * cols) {
    Buffer<double> wrong = std::move(*times);
    panic("the solver returns one time per input cell, but gave " + std::to_string(wrong.size()) +
          " for a " + std::to_string(rows) + "x" + std::to_string(cols) + " grid");
  }
  return boundary::from_owned_array(std::move(*times), rows, cols).release();
}

namespace {

// ---------------------------------------------------------------------------------------------
// synthesise_pulses

constexpr const char* pulse_doc =
    "synthesise_pulses(slip_m, rise_time_s, dt_s, beta=None)\n"
    "--\n"
    "\n"
    "Slip-rate pulses for every subfault, as CSR rows.\n"
    "\n"
    "`slip_m` (metres) and `rise_time_s` are flat, one entry per subfault. `beta`, the\n"
    "per-subfault rising fraction in `(0, 0.5]`, selects the shape: given, the\n"
    "Liu-Archuleta-Hartzell piecewise sinusoid; absent, a single-sample impulse. Returns "
    "`(offsets, samples)`:\n"
    "subfault `k`'s pulse is `samples[offsets[k]:offsets[k+1]]` in m/s, normalised so\n"
    "`dt_s * samples.sum()` recovers the slip. An empty row is a subfault that doesn't\n"
    "slip. A rise time under half a sample slips instantaneously, as the spike\n"
    "`[0, slip/dt, 0]`, and keeps all of its slip; with `beta`, a slipping subfault's\n"
    "negative or non-finite rise time is a `ValueError` naming it.";

// The kernel's unsigned offsets as the signed 64-bit values of the result, in the same block.
Buffer<std::int64_t> signed_offsets(Buffer<std::uint64_t> offsets) {
  for (std::uint64_t offset : offsets) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      panic("sample counts fit in i64, but an offset is " + std::to_string(offset));
    }
  }
  return std::move(offsets).retyped<std::int64_t>();
}

template <class T>
Ref owned_vector(Buffer<T> values, boundary::ElementType element) {
  static_assert(sizeof(T) == 8, "the elements are float64 or int64");
  typename Buffer<T>::Parts parts = values.release();
  return boundary::from_raw_parts(parts.size, sizeof(T), parts.data, boundary::owned_block(parts),
                                  element);
}

// ---------------------------------------------------------------------------------------------
// circulant_draw

constexpr const char* draw_doc =
    "circulant_draw(amplitudes, padded_shape, cell_counts, seed)\n"
    "--\n"
    "\n"
    "A pair of independent standard-normal fields from one circulant-embedding draw.\n"
    "\n"
    "`amplitudes` is the `(padded_i//2 + 1, padded_j//2 + 1)` quadrant of the\n"
    "square-rooted, non-negative eigenvalues of the embedding on the `padded_shape`\n"
    "grid, which the full grid mirrors. Returns `(real, imaginary)`, each cropped to\n"
    "`cell_counts` and each a field with the embedded covariance, independent of the\n"
    "other (Dietrich & Newsam 1997). The same `seed` gives the same pair.\n"
    "\n"
    "The doc on [`field`] has the details.";

// A kernel result of the wrong length is a broken invariant, not something a caller can cause.
Ref fault_array(Buffer<double> values, std::uint64_t rows, std::uint64_t cols) {
  if (values.size() != rows * cols) {
    panic("the draw returns one value per fault cell: " + std::to_string(values.size()) +
          " values cannot be shaped as " + std::to_string(rows) + "x" + std::to_string(cols));
  }
  return boundary::from_owned_array(std::move(values), rows, cols);
}

}  // namespace

// Inputs are released by destruction in reverse order of taking (beta, rise_time_s, slip_m) on
// every way out; on success explicitly, before the tuple is made.
Result<PyObject*> synthesise_pulses(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  Result<boundary::PulseArguments> arguments = boundary::pulse_arguments(args, nargs, kwnames);
  if (!arguments) return std::unexpected(std::move(arguments.error()));
  boundary::PulseArguments& given = *arguments;

  Result<boundary::FlatBuffer> slip_values = boundary::input_array_buffer(given.slip_m);
  if (!slip_values) return std::unexpected(std::move(slip_values.error()));
  Result<boundary::FlatBuffer> rise_values = boundary::input_array_buffer(given.rise_time_s);
  if (!rise_values) return std::unexpected(std::move(rise_values.error()));
  std::optional<boundary::FlatBuffer> beta_values;
  if (given.beta) {
    Result<boundary::FlatBuffer> viewed = boundary::input_array_buffer(*given.beta);
    if (!viewed) return std::unexpected(std::move(viewed.error()));
    beta_values.emplace(std::move(*viewed));
  }

  std::optional<std::span<const double>> beta_span;
  if (beta_values) beta_span = beta_values->span();
  std::expected<pulse::Pulses, pulse::Error> pulses = boundary::run_detached([&] {
    return pulse::synthesise_pulses(slip_values->span(), rise_values->span(), beta_span,
                                    given.dt_s);
  });
  if (!pulses) return std::unexpected(boundary::raise_kernel_error(pulses.error()));

  Ref offsets =
      owned_vector(signed_offsets(std::move(pulses->offsets)), boundary::ElementType::int64);
  Ref samples = owned_vector(std::move(pulses->samples), boundary::ElementType::float64);
  if (given.beta) boundary::release_input_array(*given.beta);
  boundary::release_input_array(given.rise_time_s);
  boundary::release_input_array(given.slip_m);
  return boundary::array_into_tuple(std::move(offsets), std::move(samples)).release();
}

// The amplitudes' hold is released by destruction on every way out; on success explicitly,
// before the tuple is made.
Result<PyObject*> circulant_draw(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  Result<boundary::DrawArguments> arguments = boundary::draw_arguments(args, nargs, kwnames);
  if (!arguments) return std::unexpected(std::move(arguments.error()));
  const std::uint64_t quad_rows = arguments->amplitudes.dim(0);
  const std::uint64_t quad_cols = arguments->amplitudes.dim(1);
  Result<boundary::FlatBuffer> quadrant = boundary::input_array_buffer(arguments->amplitudes);
  if (!quadrant) return std::unexpected(std::move(quadrant.error()));

  auto [padded_rows, padded_cols] = arguments->padded_shape;
  auto [cell_rows, cell_cols] = arguments->cell_counts;
  const std::uint64_t seed = arguments->seed;
  std::expected<field::Fields, field::Error> fields = boundary::run_detached([&] {
    return field::draw(quadrant->span(), quad_rows, quad_cols, padded_rows, padded_cols,
                       cell_rows, cell_cols, seed);
  });
  if (!fields) return std::unexpected(boundary::raise_kernel_error(fields.error()));

  Ref real = fault_array(std::move(fields->real), cell_rows, cell_cols);
  Ref imaginary = fault_array(std::move(fields->imaginary), cell_rows, cell_cols);
  boundary::release_input_array(arguments->amplitudes);
  return boundary::array_into_tuple(std::move(real), std::move(imaginary)).release();
}

namespace {

PyMethodDef eikonal_solve_definition = {
    "eikonal_solve",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&boundary::c_entry<&kernels::eikonal_solve>)),
    function_flags,
    eikonal_doc,
};

// Registered in this order, not alphabetically: eikonal_solve, synthesise_pulses, circulant_draw.
PyMethodDef synthesise_pulses_definition = {
    "synthesise_pulses",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&boundary::c_entry<&kernels::synthesise_pulses>)),
    function_flags,
    pulse_doc,
};

PyMethodDef circulant_draw_definition = {
    "circulant_draw",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&boundary::c_entry<&kernels::circulant_draw>)),
    function_flags,
    draw_doc,
};

std::array<PyMethodDef*, 3> functions = {&eikonal_solve_definition, &synthesise_pulses_definition,
                                         &circulant_draw_definition};

int exec_slot(PyObject* module) noexcept;

// Not needing the interpreter lock means not needing it to be taken at import; the once-cells still
// rely on it being there, which a free-threaded build does not promise. CMake refuses such a build
// at configure time already.
#ifdef Py_GIL_DISABLED
#error "_kernels is made for the standard build of CPython, not a free-threaded one"
#endif

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_slot)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_kernels",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// Fills a new module object with the functions, in their fixed order; the first error stops it.
Result<void> kernels(PyObject* module) {
  for (PyMethodDef* definition : functions) {
    if (Result<void> added = boundary::add_function(module, definition); !added) return added;
  }
  return {};
}

namespace {
int exec_slot(PyObject* module) noexcept { return boundary::exec_module(module, &kernels); }
}  // namespace

}  // namespace kernels

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kernels() {
  return PyModuleDef_Init(&kernels::module_definition);
}
