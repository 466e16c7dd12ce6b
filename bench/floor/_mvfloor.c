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

#if defined(__x86_64__)
#include <x86intrin.h>
#define READ_COUNTER() __rdtsc()
#else
static unsigned long long fake_counter;
#define READ_COUNTER() (++fake_counter)
#endif

/* The least any timestamping tracer does per event: read the counter and
 * store 8 bytes (into a 1 MiB ring, so memory traffic matches a real
 * buffer). Single-threaded use only, which the benchmark guarantees. */
static unsigned int ring[1 << 18];
static unsigned int at;

static PyObject* stamp(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  (void)nargs;
  unsigned long long now = READ_COUNTER();
  ring[at] = (unsigned int)now;
  ring[at + 1] = (unsigned int)(unsigned long long)args[0];
  at = (at + 2) & ((1u << 18) - 1);
  Py_RETURN_NONE;
}

static PyMethodDef stamp_def = {"stamp", (PyCFunction)(void (*)(void))stamp, METH_FASTCALL, NULL};

static PyObject* callback(PyObject* module, PyObject* unused) {
  (void)unused;
  return PyCMethod_New(&callback_def, module, NULL, NULL);
}

static PyObject* stamp_callback(PyObject* module, PyObject* unused) {
  (void)unused;
  return PyCMethod_New(&stamp_def, module, NULL, NULL);
}

static PyMethodDef functions[] = {
    {"callback", callback, METH_NOARGS, "A bound METH_FASTCALL callable that returns None."},
    {"stamp_callback", stamp_callback, METH_NOARGS,
     "A bound METH_FASTCALL callable that reads the counter and stores 8 bytes."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_mvfloor", NULL, -1, functions};

PyMODINIT_FUNC PyInit__mvfloor(void) { return PyModule_Create(&module); }
