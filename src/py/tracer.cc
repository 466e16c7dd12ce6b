#include "py/tracer.h"

#include <unistd.h>

#include <charconv>
#include <cstring>

#include "core/pipeline.h"
#include "core/thread.h"
#include "core/recorder.h"

namespace morvex::py {

namespace {

struct TracerObject {
  PyObject_HEAD Tracer* tracer;
};

Tracer& tracer_of(PyObject* self) { return *reinterpret_cast<TracerObject*>(self)->tracer; }

// ---- process-wide slots ---------------------------------------------------

// The tracer most recently installed; read by the fork hooks. Never
// destroyed: the hooks may run while static destructors do.
struct ActiveSlot {
  std::mutex mu;
  PyObject* tracer = nullptr;  // strong reference
};
ActiveSlot& ACTIVE() {
  static ActiveSlot* slot = new ActiveSlot;
  return *slot;
}

// Replaces ACTIVE's content; the old reference is dropped outside the lock.
void set_active(PyObject* tracer) {
  Py_XINCREF(tracer);
  PyObject* old;
  {
    std::lock_guard lock(ACTIVE().mu);
    old = std::exchange(ACTIVE().tracer, tracer);
  }
  Py_XDECREF(old);
}

bool HOOKS_REGISTERED = false;  // guarded by the interpreter lock

// `running` can be held across an exporter join that needs the interpreter
// lock back, so a contended wait must not keep the interpreter lock.
std::unique_lock<std::mutex> lock_running(Tracer& t) {
  std::unique_lock lock(t.running_mu, std::try_to_lock);
  if (!lock.owns_lock()) {
    Py_BEGIN_ALLOW_THREADS lock.lock();
    Py_END_ALLOW_THREADS
  }
  return lock;
}

// ---- environment ----------------------------------------------------------

PyRef os_environ() { return import_attr("os", "environ"); }

bool set_env(const char* key, const std::string& value) {
  PyRef environ = os_environ();
  if (!environ) return false;
  PyRef v = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(value.data(), value.size()));
  if (!v) return false;
  return PyMapping_SetItemString(environ.get(), key, v.get()) == 0;
}

bool pop_env(PyObject* environ, const char* key) {
  PyRef r = PyRef::steal(PyObject_CallMethod(environ, "pop", "sO", key, Py_None));
  return static_cast<bool>(r);
}

// The child zero point from the environment, if it is there and readable.
std::optional<uint64_t> inherited_zero() {
  PyRef environ = os_environ();
  PyRef v = environ ? PyRef::steal(PyObject_CallMethod(environ.get(), "get", "s", kChildZeroVar))
                    : PyRef();
  const char* s = v && PyUnicode_Check(v.get()) ? PyUnicode_AsUTF8(v.get()) : nullptr;
  PyErr_Clear();
  if (s == nullptr) return std::nullopt;
  uint64_t zero = 0;
  auto [end, ec] = std::from_chars(s, s + std::strlen(s), zero);
  if (ec != std::errc() || *end != '\0') return std::nullopt;
  return zero;
}

// ---- starting and stopping runs ------------------------------------------

void join_detached_from_interpreter(std::thread& t) {
  Py_BEGIN_ALLOW_THREADS t.join();
  Py_END_ALLOW_THREADS
}

// Starts a run on a claimed tool id. On failure the claim is released and a
// Python exception is set.
std::unique_ptr<Running> start_claimed(Tracer& t, uint32_t pid, bool append, core::Clock clock,
                                       uint8_t tool_id) {
  auto queue = core::EventQueue::create(clock);
  auto state = std::make_shared<State>(queue);

  core::Result<std::unique_ptr<core::Exporter>> exporter = t.format.open(t.output, pid, append);
  if (!exporter.ok()) {
    PyErr_SetString(PyExc_OSError, exporter.error().text().c_str());
    release_tool_id(tool_id);
    return nullptr;
  }
  auto outcome = std::make_shared<ExporterOutcome>();
  core::Result<std::thread> thread = core::spawn_named(
      "morvex-exporter", [queue, state, outcome, e = std::move(exporter.value())]() mutable {
        try {
          outcome->status = core::run_pipeline(queue, state, state, std::move(e));
        } catch (...) {
          outcome->panicked = true;
        }
      });
  if (!thread.ok()) {
    PyErr_SetString(PyExc_RuntimeError, ("spawn exporter: " + thread.error().text()).c_str());
    release_tool_id(tool_id);
    return nullptr;
  }
  std::optional<MonitoringHandle> handle = enable_claimed(state, tool_id);
  if (!handle) {
    // The file gets a finished trace with no function events.
    queue->close();
    join_detached_from_interpreter(thread.value());
    return nullptr;
  }
  auto r = std::make_unique<Running>();
  r->monitoring = std::move(handle);
  r->queue = std::move(queue);
  r->state = std::move(state);
  r->exporter = std::move(thread.value());
  r->outcome = std::move(outcome);
  r->zero = clock.monotonic_start() - clock.offset();
  return r;
}

// A clock for a new run; `zero` puts the run on another run's timeline.
core::Clock run_clock(std::optional<uint64_t> zero) {
  core::Clock clock = core::Clock::starting_now();
  return zero ? clock.counting_from(*zero) : clock;
}

std::unique_ptr<Running> start(Tracer& t, uint32_t pid, bool append, std::optional<uint64_t> zero) {
  std::optional<uint8_t> tool_id = claim_tool_id();
  if (!tool_id) return nullptr;
  return start_claimed(t, pid, append, run_clock(zero), *tool_id);
}

// The orderly stop: events off, partial batches handed over, queue closed,
// exporter joined. Returns false with an exception set when something failed;
// the run is over either way.
bool stop(std::unique_ptr<Running> r) {
  PyObject* disable_error = nullptr;
  if (r->monitoring && !disable(*r->monitoring)) disable_error = PyErr_GetRaisedException();
  // Monitoring is off and this thread holds the interpreter lock that every
  // callback needs: no thread is inside the recording path.
  r->queue->add_dropped(core::flush_every_thread());
  r->queue->close();
  join_detached_from_interpreter(r->exporter);
  std::shared_ptr<ExporterOutcome> outcome = std::move(r->outcome);
  r.reset();
  release_pending_refs();
  if (disable_error != nullptr) {
    PyErr_SetRaisedException(disable_error);
    return false;
  }
  if (outcome->panicked) {
    PyErr_SetString(PyExc_RuntimeError, "exporter thread panicked");
    return false;
  }
  if (!outcome->status.ok()) {
    PyErr_SetString(PyExc_IOError, outcome->status.error().text().c_str());
    return false;
  }
  return true;
}

// Stops a run that must not go on, keeping the exception that says why.
void abandon(std::unique_ptr<Running> r) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!stop(std::move(r))) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

