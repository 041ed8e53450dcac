// The five runtime functions of the module: argument conversion around the
// skill runtime (src/runtime/api.h), with the thread state released and
// Ctrl-C able to interrupt.
#pragma once

#include <Python.h>

namespace dovek::binding {

PyObject* runtime_load_artifact_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);
PyObject* runtime_list_skills_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* runtime_build_skill_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
PyObject* runtime_run_skill_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* runtime_install_local_skill_json(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames);

}  // namespace dovek::binding
