// The Python type morvex._core.Tracer: construction and argument parsing,
// and the methods that enter and leave a run.
#include <unistd.h>

#include <cstring>
#include <new>

#include "py/args.h"
#include "py/errors.h"
#include "py/exit_hook.h"
#include "py/fork.h"
#include "py/run.h"
#include "py/tracer.h"

namespace morvex::py {

namespace {

// The Tracer lives inside the object, constructed in place once the object
// is allocated and destroyed in tp_dealloc.
struct TracerObject {
  PyObject_HEAD Tracer tracer;
};

// A new Tracer object holding what was given, all of it already checked.
PyObject* make_tracer(PyTypeObject* type, std::string output, Format format,
                      RunOptions options) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  // Moves only: nothing here can throw once the memory is there.
  new (&reinterpret_cast<TracerObject*>(self)->tracer)
      Tracer(std::move(output), format, std::move(options));
  return self;
}

PyObject* enter(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    release_pending_refs();
    Tracer& t = tracer_of(self);
    if (!ensure_fork_hooks()) return nullptr;
    // The profiler slot first: entering while another run holds it must not
    // touch the environment or any file, least of all a live trace's own.
    std::optional<uint8_t> tool_id = claim_tool_id();
    if (!tool_id) return nullptr;
    core::Clock clock = run_clock(std::nullopt);
    ChildVariables variables;
    if (!variables.export_run(t, clock.monotonic_start())) {
      release_tool_id(*tool_id);
      return nullptr;
    }
    std::unique_ptr<Running> r = start_claimed(t, 0, false, clock, *tool_id);
    if (!r) {
      // Children started later must not join a trace that never began.
      variables.restore();
      return nullptr;
    }
    return install(self, std::move(r));
  });
}

PyObject* enter_as_child(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    release_pending_refs();
    if (!ensure_fork_hooks()) return nullptr;
    std::unique_ptr<Running> r =
        start(tracer_of(self), static_cast<uint32_t>(getpid()), true, inherited_zero());
    if (!r) return nullptr;
    return install(self, std::move(r));
  });
}

// `interrupted`: the program is leaving on Ctrl-C (see stop).
PyObject* exit_run(PyObject* self, bool interrupted) {
  Tracer& t = tracer_of(self);
  // A tracer that is not running changes nothing, least of all the variables
  // and fork state of the run that is.
  {
    std::unique_lock lock = lock_running(t);
    if (!t.running) {
      lock.unlock();
      PyErr_SetString(PyExc_RuntimeError, "tracer is not tracing");
      return nullptr;
    }
  }
  // Before `running` is taken for the join: the fork hooks, which take
  // ACTIVE and then `running`, must never wait for this stop.
  clear_active_if(self);
  std::unique_lock lock = lock_running(t);
  std::unique_ptr<Running> r = std::move(t.running);
  if (!r) {  // another thread stopped it meanwhile
    lock.unlock();
    PyErr_SetString(PyExc_RuntimeError, "tracer is not tracing");
    return nullptr;
  }
  FinishedRun finished;
  bool ok = stop(std::move(r), interrupted, &finished);
  t.finished = finished;
  lock.unlock();
  unhook_os_exit();
  // After the events are off, so that this clean-up is not traced.
  if (!ok) {
    KeptException keep;
    if (!remove_child_variables()) PyErr_Clear();
    return nullptr;
  }
  if (!remove_child_variables()) return nullptr;
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
    const bool interrupted = exc_type != nullptr && exc_type != Py_None &&
                             PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(exc_type),
                                              reinterpret_cast<PyTypeObject*>(PyExc_KeyboardInterrupt));
    return exit_run(self, interrupted);
  });
}

// The operating system takes a path up to its first null byte: one with
// another after it would name a different file.
bool whole_path(const char* name, const std::string& path) {
  if (path.find('\0') == std::string::npos) return true;
  PyErr_Format(PyExc_ValueError, "argument '%s' contains a null byte", name);
  return false;
}

// A path given as str or os.PathLike, as the bytes the operating system
// gets: str in the file-system encoding, so that names Python decoded with
// surrogates get their original bytes back.
std::optional<std::string> path_argument(const char* name, PyObject* value) {
  PyRef path = PyBytes_Check(value) ? PyRef() : PyRef::steal(PyOS_FSPath(value));
  if (!path) {
    if (PyBytes_Check(value) || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must be str or os.PathLike, not %s", name,
                   Py_TYPE(value)->tp_name);
    }
    return std::nullopt;
  }
  PyRef bytes = PyUnicode_Check(path.get()) ? PyRef::steal(PyUnicode_EncodeFSDefault(path.get()))
                                            : std::move(path);
  if (!bytes) return std::nullopt;
  std::string out(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
  if (!whole_path(name, out)) return std::nullopt;
  return out;
}

PyObject* stop_method(PyObject* self, PyObject*) {
  return guarded([&] { return exit_run(self, false); });
}