bool register_fork_hooks() {
  PyRef module = PyRef::steal(PyImport_ImportModule("morvex._core"));
  if (!module) return false;
  PyRef kwargs = PyRef::steal(PyDict_New());
  if (!kwargs) return false;
  const char* const pairs[][2] = {{"before", "_before_fork"},
                                  {"after_in_parent", "_after_fork_in_parent"},
                                  {"after_in_child", "_after_fork_in_child"}};
  for (const auto& [key, attr] : pairs) {
    PyRef f = PyRef::steal(PyObject_GetAttrString(module.get(), attr));
    if (!f || PyDict_SetItemString(kwargs.get(), key, f.get()) != 0) return false;
  }
  PyRef reg = import_attr("os", "register_at_fork");
  if (!reg) return false;
  PyRef empty = PyRef::steal(PyTuple_New(0));
  if (!empty) return false;
  return static_cast<bool>(PyRef::steal(PyObject_Call(reg.get(), empty.get(), kwargs.get())));
}

PyObject* install(PyObject* self, std::unique_ptr<Running> r) {
  if (!HOOKS_REGISTERED) {
    HOOKS_REGISTERED = true;  // attempted once per process, whatever the outcome
    if (!register_fork_hooks()) {
      abandon(std::move(r));
      return nullptr;
    }
  }
  std::unique_ptr<Running> previous;
  {
    std::unique_lock lock = lock_running(tracer_of(self));
    previous = std::exchange(tracer_of(self).running, std::move(r));
  }
  previous.reset();
  set_active(self);
  return Py_NewRef(self);
}

