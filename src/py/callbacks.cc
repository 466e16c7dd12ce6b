#include "py/callbacks.h"

#include <unistd.h>

#include <cstring>
#include <new>

#include "core/clock.h"
#include "core/evqueue.h"
#include "core/recorder.h"
#include "py/monitoring.h"

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

}  // namespace

PyRef new_callbacks(std::shared_ptr<State> state) {
  PyObject* type = callbacks_type();
  if (type == nullptr) return {};
  PyObject* self =
      reinterpret_cast<PyTypeObject*>(type)->tp_alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return {};
  new (&reinterpret_cast<CallbacksObject*>(self)->state) std::shared_ptr<State>(std::move(state));
  return PyRef::steal(self);
}

namespace {

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

template <core::EventKind Kind>
PyObject* callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return fastcall_record(self, args, nargs, static_cast<uint8_t>(Kind));
}

// Registration order. PyCMethod_New binds each descriptor to the Callbacks
// object; the descriptors must outlive every bound method.
template <core::EventKind Kind>
constexpr CallbackSpec spec(const char* event, const char* method_name) {
  return {event, Kind, {method_name, as_pycfunction(callback<Kind>), METH_FASTCALL, nullptr}};
}

CallbackSpec CALLBACKS[] = {
    spec<core::EventKind::Start>("PY_START", "_mv_py_start"),
    spec<core::EventKind::Return>("PY_RETURN", "_mv_py_return"),
    spec<core::EventKind::Yield>("PY_YIELD", "_mv_py_yield"),
    spec<core::EventKind::Resume>("PY_RESUME", "_mv_py_resume"),
    spec<core::EventKind::Unwind>("PY_UNWIND", "_mv_py_unwind"),
    spec<core::EventKind::Throw>("PY_THROW", "_mv_py_throw"),
};

}  // namespace

std::span<CallbackSpec> callback_table() { return CALLBACKS; }

}  // namespace morvex::py
