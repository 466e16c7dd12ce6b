/* The floor for a sys.monitoring tool: METH_FASTCALL callbacks that do
 * nothing but return None, registered for the same six events as morvex. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* empty(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  (void)args;
  (void)nargs;
  Py_RETURN_NONE;
}

static PyMethodDef callback_def = {"empty", (PyCFunction)(void (*)(void))empty, METH_FASTCALL,
                                   NULL};

static PyObject* callback(PyObject* module, PyObject* unused) {
  (void)unused;
  return PyCMethod_New(&callback_def, module, NULL, NULL);
}

static PyMethodDef functions[] = {
    {"callback", callback, METH_NOARGS, "A bound METH_FASTCALL callable that returns None."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_mvfloor", NULL, -1, functions};

PyMODINIT_FUNC PyInit__mvfloor(void) { return PyModule_Create(&module); }
