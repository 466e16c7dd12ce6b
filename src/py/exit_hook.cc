// os._exit finishes the running trace first.
//
// The usual way out of a forked child, and multiprocessing's way out of the
// children it forks, skip every clean-up, so what the threads still buffer
// would be lost without a word. While a run is installed, os._exit is a
// function of ours that stops it and then calls the real one; it is put
// back when the run stops. Code that took os._exit before the run began
// (from os import _exit) goes around it: see the README's limits.
//
// Threads: everything here runs attached to the interpreter.
#include "py/exit_hook.h"

#include "py/errors.h"
#include "py/fork.h"
#include "py/tracer.h"

namespace morvex::py {

namespace {

PyObject* REAL_EXIT = nullptr;  // strong; set while os._exit is ours
PyObject* OUR_EXIT = nullptr;   // strong, built once

PyObject* exit_finishing_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyRef real = PyRef::borrow(REAL_EXIT);
    if (!real) real = import_attr("os", "_exit");  // cannot happen while we are os._exit
    if (!real) return nullptr;
    if (PyRef tracer = active_tracer()) {
      // Whatever becomes of the trace, the process still exits as asked.
      if (!tracer_exit(tracer.get())) PyErr_Clear();
    }
    return PyObject_Vectorcall(real.get(), args, static_cast<size_t>(nargs), kwnames);
  });
}

PyMethodDef EXIT_DEF = {"_exit", as_pycfunction(exit_finishing_trace),
                        METH_FASTCALL | METH_KEYWORDS,
                        "_exit(status)\n--\n\nExit the process with status, without cleaning up, "
                        "once morvex has finished the trace it is writing."};

}  // namespace

void hook_os_exit() {
  if (REAL_EXIT != nullptr) return;
  KeptException keep;
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  PyRef real = os ? PyRef::steal(PyObject_GetAttrString(os.get(), "_exit")) : PyRef();
  if (OUR_EXIT == nullptr) OUR_EXIT = PyCFunction_New(&EXIT_DEF, nullptr);
  if (!real || OUR_EXIT == nullptr || PyObject_SetAttrString(os.get(), "_exit", OUR_EXIT) != 0) {
    PyErr_Clear();  // tracing goes on; only this safeguard is missing
    return;
  }
  REAL_EXIT = real.release();
}

void unhook_os_exit() {
  if (REAL_EXIT == nullptr) return;
  KeptException keep;
  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  PyRef now = os ? PyRef::steal(PyObject_GetAttrString(os.get(), "_exit")) : PyRef();
  // Someone else's replacement, made while we were in place, stays.
  if (now && now.get() == OUR_EXIT && PyObject_SetAttrString(os.get(), "_exit", REAL_EXIT) != 0)
    PyErr_Clear();
  PyErr_Clear();
  Py_CLEAR(REAL_EXIT);
}

}  // namespace morvex::py
