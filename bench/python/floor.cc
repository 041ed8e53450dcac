// dovek_bench_floor: the least any native call of handle_json's shape costs.
//
//   floor(text: str) -> str
//
// Takes the str's UTF-8 bytes, releases the thread state, copies the bytes
// into a buffer under a mutex, re-acquires the thread state and returns a new
// str of those bytes. bench/bench_python.py times it beside the module, so the
// module's figures can be read against what no implementation can avoid.
// Never installed and never in a wheel or sdist.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>

#include <mutex>
#include <string>

namespace {

// The mutex stands in for a core's lock, the per-thread buffer for its
// reused scratch (so the call allocates only the returned str).
std::mutex floor_mutex;
thread_local std::string floor_buffer;

PyObject* floor_call(PyObject*, PyObject* text) {
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes == nullptr) return nullptr;
  std::string& buffer = floor_buffer;
  PyThreadState* state = PyEval_SaveThread();
  floor_mutex.lock();
  buffer.assign(bytes, static_cast<size_t>(size));
  floor_mutex.unlock();
  PyEval_RestoreThread(state);
  return PyUnicode_FromStringAndSize(buffer.data(), static_cast<Py_ssize_t>(buffer.size()));
}

PyMethodDef floor_methods[] = {
    {"floor", floor_call, METH_O, "floor(text: str) -> str: a copy of text through a native call"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    "dovek_bench_floor",
    nullptr,
    -1,
    floor_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_dovek_bench_floor() { return PyModule_Create(&floor_module); }
