// The extension module morvex._core: multi-phase initialisation; the
// execution step adds the Tracer type and the module functions, each also
// listed in __all__, then the annotation functions, which the morvex
// package exports.
#include "core/clock.h"
#include "py/annotate.h"
#include "py/cli.h"
#include "py/fork.h"
#include "py/pyref.h"
#include "py/tracer.h"

namespace morvex::py {
namespace {

PyMethodDef FUNCTIONS[] = {
    {"cli_main", as_pycfunction(cli_main), METH_FASTCALL | METH_KEYWORDS, "cli_main(argv)\n--\n\n"},
    {"_before_fork", as_pycfunction(before_fork), METH_NOARGS,
     "_before_fork()\n--\n\nStop delivering callbacks before the address space is cloned, so "
     "that no\ncallback can run in the child against state the child is about to abandon."},
    {"_after_fork_in_parent", as_pycfunction(after_fork_in_parent), METH_NOARGS,
     "_after_fork_in_parent()\n--\n\n"},
    {"_after_fork_in_child", as_pycfunction(after_fork_in_child), METH_NOARGS,
     "_after_fork_in_child()\n--\n\nStart the child's own trace. The inherited run is "
     "deliberately leaked: its\nexporter thread did not survive the fork, and any lock it held "
     "at that\ninstant is still held by nobody, so reading or dropping that state could\nblock "
     "forever."},
};

// Marks on the program's own timeline (annotate.h).
PyMethodDef ANNOTATIONS[] = {
    {"span", as_pycfunction(span), METH_FASTCALL | METH_KEYWORDS,
     "span(name, /, **args)\n--\n\nA span on the calling thread's track, around a with block "
     "or every call of\na function it decorates (bare @span names it after the function). "
     "Argument\nvalues are str, int, float, bool or None."},
    {"instant", as_pycfunction(instant), METH_FASTCALL | METH_KEYWORDS,
     "instant(name, /, **args)\n--\n\nA marker at this moment on the calling thread's track."},
    {"counter", as_pycfunction(counter), METH_FASTCALL | METH_KEYWORDS,
     "counter(name, value)\n--\n\nA value (an int within 64 bits, or a float) of the counter "
     "track called name."},
};

// Adds `value` as `name` and appends the name to __all__.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) != 0) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return false;
  }
  PyRef n = PyRef::steal(PyUnicode_FromString(name));
  return n && PyList_Append(all.get(), n.get()) == 0;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  core::prime_counter_frequency();
  PyObject* type = tracer_type();
  if (type == nullptr || !add_exported(module, "Tracer", type)) return -1;
  if (PyModule_AddStringConstant(module, "__version__", MORVEX_VERSION) != 0) return -1;
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return -1;
  for (PyMethodDef& def : FUNCTIONS) {
    PyRef f = PyRef::steal(PyCFunction_NewEx(&def, module, name.get()));
    if (!f || !add_exported(module, def.ml_name, f.get())) return -1;
  }
  for (PyMethodDef& def : ANNOTATIONS) {
    PyRef f = PyRef::steal(PyCFunction_NewEx(&def, module, name.get()));
    if (!f || PyModule_AddObjectRef(module, def.ml_name, f.get()) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
    // The type objects, the active slot and the recorders are the process's,
    // built by whichever interpreter came first: another interpreter, with a
    // lock of its own, would share them without that lock.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The recorder registry, the active slot, the lazily built types and the
    // enable/disable sequence all rely on the interpreter lock, so a
    // free-threaded interpreter must turn it back on while morvex is loaded.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morvex::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
  return PyModuleDef_Init(&morvex::py::MODULE);
}
