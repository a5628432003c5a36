// The module `_kernels`: its definition for multi-phase initialisation, the registration of its
// functions, and their Python entries.
#include <array>

#include "boundary/frame.hpp"

namespace kernels {
namespace {

using boundary::Result;

// Fast calling convention with keywords, and no self: the functions are reported as unbound.
constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
static_assert(function_flags == 0xa2);

// Registered in this order, not alphabetically.
std::array<PyMethodDef*, 0> functions = {};

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
