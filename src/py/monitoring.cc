#include "py/monitoring.h"

#include <unistd.h>

#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/recorder.h"

namespace morvex::py {

using core::Hot;
using core::HOT;

uint32_t current_tid() { return static_cast<uint32_t>(::gettid()); }

namespace {

// ---- the Callbacks object -------------------------------------------------

struct CallbacksObject {
  PyObject_HEAD std::shared_ptr<State> state;
};

void callbacks_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<CallbacksObject*>(self)->state.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot callbacks_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(callbacks_dealloc)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec callbacks_spec = {
    "morvex._core.Callbacks",
    sizeof(CallbacksObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    callbacks_slots,
};

// Built on first use, kept for the life of the process.
PyObject* callbacks_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&callbacks_spec);
  return type;
}

PyRef new_callbacks(std::shared_ptr<State> state) {
  PyObject* type = callbacks_type();
  if (type == nullptr) return {};
  PyObject* self =
      reinterpret_cast<PyTypeObject*>(type)->tp_alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return {};
  new (&reinterpret_cast<CallbacksObject*>(self)->state) std::shared_ptr<State>(std::move(state));
  return PyRef::steal(self);
}

// ---- the per-event path ---------------------------------------------------

constexpr uint64_t kFibonacci = 0x9E3779B97F4A7C15ull;
constexpr uint32_t kNameAttempts = 64;

// Runs when the single-entry cache misses: first events of a thread in a
// run, a new code object, or a thread whose name is still unsettled.
[[gnu::noinline]] std::optional<uint32_t> resolve_cold(State& st, PyObject* code, Hot& hot) {
  core::CodeSlot* table = core::code_cache();
  if (table == nullptr) return std::nullopt;  // thread teardown
  if (hot.queue_id != st.queue_id) {
    std::memset(static_cast<void*>(table), 0, sizeof(core::CodeSlot) * core::kCodeSlots);
    hot.last_code = UINTPTR_MAX;
    hot.named = false;
    hot.name_attempts = kNameAttempts;
  }
  if (hot.tid == UINT32_MAX) hot.tid = current_tid();
  if (!hot.named && hot.name_attempts > 0) {
    hot.name_attempts--;
    hot.named = st.threads.ensure(hot.tid);
  }
  auto address = reinterpret_cast<uintptr_t>(code);
  core::CodeSlot& slot = table[(address * kFibonacci) >> 56];
  uint32_t id;
  if (slot.address == address) {
    id = slot.code_id;
  } else {
    std::optional<uint32_t> found = st.interner.lookup(address);
    if (!found) found = st.interner.insert(code);
    if (!found) return std::nullopt;  // 2^24 code objects this run
    id = *found;
    slot = {address, id};
  }
  hot.last_code_id = id;
  // While the name is unsettled every event comes back here to retry it.
  hot.last_code = (hot.named || hot.name_attempts == 0) ? address : UINTPTR_MAX;
  return id;
}

// The cold halves of the per-event path live out of line, reached by tail
// calls, so that the common case needs no stack frame at all.

[[gnu::noinline]] PyObject* store_slow(State& st, Hot& hot, uint64_t now, uint32_t word) {
  core::slow_path(*st.queue, hot, now, hot.tid, word);
  Py_RETURN_NONE;
}

[[gnu::noinline]] PyObject* record_resolving(State& st, PyObject* code, uint64_t now,
                                             uint8_t kind) {
  Hot& hot = HOT;
  if (std::optional<uint32_t> id = resolve_cold(st, code, hot))
    core::record(*st.queue, st.queue_id, hot, now, core::pack_word(kind, *id));
  else
    st.queue->add_dropped(1);  // no id for it: lost, but never silently
  Py_RETURN_NONE;
}

// Everything after the time is read.
inline PyObject* record_at(State& st, PyObject* code, uint64_t now, uint8_t kind) {
  Hot& hot = HOT;
  // A hit implies the thread is bound to this run's queue.
  if (hot.last_code != reinterpret_cast<uintptr_t>(code) || hot.queue_id != st.queue_id)
      [[unlikely]]
    return record_resolving(st, code, now, kind);
  uint32_t word = core::pack_word(kind, hot.last_code_id);
  if (core::try_store(hot, now, word)) [[likely]]
    Py_RETURN_NONE;
  return store_slow(st, hot, now, word);
}

// A thread not yet bound to a run whose clock reads the counter directly.
[[gnu::noinline]] PyObject* record_reading_clock(State& st, PyObject* code, uint8_t kind) {
  uint64_t now = st.queue->clock().raw();
  return record_at(st, code, now, kind);
}

inline PyObject* fastcall_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 uint8_t kind) {
  if (nargs < 1) [[unlikely]]
    Py_RETURN_NONE;
  State& st = *reinterpret_cast<CallbacksObject*>(self)->state;
  // Time first, so that resolving the code is not charged to this event.
  if (!HOT.direct_counter) [[unlikely]]
    return record_reading_clock(st, args[0], kind);
  return record_at(st, args[0], core::read_counter(), kind);
}

