// The CPython extension module dovek_native (stable ABI, limited API 3.11).
// Py_LIMITED_API (0x030B0000) is defined by the build (limited_api: 3.11).
#include <Python.h>

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dovek_native",  // m_name
    nullptr,         // m_doc: empty
    0,               // m_size: no per-module state
    nullptr,         // m_methods
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_dovek_native() { return PyModule_Create(&module_def); }
