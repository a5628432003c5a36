// The arguments of the module's three functions: each call's binding and conversions, in the order
// of the parameters, shared by the entries and the test fixture's probes so that they cannot
// drift apart.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "boundary/binding.hpp"
#include "boundary/frame.hpp"
#include "boundary/numpy.hpp"
#include "buffer.hpp"
#include "eikonal.hpp"

namespace kernels::boundary {

// Members are destroyed in reverse order of declaration, so the holds taken first end last.
struct EikonalArguments {
  InputArray slowness;
  std::array<double, 2> spacing_km;
  Buffer<eikonal::Seed> seeds;
};

struct PulseArguments {
  InputArray slip_m;
  InputArray rise_time_s;
  double dt_s;
  std::optional<InputArray> beta;
};

struct DrawArguments {
  InputArray amplitudes;
  std::array<std::uint64_t, 2> padded_shape;
  std::array<std::uint64_t, 2> cell_counts;
  std::uint64_t seed;
};

// The first binding or conversion error, noted with its parameter's name, or every value.
Result<EikonalArguments> eikonal_arguments(PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);
Result<PulseArguments> pulse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<DrawArguments> draw_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kernels::boundary