template <uint8_t Kind>
PyObject* callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return fastcall_record(self, args, nargs, Kind);
}

PyObject* cb_py_start(PyObject* s, PyObject* const* a, Py_ssize_t n) {
  return callback<1>(s, a, n);
}
PyObject* cb_py_return(PyObject* s, PyObject* const* a, Py_ssize_t n) {
  return callback<2>(s, a, n);
}
PyObject* cb_py_yield(PyObject* s, PyObject* const* a, Py_ssize_t n) {
  return callback<3>(s, a, n);
}
PyObject* cb_py_resume(PyObject* s, PyObject* const* a, Py_ssize_t n) {
  return callback<4>(s, a, n);
}
PyObject* cb_py_unwind(PyObject* s, PyObject* const* a, Py_ssize_t n) {
  return callback<5>(s, a, n);
}
PyObject* cb_py_throw(PyObject* s, PyObject* const* a, Py_ssize_t n) {
  return callback<6>(s, a, n);
}

#define MORVEX_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// Registration order; unregistration walks it again.
PyMethodDef CALLBACKS[] = {
    {"_mv_py_start", MORVEX_FASTCALL(cb_py_start), METH_FASTCALL, nullptr},
    {"_mv_py_return", MORVEX_FASTCALL(cb_py_return), METH_FASTCALL, nullptr},
    {"_mv_py_yield", MORVEX_FASTCALL(cb_py_yield), METH_FASTCALL, nullptr},
    {"_mv_py_resume", MORVEX_FASTCALL(cb_py_resume), METH_FASTCALL, nullptr},
    {"_mv_py_unwind", MORVEX_FASTCALL(cb_py_unwind), METH_FASTCALL, nullptr},
    {"_mv_py_throw", MORVEX_FASTCALL(cb_py_throw), METH_FASTCALL, nullptr},
};
const char* const EVENT_NAMES[] = {"PY_START",  "PY_RETURN", "PY_YIELD",
                                   "PY_RESUME", "PY_UNWIND", "PY_THROW"};
constexpr size_t kCallbacks = sizeof(CALLBACKS) / sizeof(CALLBACKS[0]);

// ---- registration ---------------------------------------------------------

PyRef sys_monitoring() { return import_attr("sys", "monitoring"); }

std::optional<int32_t> event_bit(PyObject* events, const char* name) {
  PyRef v = PyRef::steal(PyObject_GetAttrString(events, name));
  if (!v) return std::nullopt;
  long bit = PyLong_AsLong(v.get());
  if (bit == -1 && PyErr_Occurred()) return std::nullopt;
  if (bit < INT32_MIN || bit > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "event number does not fit 32 bits");
    return std::nullopt;
  }
  return static_cast<int32_t>(bit);
}

// Calls monitoring.<method>(args...) and drops the result.
template <class... Args>
bool call_monitoring(PyObject* monitoring, const char* method, const char* format, Args... args) {
  PyRef r = PyRef::steal(PyObject_CallMethod(monitoring, method, format, args...));
  return static_cast<bool>(r);
}

