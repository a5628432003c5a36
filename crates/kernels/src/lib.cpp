// The module `_kernels`: its definition for multi-phase initialisation, the registration of its
// functions, and their Python entries.
#include <array>
#include <optional>

#include "boundary/binding.hpp"
#include "boundary/frame.hpp"
#include "boundary/numpy.hpp"
#include "eikonal.hpp"

namespace kernels {
namespace {

using boundary::Error;
using boundary::Result;

// Fast calling convention with keywords, and no self: the functions are reported as unbound.
constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
static_assert(function_flags == 0xa2);

// ---------------------------------------------------------------------------------------------
// eikonal_solve

constexpr std::string_view eikonal_parameters[] = {"slowness", "spacing_km", "seeds"};
constexpr boundary::FunctionDescription eikonal_description{"eikonal_solve", eikonal_parameters,
                                                            3};

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
  std::array<PyObject*, 3> slots;
  if (Result<void> bound =
          boundary::extract_arguments_fastcall(eikonal_description, args, nargs, kwnames, slots);
      !bound) {
    return std::unexpected(std::move(bound.error()));
  }
  Result<boundary::InputArray> slowness = boundary::extract_input_array(slots[0], 2);
  if (!slowness) {
    return std::unexpected(
        boundary::argument_extraction_error("slowness", std::move(slowness.error())));
  }
  Result<std::array<double, 2>> spacing = boundary::extract_f64_pair(slots[1]);
  if (!spacing) {
    return std::unexpected(
        boundary::argument_extraction_error("spacing_km", std::move(spacing.error())));
  }
  Result<Buffer<eikonal::Seed>> seeds = boundary::extract_seed_triples<eikonal::Seed>(slots[2]);
  if (!seeds) {
    return std::unexpected(boundary::argument_extraction_error("seeds", std::move(seeds.error())));
  }
  const std::uint64_t rows = slowness->dim(0);
  const std::uint64_t cols = slowness->dim(1);
  Result<boundary::FlatBuffer> cells = boundary::input_array_buffer(*slowness);
  if (!cells) return std::unexpected(std::move(cells.error()));

  auto [d_i, d_j] = *spacing;
  std::expected<Buffer<double>, eikonal::Error> times = boundary::run_detached(
      [&] { return eikonal::solve(cells->span(), rows, cols, seeds->span(), d_i, d_j); });
  if (!times) return std::unexpected(boundary::raise_kernel_error(times.error()));
  if (times->size() != rows * cols) {
    Buffer<double> wrong = std::move(*times);
    panic("the solver returns one time per input cell, but gave " + std::to_string(wrong.size()) +
          " for a " + std::to_string(rows) + "x" + std::to_string(cols) + " grid");
  }
  return boundary::from_owned_array(std::move(*times), rows, cols).release();
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
std::array<PyMethodDef*, 1> functions = {&eikonal_solve_definition};

int exec_slot(PyObject* module) noexcept;

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
