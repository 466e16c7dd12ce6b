// The Python type morvex._core.Tracer: construction and argument parsing,
// and the methods that enter and leave a run.
#include <unistd.h>

#include <cstring>
#include <variant>

#include "py/args.h"
#include "py/errors.h"
#include "py/run.h"
#include "py/tracer.h"

namespace morvex::py {

namespace {

struct TracerObject {
  PyObject_HEAD Tracer* tracer;
};

PyObject* enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    release_pending_refs();
    Tracer& t = tracer_of(self);
    // The profiler slot first: entering while another run holds it must not
    // touch the environment or any file, least of all a live trace's own.
    std::optional<uint8_t> tool_id = claim_tool_id();
    if (!tool_id) return nullptr;
    core::Clock clock = run_clock(std::nullopt);
    if (!set_env(kChildOutputVar, t.output) || !set_env(kChildFormatVar, t.format.name()) ||
        !set_env(kChildZeroVar, std::to_string(clock.monotonic_start()))) {
      release_tool_id(*tool_id);
      return nullptr;
    }
    std::unique_ptr<Running> r = start_claimed(t, 0, false, clock, *tool_id);
    if (!r) return nullptr;
    return install(self, std::move(r));
  });
}

PyObject* enter_as_child(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    release_pending_refs();
    std::unique_ptr<Running> r =
        start(tracer_of(self), static_cast<uint32_t>(getpid()), true, inherited_zero());
    if (!r) return nullptr;
    return install(self, std::move(r));
  });
}

PyObject* exit_run(PyObject* self) {
  set_active(nullptr);
  {
    PyRef environ = os_environ();
    if (!environ || !pop_env(environ.get(), kChildOutputVar) ||
        !pop_env(environ.get(), kChildFormatVar) || !pop_env(environ.get(), kChildZeroVar))
      return nullptr;
  }
  Tracer& t = tracer_of(self);
  std::unique_lock lock = lock_running(t);
  std::unique_ptr<Running> r = std::move(t.running);
  if (!r) {
    lock.unlock();
    PyErr_SetString(PyExc_RuntimeError, "tracer is not tracing");
    return nullptr;
  }
  bool ok = stop(std::move(r));
  lock.unlock();
  if (!ok) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* exit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"_exc_type", "_exc_val", "_exc_tb"};
    PyObject* values[3];
    if (!bind_arguments({"__exit__", names, 0, 3}, args, nargs, kwnames, values)) return nullptr;
    PyObject* exc_type = values[0];
    if (exc_type != nullptr && exc_type != Py_None && !PyType_Check(exc_type)) {
      PyErr_Format(PyExc_TypeError, "argument '_exc_type' must be a type or None, not %s",
                   Py_TYPE(exc_type)->tp_name);
      return nullptr;
    }
    return exit_run(self);
  });
}

PyObject* tracer_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"output", "format", nullptr};
  PyObject* output = nullptr;
  PyObject* format = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:Tracer", const_cast<char**>(kwlist), &output,
                                   &format))
    return nullptr;
  for (auto [name, value] : {std::pair{"output", output}, std::pair{"format", format}}) {
    if (value != nullptr && !PyUnicode_Check(value)) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %s", name,
                   Py_TYPE(value)->tp_name);
      return nullptr;
    }
  }
  Py_ssize_t out_len = 0;
  const char* out = PyUnicode_AsUTF8AndSize(output, &out_len);
  if (out == nullptr) return nullptr;
  std::string fmt_text = "protobuf";
  if (format != nullptr) {
    Py_ssize_t len = 0;
    const char* f = PyUnicode_AsUTF8AndSize(format, &len);
    if (f == nullptr) return nullptr;
    fmt_text.assign(f, len);
  }
  std::variant<Format, std::string> parsed = Format::parse(fmt_text);
  if (auto* msg = std::get_if<std::string>(&parsed)) {
    PyErr_SetString(PyExc_ValueError, msg->c_str());
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<TracerObject*>(self)->tracer =
      new Tracer(std::string(out, out_len), std::get<Format>(parsed));
  return self;
}

PyObject* tracer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&] { return tracer_new_impl(type, args, kwds); });
}

void tracer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TracerObject*>(self)->tracer;
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef tracer_methods[] = {
    {"__enter__", as_pycfunction(enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"_enter_as_child", as_pycfunction(enter_as_child), METH_NOARGS,
     "_enter_as_child($self)\n--\n\nEnter as a process that exec'd out of a traced one: same "
     "bookkeeping,\nbut writing beside the trace its parent named rather than over it."},
    {"__exit__", as_pycfunction(exit_method), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tracer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tracer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
    {Py_tp_methods, tracer_methods},
    {Py_tp_doc, const_cast<char*>("Tracer(output, format=...)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec tracer_spec = {
    "morvex._core.Tracer", sizeof(TracerObject), 0,
    Py_TPFLAGS_DEFAULT,  // no subclasses, no dict, no weak references, no GC
    tracer_slots,
};

}  // namespace

Tracer& tracer_of(PyObject* self) { return *reinterpret_cast<TracerObject*>(self)->tracer; }

Running::~Running() {
  if (exporter.joinable()) exporter.detach();
}

PyObject* tracer_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&tracer_spec);
  return type;
}

PyRef new_tracer(const std::string& output, const std::string& format) {
  PyObject* type = tracer_type();
  if (type == nullptr) return {};
  PyRef args = PyRef::steal(Py_BuildValue("(s#s#)", output.data(), Py_ssize_t(output.size()),
                                          format.data(), Py_ssize_t(format.size())));
  if (!args) return {};
  return PyRef::steal(PyObject_Call(type, args.get(), nullptr));
}

PyRef tracer_enter(PyObject* self) { return PyRef::steal(enter(self, nullptr)); }

PyRef tracer_exit(PyObject* self) {
  return PyRef::steal(guarded([&] { return exit_run(self); }));
}

}  // namespace morvex::py