// Undoes a partial enable_claimed while keeping the exception that stopped
// it: the callbacks registered so far are removed and the tool id freed.
void undo_enable(PyObject* monitoring, uint8_t tool_id, const std::vector<int32_t>& bits) {
  PyObject* exc = PyErr_GetRaisedException();
  for (int32_t bit : bits)
    if (!call_monitoring(monitoring, "register_callback", "iiO", int{tool_id}, int{bit}, Py_None))
      PyErr_Clear();
  PyErr_SetRaisedException(exc);
  release_tool_id(tool_id);
}

}  // namespace

void release_tool_id(uint8_t tool_id) {
  PyObject* exc = PyErr_GetRaisedException();
  PyRef monitoring = sys_monitoring();
  if (!monitoring || !call_monitoring(monitoring.get(), "free_tool_id", "i", int{tool_id}))
    PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

std::optional<uint8_t> claim_tool_id() {
  PyRef monitoring = sys_monitoring();
  if (!monitoring) return std::nullopt;
  PyRef id_obj = PyRef::steal(PyObject_GetAttrString(monitoring.get(), "PROFILER_ID"));
  if (!id_obj) return std::nullopt;
  long id = PyLong_AsLong(id_obj.get());
  if (id == -1 && PyErr_Occurred()) return std::nullopt;
  if (id < 0 || id > 255) {
    PyErr_SetString(PyExc_OverflowError, "tool id does not fit 8 bits");
    return std::nullopt;
  }
  if (!call_monitoring(monitoring.get(), "use_tool_id", "is", int(id), "morvex"))
    return std::nullopt;
  return static_cast<uint8_t>(id);
}

std::optional<MonitoringHandle> enable_claimed(std::shared_ptr<State> state, uint8_t tool_id) {
  PyRef monitoring = sys_monitoring();
  if (!monitoring) return std::nullopt;
  std::vector<int32_t> registered;
  auto fail = [&]() -> std::optional<MonitoringHandle> {
    undo_enable(monitoring.get(), tool_id, registered);
    return std::nullopt;
  };
  PyRef events = PyRef::steal(PyObject_GetAttrString(monitoring.get(), "events"));
  if (!events) return fail();
  MonitoringHandle handle;
  handle.tool_id = tool_id;
  handle.callbacks = new_callbacks(std::move(state));
  if (!handle.callbacks) return fail();
  handle.methods.reserve(kCallbacks);
  int32_t mask = 0;
  for (size_t i = 0; i < kCallbacks; i++) {
    std::optional<int32_t> bit = event_bit(events.get(), EVENT_NAMES[i]);
    if (!bit) return fail();
    PyRef method =
        PyRef::steal(PyCMethod_New(&CALLBACKS[i], handle.callbacks.get(), nullptr, nullptr));
    if (!method) {
      if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      return fail();
    }
    if (!call_monitoring(monitoring.get(), "register_callback", "iiO", int{tool_id}, int{*bit},
                         method.get()))
      return fail();
    registered.push_back(*bit);
    handle.methods.push_back(std::move(method));
    mask |= *bit;
  }
  // Every callback is in place before any event is switched on.
  if (!call_monitoring(monitoring.get(), "set_events", "ii", int{tool_id}, int{mask}))
    return fail();
  return handle;
}

std::optional<MonitoringHandle> enable(std::shared_ptr<State> state) {
  std::optional<uint8_t> id = claim_tool_id();
  if (!id) return std::nullopt;
  return enable_claimed(std::move(state), *id);
}

bool disable(const MonitoringHandle& handle) {
  PyRef monitoring = sys_monitoring();
  if (!monitoring) return false;
  int tool = handle.tool_id;
  // Events off before the callbacks go; the tool id is freed last.
  if (!call_monitoring(monitoring.get(), "set_events", "ii", tool, 0)) return false;
  PyRef events = PyRef::steal(PyObject_GetAttrString(monitoring.get(), "events"));
  if (!events) return false;
  for (size_t i = 0; i < kCallbacks; i++) {
    std::optional<int32_t> bit = event_bit(events.get(), EVENT_NAMES[i]);
    if (!bit) return false;
    if (!call_monitoring(monitoring.get(), "register_callback", "iiO", tool, int{*bit}, Py_None))
      return false;
  }
  return call_monitoring(monitoring.get(), "free_tool_id", "i", tool);
}

}  // namespace morvex::py
