// quorin_py: the CPython extension module, written against the stable ABI.
#include <Python.h>

namespace {

PyModuleDef quorin_module = {
    PyModuleDef_HEAD_INIT,
    "quorin_py",
    "QUORIN_RS Python Module",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quorin_py(void) { return PyModule_Create(&quorin_module); }
