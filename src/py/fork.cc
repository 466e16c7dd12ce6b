// The process-wide active tracer and the fork hooks that act on it.
//
// Locks: ACTIVE before a tracer's `running`; only the fork hooks hold both.
// At a fork both are free on interpreters with a global lock: other threads
// hold them only briefly under that lock, which the forking thread holds,
// and a tracer stopping on another thread empties ACTIVE before it takes
// its `running` across the exporter join.
#include "py/fork.h"

#include <unistd.h>

#include "core/recorder.h"
#include "py/callbacks.h"
#include "py/errors.h"
#include "py/exit_hook.h"
#include "py/run.h"

namespace morvex::py {

namespace {

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

bool HOOKS_REGISTERED = false;  // guarded by the interpreter lock

bool register_fork_hooks() {
  // The child's hooks run in the order they were registered. threading's
  // (it resets its locks and its table of threads) is the interpreter's
  // part of the fork, not the program's: registered first, it runs before
  // the child's run starts and stays out of its trace. A run imports
  // threading anyway, to name its threads.
  if (!PyRef::steal(PyImport_ImportModule("threading"))) return false;
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

}  // namespace

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

PyRef active_tracer() {
  std::lock_guard lock(ACTIVE().mu);
  return PyRef::borrow(ACTIVE().tracer);
}

bool ensure_fork_hooks() {
  if (HOOKS_REGISTERED) return true;
  HOOKS_REGISTERED = true;  // attempted once per process, whatever the outcome
  return register_fork_hooks();
}

bool clear_active_if(PyObject* tracer) {
  PyObject* old = nullptr;
  {
    std::lock_guard lock(ACTIVE().mu);
    if (ACTIVE().tracer == tracer) old = std::exchange(ACTIVE().tracer, nullptr);
  }
  Py_XDECREF(old);
  return old != nullptr;
}

PyObject* install(PyObject* self, std::unique_ptr<Running> r) {
  std::unique_ptr<Running> previous;
  {
    std::unique_lock lock = lock_running(tracer_of(self));
    previous = std::exchange(tracer_of(self).running, std::move(r));
  }
  previous.reset();
  set_active(self);
  hook_os_exit();
  return Py_NewRef(self);
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
    return with_active([](PyObject*, Tracer& t) -> PyObject* {
      // The inherited run is leaked on purpose: its exporter thread did not
      // survive the fork and any lock it held is held by nobody now.
      std::optional<uint64_t> parent_zero;
      if (t.running) parent_zero = t.running->zero;
      (void)t.running.release();
      core::forget_other_threads();
      set_current_run(nullptr);
      // The surviving thread is a new thread to the system, with an id of its
      // own; its events must not carry its parent-side twin's id.
      core::HOT.tid = UINT32_MAX;
      if (core::Cold* cold = core::cold_state()) cold->os_tid = UINT32_MAX;
      std::unique_ptr<Running> r = start(t, static_cast<uint32_t>(getpid()), true, parent_zero);
      if (!r) return nullptr;
      t.running = std::move(r);
      Py_RETURN_NONE;
    });
  });
}

}  // namespace morvex::py
