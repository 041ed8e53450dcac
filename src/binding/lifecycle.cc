#include "binding/lifecycle.h"

#include <cstdlib>

#include "binding/durable.h"
#include "binding/py.h"
#include "engine/guarded_core.h"
#include "runtime/live_runs.h"
#include "store/library_lock.h"

namespace dovek::binding {
namespace {

// os.fork() waits for the commands in flight and forks with every core's lock
// held, so the child finds each core consistent and usable; the child closes
// its copies of the pipes of the skills the parent is running, so that it
// cannot hold a skill's input open. The locks are awaited without the thread
// state: a thread holding a core's lock may need it before it lets go (a
// Python tool being registered), and other threads go on meanwhile. The
// database libraries' lock is taken next (store/library_lock.h): no store is
// being opened or closed while the process forks.
PyObject* before_fork(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    without_thread_state([](ReleasedThreadState&) {
      engine::prepare_fork();
      store::library_lock().lock();
      close_stores_for_fork();  // no command runs now: every core is locked
      runtime::live_runs::prepare_fork();
      return 0;
    });
    return new_none();
  });
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    runtime::live_runs::after_fork_in_parent();
    store::library_lock().unlock();
    engine::after_fork_in_parent();
    return new_none();
  });
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    runtime::live_runs::after_fork_in_child();
    store::library_lock().unlock();  // the forking thread took it: the child's only thread
    engine::after_fork_in_child();
    return new_none();
  });
}

// A skill running when the host exits (from any thread) must not outlive it.
// (Store files are closed by close_stores_at_exit, registered beside it.)
void kill_runs_at_exit() { runtime::live_runs::kill_all(); }

PyMethodDef fork_handlers[] = {
    {"before", before_fork, METH_NOARGS, nullptr},
    {"after_in_parent", after_fork_in_parent, METH_NOARGS, nullptr},
    {"after_in_child", after_fork_in_child, METH_NOARGS, nullptr},
};

// os.register_at_fork(before=..., after_in_parent=..., after_in_child=...).
bool register_fork_handlers() {
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  if (!os) return false;
  PyRef register_at_fork = PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
  PyRef kwargs = PyRef::steal(PyDict_New());
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!register_at_fork || !kwargs || !no_args) return false;
  for (PyMethodDef& def : fork_handlers) {
    PyRef fn = PyRef::steal(PyCFunction_NewEx(&def, nullptr, nullptr));
    if (!fn || PyDict_SetItemString(kwargs.get(), def.ml_name, fn.get()) < 0) return false;
  }
  return PyRef::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get())).get() !=
         nullptr;
}

}  // namespace

bool install_process_hooks() {
  if (!register_fork_handlers()) return false;
  std::atexit(kill_runs_at_exit);
  std::atexit(close_stores_at_exit);
  return true;
}

}  // namespace dovek::binding