PyObject* tracer_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"output",   "format",   "include",     "exclude",
                                 "max_depth", "min_duration", "lossless", "spool",
                                 "compress", "c_calls",  "async_tasks", nullptr};
  PyObject* output = nullptr;
  PyObject* format = nullptr;
  PyObject* option[9] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O$OOOOOOOOO:Tracer", const_cast<char**>(kwlist),
                                   &output, &format, &option[0], &option[1], &option[2], &option[3],
                                   &option[4], &option[5], &option[6], &option[7], &option[8]))
    return nullptr;
  if (format != nullptr && !PyUnicode_Check(format)) {
    PyErr_Format(PyExc_TypeError, "argument 'format' must be str, not %s",
                 Py_TYPE(format)->tp_name);
    return nullptr;
  }
  std::optional<std::string> out = path_argument("output", output);
  if (!out) return nullptr;
  std::string fmt_text = "protobuf";
  if (format != nullptr) {
    Py_ssize_t len = 0;
    const char* f = PyUnicode_AsUTF8AndSize(format, &len);
    if (f == nullptr) return nullptr;
    fmt_text.assign(f, len);
  }
  core::Checked<Format> parsed = Format::parse(fmt_text);
  if (!parsed.ok()) {
    PyErr_SetString(PyExc_ValueError, parsed.message().c_str());
    return nullptr;
  }
  std::optional<RunOptions> options =
      parse_options(option[0], option[1], option[2], option[3], option[4], option[5], option[6],
                    option[7], option[8]);
  if (!options) return nullptr;
  if (options->compress && parsed.value() != Format::Protobuf) {
    PyErr_SetString(PyExc_ValueError, "compress: only a protobuf trace can be compressed");
    return nullptr;
  }
  return make_tracer(type, std::move(*out), parsed.value(), std::move(*options));
}

PyObject* tracer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&] { return tracer_new_impl(type, args, kwds); });
}

void tracer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<TracerObject*>(self)->tracer.~Tracer();
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
    {"start", as_pycfunction(enter), METH_NOARGS,
     "start($self)\n--\n\nStart tracing, as entering a with block does; returns the tracer."},
    {"stop", as_pycfunction(stop_method), METH_NOARGS,
     "stop($self)\n--\n\nStop tracing and finish the trace, as leaving a with block does."},
    {nullptr, nullptr, 0, nullptr},
};

// A count of the last run that ended, or None while one runs or before any
// has ended. `events`: every event its threads recorded; `dropped`: those of
// them the trace does not hold.
template <uint64_t (*Count)(const core::LossCounts&)>
PyObject* finished_count(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Tracer& t = tracer_of(self);
    std::unique_lock lock = lock_running(t);
    if (t.running || !t.finished) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(Count(t.finished->counts));
  });
}

uint64_t recorded_count(const core::LossCounts& c) { return c.recorded; }
uint64_t lost_count(const core::LossCounts& c) { return c.lost(); }

PyGetSetDef tracer_getset[] = {
    {"events", finished_count<recorded_count>, nullptr,
     "Events the last finished run recorded, dropped ones included; None until a run has "
     "ended, and while one runs.",
     nullptr},
    {"dropped", finished_count<lost_count>, nullptr,
     "Of those events, the ones its trace does not hold; None as for events.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tracer_slots[] = {
    {Py_tp_getset, tracer_getset},
    {Py_tp_new, reinterpret_cast<void*>(tracer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
    {Py_tp_methods, tracer_methods},
    {Py_tp_doc, const_cast<char*>("Tracer(output, format=..., *, include=None, exclude=None, "
                                  "max_depth=None, min_duration=None, lossless=False, "
                                  "spool=False, compress=False, c_calls=False, "
                                  "async_tasks=False)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec tracer_type_def = {
    "morvex._core.Tracer", sizeof(TracerObject), 0,
    Py_TPFLAGS_DEFAULT,  // no subclasses, no dict, no weak references, no GC
    tracer_slots,
};

}  // namespace

Tracer& tracer_of(PyObject* self) { return reinterpret_cast<TracerObject*>(self)->tracer; }

Running::~Running() {
  if (exporter.joinable()) exporter.detach();
}

PyObject* tracer_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&tracer_type_def);
  return type;
}

PyRef new_tracer(std::string output, Format format, RunOptions options) {
  if (!whole_path("output", output)) return {};
  PyObject* type = tracer_type();
  if (type == nullptr) return {};
  return PyRef::steal(make_tracer(reinterpret_cast<PyTypeObject*>(type), std::move(output), format,
                                  std::move(options)));
}

PyRef tracer_enter(PyObject* self) { return PyRef::steal(enter(self, nullptr)); }

PyRef tracer_exit(PyObject* self, bool interrupted) {
  return PyRef::steal(guarded([&] { return exit_run(self, interrupted); }));
}

}  // namespace morvex::py