// ---- Python methods -------------------------------------------------------

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
    PyObject* values[3] = {nullptr, nullptr, nullptr};
    if (nargs > 3) {
      PyErr_Format(PyExc_TypeError, "__exit__() takes at most 3 positional arguments (%zd given)",
                   nargs);
      return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) values[i] = args[i];
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      int slot = -1;
      for (int j = 0; j < 3; j++)
        if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) slot = j;
      if (slot < 0) {
        PyErr_Format(PyExc_TypeError, "__exit__() got an unexpected keyword argument '%U'", key);
        return nullptr;
      }
      if (values[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "__exit__() got multiple values for argument '%s'",
                     names[slot]);
        return nullptr;
      }
      values[slot] = args[nargs + k];
    }
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

#define MORVEX_NOARGS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef tracer_methods[] = {
    {"__enter__", MORVEX_NOARGS(enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"_enter_as_child", MORVEX_NOARGS(enter_as_child), METH_NOARGS,
     "_enter_as_child($self)\n--\n\nEnter as a process that exec'd out of a traced one: same "
     "bookkeeping,\nbut writing beside the trace its parent named rather than over it."},
    {"__exit__", MORVEX_NOARGS(exit_method), METH_FASTCALL | METH_KEYWORDS,
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

// ---- fork hooks -----------------------------------------------------------

// Runs `f(tracer_object, tracer)` with ACTIVE and the active tracer's
// `running` held, in that order; nothing when no tracer is active.
template <class F>
PyObject* with_active(F&& f) {
  std::lock_guard active(ACTIVE().mu);
  PyObject* obj = ACTIVE().tracer;
  if (obj == nullptr) Py_RETURN_NONE;
  Tracer& t = tracer_of(obj);
  std::lock_guard running(t.running_mu);
  return f(obj, t);
}

// A forked child of multiprocessing ends with os._exit; the package arranges
// for the child's run to be finished before that. Best effort: tracing goes
// on without it.
void finish_before_multiprocessing_exit(PyObject* tracer) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (PyDict_GetItemString(modules, "multiprocessing.util") == nullptr) return;
  PyRef hook = import_attr("morvex._child", "_after_fork");
  PyRef r = hook ? PyRef::steal(PyObject_CallOneArg(hook.get(), tracer)) : PyRef();
  if (!r) PyErr_Clear();
}

}  // namespace

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

PyObject* before_fork(PyObject*, PyObject*) {
  return guarded([] {
    return with_active([](PyObject*, Tracer& t) -> PyObject* {
      if (!t.running || !t.running->monitoring) Py_RETURN_NONE;
      MonitoringHandle handle = std::move(*t.running->monitoring);
      t.running->monitoring.reset();
      if (!disable(handle)) return nullptr;
      Py_RETURN_NONE;
    });
  });
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
  return guarded([] {
    return with_active([](PyObject*, Tracer& t) -> PyObject* {
      if (!t.running) Py_RETURN_NONE;
      std::optional<MonitoringHandle> handle = enable(t.running->state);
      if (!handle) return nullptr;
      t.running->monitoring = std::move(handle);
      Py_RETURN_NONE;
    });
  });
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
  return guarded([] {
    PyRef started;  // the tracer whose child run started
    PyObject* result = with_active([&started](PyObject* obj, Tracer& t) -> PyObject* {
      // The inherited run is leaked on purpose: its exporter thread did not
      // survive the fork and any lock it held is held by nobody now.
      std::optional<uint64_t> parent_zero;
      if (t.running) parent_zero = t.running->zero;
      (void)t.running.release();
      core::forget_other_threads();
      // The surviving thread is a new thread to the system, with an id of its
      // own; its events must not carry its parent-side twin's id.
      core::HOT.tid = UINT32_MAX;
      std::unique_ptr<Running> r = start(t, static_cast<uint32_t>(getpid()), true, parent_zero);
      if (!r) return nullptr;
      t.running = std::move(r);
      started = PyRef::borrow(obj);
      Py_RETURN_NONE;
    });
    // Outside the locks: this runs Python code.
    if (result != nullptr && started) finish_before_multiprocessing_exit(started.get());
    return result;
  });
}

}  // namespace morvex::py
