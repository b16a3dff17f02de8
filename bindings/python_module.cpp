// The extension module kova_rs._native, written on the CPython C API directly.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int native_exec(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", "0.4.0") < 0) return -1;
  return 0;
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native Python extension module for kova hand retargeting.",
    0,
    nullptr,
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&native_module);
}
