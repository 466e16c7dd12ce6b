/* The floor for a sys.monitoring tool: callbacks that do nothing but return
 * None (a bound METH_FASTCALL builtin, and an object with its own vectorcall
 * slot), registered for the same six events as morvex, and the same two
 * with the counter read and 8-byte store every timestamping tracer does. */
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
 * buffer). The stores go through a volatile pointer: the ring is never read,
 * and a compiler may otherwise drop them, leaving only the counter read and
 * the index bump. Single-threaded use only, which the benchmark guarantees. */
static unsigned int ring[1 << 18];
static unsigned int at;

static inline void stamp_once(PyObject* code) {
  unsigned long long now = READ_COUNTER();
  volatile unsigned int* slot = ring + at;
  slot[0] = (unsigned int)now;
  slot[1] = (unsigned int)(unsigned long long)code;
  at = (at + 2) & ((1u << 18) - 1);
}

static PyObject* stamp(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  if (nargs >= 1) stamp_once(args[0]);
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

/* The same two as objects whose type has its own vectorcall slot: the
 * interpreter calls the function directly, without the builtin-method
 * wrapper (and its thread-state lookup). */
typedef struct {
  PyObject_HEAD vectorcallfunc vectorcall;
} VectorcallObject;

static PyObject* vc_empty(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kw) {
  (void)self;
  (void)args;
  (void)nargsf;
  (void)kw;
  Py_RETURN_NONE;
}

static PyObject* vc_stamp(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kw) {
  (void)self;
  (void)kw;
  if (PyVectorcall_NARGS(nargsf) >= 1) stamp_once(args[0]);
  Py_RETURN_NONE;
}

static PyMemberDef vc_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(VectorcallObject, vectorcall), Py_READONLY,
     NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyType_Slot vc_slots[] = {
    {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_members, vc_members},
    {0, NULL},
};

static PyType_Spec vc_spec = {"_mvfloor.VectorcallCallback", sizeof(VectorcallObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL, vc_slots};

static PyObject* vc_type;

static PyObject* new_vectorcall(vectorcallfunc f) {
  if (vc_type == NULL && (vc_type = PyType_FromSpec(&vc_spec)) == NULL) return NULL;
  VectorcallObject* o = PyObject_New(VectorcallObject, (PyTypeObject*)vc_type);
  if (o != NULL) o->vectorcall = f;
  return (PyObject*)o;
}

static PyObject* vectorcall_callback(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  return new_vectorcall(vc_empty);
}

static PyObject* vectorcall_stamp_callback(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  return new_vectorcall(vc_stamp);
}

static PyMethodDef functions[] = {
    {"callback", callback, METH_NOARGS, "A bound METH_FASTCALL callable that returns None."},
    {"stamp_callback", stamp_callback, METH_NOARGS,
     "A bound METH_FASTCALL callable that reads the counter and stores 8 bytes."},
    {"vectorcall_callback", vectorcall_callback, METH_NOARGS,
     "An object with its own vectorcall slot that returns None."},
    {"vectorcall_stamp_callback", vectorcall_stamp_callback, METH_NOARGS,
     "An object with its own vectorcall slot that reads the counter and stores 8 bytes."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_mvfloor", NULL, -1, functions};

PyMODINIT_FUNC PyInit__mvfloor(void) { return PyModule_Create(&module); }
