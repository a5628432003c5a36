// placeholder until the module frame lands
#include <Python.h>
static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_kernels", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kernels() { return PyModuleDef_Init(&module_def); }
