#include "py/callbacks.h"

#include <unistd.h>

#include <cstring>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/evqueue.h"
#include "core/recorder.h"
#include "py/monitoring.h"
#include "py/state.h"

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

PyType_Spec callbacks_type_def = {
    "morvex._core.Callbacks",
    sizeof(CallbacksObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    callbacks_slots,
};

// Built on first use, kept for the life of the process.
PyObject* callbacks_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&callbacks_type_def);
  return type;
}

// ---- the Callback objects -------------------------------------------------

// One event's callable. The interpreter finds `vectorcall` through the
// type's vectorcall offset and calls it with the object itself, from which
// the run's state is one load away.
struct CallbackObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  State* state;        // owned by `callbacks`
  PyObject* callbacks;  // strong
  const char* name;
};

void callback_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<CallbackObject*>(self)->callbacks);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* callback_repr(PyObject* self) {
  return PyUnicode_FromFormat("<morvex callback %s>", reinterpret_cast<CallbackObject*>(self)->name);
}

PyObject* callback_name(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<CallbackObject*>(self)->name);
}

PyMemberDef callback_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CallbackObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef callback_getset[] = {
    {"__name__", callback_name, nullptr, nullptr, nullptr},
    {"__qualname__", callback_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot callback_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(callback_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(callback_repr)},
    {Py_tp_members, callback_members},
    {Py_tp_getset, callback_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec callback_type_def = {
    "morvex._core.Callback",
    sizeof(CallbackObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_VECTORCALL,
    callback_slots,
};

PyObject* callback_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&callback_type_def);
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

PyRef new_callback(PyObject* callbacks, const CallbackEntry& entry) {
  PyObject* type = callback_type();
  if (type == nullptr) return {};
  PyObject* self =
      reinterpret_cast<PyTypeObject*>(type)->tp_alloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return {};
  auto* cb = reinterpret_cast<CallbackObject*>(self);
  cb->vectorcall = entry.function;
  cb->state = reinterpret_cast<CallbacksObject*>(callbacks)->state.get();
  cb->callbacks = Py_NewRef(callbacks);
  cb->name = entry.name;
  return PyRef::steal(self);
}

namespace {

// ---- the per-event path ---------------------------------------------------

constexpr uint32_t kNameAttempts = 64;
// resolve_cold found no id: the run's 2^24 ids are spent, or the thread is
// being torn down.
constexpr uint32_t kNoId = UINT32_MAX;
static_assert(Interner::kExcluded != kNoId);

// The first event of a thread in a run: caches of an earlier run go, and the
// thread takes the id its events carry in this one.
void begin_run_on_thread(State& st, Hot& hot, core::Cold& cold) {
  std::memset(static_cast<void*>(cold.codes.get()), 0, sizeof(core::CodeSlot) * core::kCodeSlots);
  hot.codes = cold.codes.get();
  hot.last_code = UINTPTR_MAX;
  hot.settled = false;
  hot.name_attempts = kNameAttempts;
  hot.depth = 0;
  if (cold.os_tid == UINT32_MAX) cold.os_tid = current_tid();
  if (cold.keyed_queue != st.queue_id) {
    cold.key = st.threads.claim(cold.os_tid);
    cold.keyed_queue = st.queue_id;
  }
  hot.tid = cold.key;
}

// One more try at the thread's name (at most kNameAttempts a run).
void try_naming(State& st, Hot& hot) {
  bool named = false;
  if (hot.name_attempts > 0) {
    hot.name_attempts--;
    named = st.threads.ensure(hot.tid);
  }
  hot.settled = named || hot.name_attempts == 0;
}

// Runs when the caches miss: first events of a thread in a
// run, a new code object, or a thread whose name is still unsettled.
[[gnu::noinline]] uint32_t resolve_cold(State& st, PyObject* code, Hot& hot) {
  core::CodeSlot* table = core::code_cache();
  if (table == nullptr) return kNoId;  // thread teardown
  if (hot.queue_id != st.queue_id) begin_run_on_thread(st, hot, *core::cold_state());
  if (!hot.settled) try_naming(st, hot);
  auto address = reinterpret_cast<uintptr_t>(code);
  core::CodeSlot& slot = table[core::code_slot(address)];
  uint32_t id;
  if (slot.address == address) {
    id = slot.code_id;
  } else {
    std::optional<uint32_t> found = st.interner.lookup(address);
    if (!found) found = st.interner.insert(code);
    if (!found) return kNoId;
    id = *found;
    slot = {address, id};
  }
  if (id == Interner::kExcluded) return id;  // never the single-entry cache's
  hot.last_code_id = id;
  // While the name is unsettled every event comes back here to retry it.
  hot.last_code = hot.settled ? address : UINTPTR_MAX;
  return id;
}

// What the callback answers for code the filters leave out: the interpreter
// stops calling at this location, apart from unwind and throw, which can't
// be switched off and are answered here each time.
[[gnu::noinline]] PyObject* left_out(State& st, uint8_t kind) {
  if (kind == static_cast<uint8_t>(core::EventKind::Unwind) ||
      kind == static_cast<uint8_t>(core::EventKind::Throw))
    Py_RETURN_NONE;
  st.disabled_locations.store(true, std::memory_order_relaxed);
  return Py_NewRef(st.disable.get());
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
  uint32_t id = resolve_cold(st, code, hot);
  if (id == Interner::kExcluded) return left_out(st, kind);
  if (id == kNoId) {
    st.queue->add_dropped(1);  // lost, but never silently
    Py_RETURN_NONE;
  }
  core::record(*st.queue, st.queue_id, hot, now, core::pack_word(kind, id));
  Py_RETURN_NONE;
}

// Everything after the time is read. `run()` gives the run's state, which
// only the cold paths need: on a hit it is never loaded.
template <class Run>
inline PyObject* record_at(Run run, PyObject* code, uint64_t now, uint8_t kind) {
  Hot& hot = HOT;
  const auto address = reinterpret_cast<uintptr_t>(code);
  uint32_t id = hot.last_code_id;
  // A hit implies the code was resolved in this run, and the thread bound
  // to the run's queue (resolving ends in a store, which binds it): the
  // cache is emptied wherever a binding may go stale (a run's start and
  // end, a flush, a fork, the thread's exit), so a hit needs no check of it.
  if (hot.last_code != address) [[unlikely]] {
    State& st = run();
    // Consecutive events of different functions, the common case of real
    // programs: the thread's table has them, no call needed.
    if (hot.queue_id != st.queue_id || !hot.settled) return record_resolving(st, code, now, kind);
    const core::CodeSlot& slot = hot.codes[core::code_slot(address)];
    if (slot.address != address) return record_resolving(st, code, now, kind);
    id = slot.code_id;
    if (id == Interner::kExcluded) [[unlikely]]
      return left_out(st, kind);
    hot.last_code = address;
    hot.last_code_id = id;
  }
  // Every id is below the interner's kMaxCodes, within the word's id bits:
  // no mask needed.
  static_assert(Interner::kMaxCodes - 1 == core::kCodeIdMask);
  const uint32_t word = (uint32_t{kind} << 24) | id;
  if (core::try_store(hot, now, word)) [[likely]]
    Py_RETURN_NONE;
  return store_slow(run(), hot, now, word);
}

// The calling thread's count of events max_depth cut in the run
// `queue_id`: a slot of the run's own (State::DepthCut), reached without a
// lock.
struct DepthCutting {
  uint64_t queue_id = 0;
  State::DepthCut* slot = nullptr;
};
// Initial-exec for the reason HOT is (recorder.h).
constinit thread_local DepthCutting DEPTH_CUT __attribute__((tls_model("initial-exec")));

[[gnu::noinline]] void count_first_cut(State& st, DepthCutting& cut) {
  try {
    cut.slot = st.new_depth_cut();
  } catch (...) {
    // No memory for a slot: counted on the shared total instead, still
    // exactly; the next cut tries again.
    st.counters->depth_events.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  cut.queue_id = st.queue_id;
  cut.slot->events.store(1, std::memory_order_relaxed);
}

// Only this thread writes the slot: a plain increment, no locked add.
inline void count_cut(State& st) {
  DepthCutting& cut = DEPTH_CUT;
  if (cut.queue_id != st.queue_id) [[unlikely]]
    return count_first_cut(st, cut);
  std::atomic<uint64_t>& n = cut.slot->events;
  n.store(n.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// With a maximum depth: the thread counts its recorded frames, and events
// of frames deeper than the maximum are counted, not recorded. Frames that
// were running when the trace began don't count, and never take the count
// below zero.
// Keeps the thread's frame count (Hot::depth) and says whether an event at
// it lies within max_depth; one beyond it is counted as cut.
inline bool within_max_depth(State& st, Hot& hot, uint8_t kind) {
  uint32_t depth = hot.depth;
  if (core::ends_slice(kind)) {
    hot.depth = depth > 0 ? depth - 1 : 0;
  } else {
    hot.depth = ++depth;
  }
  if (depth <= st.max_depth) return true;
  count_cut(st);
  return false;
}

[[gnu::noinline]] PyObject* record_at_depth(State& st, PyObject* code, uint64_t now, uint8_t kind) {
  Hot& hot = HOT;
  uint32_t id = hot.last_code_id;
  if (hot.last_code != reinterpret_cast<uintptr_t>(code) || hot.queue_id != st.queue_id) {
    id = resolve_cold(st, code, hot);
    if (id == Interner::kExcluded) return left_out(st, kind);
    if (id == kNoId) {
      st.queue->add_dropped(1);
      Py_RETURN_NONE;
    }
  }
  if (within_max_depth(st, hot, kind))
    core::record(*st.queue, st.queue_id, hot, now, core::pack_word(kind, id));
  Py_RETURN_NONE;
}

// With asyncio tasks followed: where the calling thread's task step began,
// in frames recorded on it (Hot::depth), and the task's number; 0: no step.
struct TaskStepping {
  uint64_t queue_id = 0;
  uint32_t depth = 0;
  uint32_t task = 0;
};
// Initial-exec for the reason HOT is (recorder.h).
constinit thread_local TaskStepping STEP __attribute__((tls_model("initial-exec")));

inline bool is_coroutine(PyObject* code) {
  return PyCode_Check(code) && (reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_COROUTINE);
}

// A step's edge is no event of the program's: its batch counts it with the
// records that are not events, as it does payload, so that neither the
// run's event count nor a lost batch's counts it.
inline void record_step_edge(State& st, Hot& hot, uint64_t now, core::EventKind kind,
                             uint32_t task) {
  core::record(*st.queue, st.queue_id, hot, now, core::pack_word(static_cast<uint8_t>(kind), task));
  if (core::Cold* cold = core::cold_state(); cold != nullptr && cold->batch) ++cold->batch->payload;
}

// With asyncio tasks followed, a task step is bracketed by the TaskStep
// records (event.h). A step begins where a coroutine's frame begins while no
// step runs on the thread and a task is current: the task is looked up
// there, once per step. It ends with the end of that frame (its yield,
// return or unwind), when the task hands control back. Frames are counted
// (Hot::depth) within a step, from its first, or all along with a maximum
// depth, which this path then applies too.
[[gnu::noinline]] PyObject* record_task_event(State& st, PyObject* code, uint64_t now,
                                              uint8_t kind) {
  Hot& hot = HOT;
  uint32_t id = hot.last_code_id;
  if (hot.last_code != reinterpret_cast<uintptr_t>(code) || hot.queue_id != st.queue_id) {
    id = resolve_cold(st, code, hot);
    if (id == Interner::kExcluded) return left_out(st, kind);
    if (id == kNoId) {
      st.queue->add_dropped(1);
      Py_RETURN_NONE;
    }
  }
  TaskStepping& step = STEP;
  if (step.queue_id != st.queue_id) [[unlikely]]
    step = {st.queue_id, 0, 0};
  const bool cut_deeper = st.max_depth != State::kNoMaxDepth;
  const uint32_t word = core::pack_word(kind, id);
  if (!core::ends_slice(kind)) {
    if (!cut_deeper && step.task == 0) hot.depth = 0;
    const uint32_t depth = ++hot.depth;
    if (cut_deeper && depth > st.max_depth) {
      count_cut(st);
      Py_RETURN_NONE;
    }
    if (step.task == 0 && is_coroutine(code)) {
      if (uint32_t task = st.tasks.current(hot.tid, st.threads); task != 0) {
        step.task = task;
        step.depth = depth;
        record_step_edge(st, hot, now, core::EventKind::TaskStep, task);
      }
    }
    core::record(*st.queue, st.queue_id, hot, now, word);
    Py_RETURN_NONE;
  }
  const uint32_t depth = hot.depth;
  hot.depth = depth > 0 ? depth - 1 : 0;
  if (cut_deeper && depth > st.max_depth) {
    count_cut(st);
    Py_RETURN_NONE;
  }
  core::record(*st.queue, st.queue_id, hot, now, word);
  if (step.task != 0 && depth <= step.depth) {
    record_step_edge(st, hot, now, core::EventKind::TaskStepEnd, step.task);
    step.task = 0;
  }
  Py_RETURN_NONE;
}

// The time of an event on a path that is not the hot one: from the run's
// clock, direct or not.
inline uint64_t read_time(State& st) { return st.queue->clock().raw(); }

State& state_of(PyObject* self) { return *reinterpret_cast<CallbackObject*>(self)->state; }

// sys.monitoring passes the code object first; an empty call (never made
// by the interpreter) records nothing rather than read past the arguments.
// Keyword names, which it never passes either, are ignored.
inline bool no_arguments(size_t nargsf) {
  // The count without PY_VECTORCALL_ARGUMENTS_OFFSET, the top bit, in one
  // shift.
  static_assert(PY_VECTORCALL_ARGUMENTS_OFFSET == size_t{1} << (8 * sizeof(size_t) - 1));
  return (nargsf << 1) == 0;
}

// The run's clock reads the counter directly (the TSC): the table with these
// is registered only then, so no event asks.
template <core::EventKind Kind>
PyObject* direct_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
  if (no_arguments(nargsf)) [[unlikely]]
    Py_RETURN_NONE;
  return record_at([self]() -> State& { return state_of(self); }, args[0], core::read_counter(),
                   static_cast<uint8_t>(Kind));
}

template <core::EventKind Kind>
PyObject* clock_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
  if (no_arguments(nargsf)) [[unlikely]]
    Py_RETURN_NONE;
  State& st = state_of(self);
  return record_at([&st]() -> State& { return st; }, args[0], st.queue->clock().raw(),
                   static_cast<uint8_t>(Kind));
}

template <core::EventKind Kind>
PyObject* depth_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
  if (no_arguments(nargsf)) [[unlikely]]
    Py_RETURN_NONE;
  State& st = state_of(self);
  return record_at_depth(st, args[0], read_time(st), static_cast<uint8_t>(Kind));
}

// Outside a task step the plain path records the event: only the begin of
// a coroutine's frame may start a step, and only within one are frames
// counted. With a maximum depth every event takes the counting path.
template <core::EventKind Kind, bool kDirect, bool kDepth>
PyObject* task_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
  if (no_arguments(nargsf)) [[unlikely]]
    Py_RETURN_NONE;
  PyObject* code = args[0];
  constexpr auto kind = static_cast<uint8_t>(Kind);
  const TaskStepping& step = STEP;
  if (kDepth || step.task != 0 || (!core::ends_slice(kind) && is_coroutine(code))) [[unlikely]] {
    State& st = state_of(self);
    return record_task_event(st, code, read_time(st), kind);
  }
  if constexpr (kDirect) {
    return record_at([self]() -> State& { return state_of(self); }, code, core::read_counter(),
                     kind);
  } else {
    State& st = state_of(self);
    return record_at([&st]() -> State& { return st; }, code, st.queue->clock().raw(), kind);
  }
}

// Registration order: the same events and names in every table.
template <template <core::EventKind> class Function>
struct Table {
  static constexpr CallbackEntry entries[] = {
      {"PY_START", core::EventKind::Start, "_mv_py_start", Function<core::EventKind::Start>::f},
      {"PY_RETURN", core::EventKind::Return, "_mv_py_return",
       Function<core::EventKind::Return>::f},
      {"PY_YIELD", core::EventKind::Yield, "_mv_py_yield", Function<core::EventKind::Yield>::f},
      {"PY_RESUME", core::EventKind::Resume, "_mv_py_resume",
       Function<core::EventKind::Resume>::f},
      {"PY_UNWIND", core::EventKind::Unwind, "_mv_py_unwind",
       Function<core::EventKind::Unwind>::f},
      {"PY_THROW", core::EventKind::Throw, "_mv_py_throw", Function<core::EventKind::Throw>::f},
  };
};

template <core::EventKind Kind>
struct Direct {
  static constexpr vectorcallfunc f = direct_callback<Kind>;
};
template <core::EventKind Kind>
struct Clocked {
  static constexpr vectorcallfunc f = clock_callback<Kind>;
};
// For runs with a maximum depth: the plain callbacks never pay for counting
// depth.
template <core::EventKind Kind>
struct Depth {
  static constexpr vectorcallfunc f = depth_callback<Kind>;
};

// ---- C calls ---------------------------------------------------------------

// A C call this thread is inside of, as its CALL event reported it: its
// return or raise is matched against it, so that a return the interpreter
// reports without a call, or a call it never reports the return of, can't
// unbalance the thread's slices.
struct CFrame {
  uintptr_t key;
  const PyObject* code;  // of the calling frame; compared, never dereferenced
  uint32_t id;
};

struct CStack {
  uint64_t queue_id = 0;  // the run the frames belong to
  std::vector<CFrame> frames;
};
thread_local CStack C_STACK;

// The id of a C call's callable, from the thread's cache when it can.
inline uint32_t callable_id(State& st, Hot& hot, PyObject* callable, uintptr_t key) {
  if (hot.queue_id == st.queue_id && hot.settled) [[likely]] {
    const core::CodeSlot& slot = hot.codes[core::code_slot(key)];
    if (slot.address == key) return slot.code_id;
  }
  core::CodeSlot* table = core::code_cache();
  if (table == nullptr) return kNoId;  // thread teardown
  if (hot.queue_id != st.queue_id) begin_run_on_thread(st, hot, *core::cold_state());
  if (!hot.settled) try_naming(st, hot);
  core::CodeSlot& slot = table[core::code_slot(key)];
  if (slot.address == key) return slot.code_id;
  std::optional<uint32_t> found = st.interner.lookup(key);
  if (!found) found = st.interner.insert_callable(callable, key);
  if (!found) return kNoId;
  slot = {key, *found};
  return *found;
}

// A C call's event, counted against max_depth as the frames' are.
void record_c(State& st, Hot& hot, uint64_t now, core::EventKind kind, uint32_t id) {
  const uint8_t k = static_cast<uint8_t>(kind);
  if (st.max_depth != State::kNoMaxDepth && !within_max_depth(st, hot, k)) return;
  core::record(*st.queue, st.queue_id, hot, now, core::pack_word(k, id));
}

// CALL fires for every call, of Python functions too; those are answered
// first, with nothing recorded (PY_START reports them). DISABLE is no
// answer: it would switch C_RETURN and C_RAISE off at the location too.
PyObject* c_call_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
  if (PyVectorcall_NARGS(nargsf) < 3) [[unlikely]]
    Py_RETURN_NONE;
  PyObject* callable = args[2];
  if (Py_IS_TYPE(callable, &PyFunction_Type)) [[likely]]
    Py_RETURN_NONE;
  const uintptr_t key = callable_key(callable);
  if (key == 0) Py_RETURN_NONE;
  State& st = state_of(self);
  const uint64_t now = read_time(st);
  Hot& hot = HOT;
  const uint32_t id = callable_id(st, hot, callable, key);
  if (id == Interner::kExcluded || id == Interner::kUnrecorded) Py_RETURN_NONE;
  if (id == kNoId) {
    st.queue->add_dropped(2);  // the call and its end: lost, but never silently
    Py_RETURN_NONE;
  }
  CStack& stack = C_STACK;
  if (stack.queue_id != st.queue_id) {
    stack.frames.clear();
    stack.queue_id = st.queue_id;
  }
  try {
    stack.frames.push_back({key, args[0], id});
  } catch (const std::bad_alloc&) {
    // Without a frame its return could not be matched: no slice at all.
    st.queue->add_dropped(2);
    Py_RETURN_NONE;
  }
  record_c(st, hot, now, core::EventKind::CCall, id);
  Py_RETURN_NONE;
}

// C_RETURN and C_RAISE: the end of the innermost open C call of the same
// callable and calling code. Calls above it whose end never came end with
// it; an end that matches none (its call began before the run, or was
// never reported) is left out.
PyObject* c_return_callback(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
  CStack& stack = C_STACK;
  if (stack.frames.empty() || PyVectorcall_NARGS(nargsf) < 3) [[likely]]
    Py_RETURN_NONE;
  State& st = state_of(self);
  if (stack.queue_id != st.queue_id) {
    stack.frames.clear();  // left by an earlier run
    Py_RETURN_NONE;
  }
  const uintptr_t key = callable_key(args[2]);
  if (key == 0) Py_RETURN_NONE;
  size_t at = stack.frames.size();
  while (at-- > 0) {
    const CFrame& f = stack.frames[at];
    if (f.key == key && f.code == args[0]) break;
  }
  if (at == SIZE_MAX) Py_RETURN_NONE;
  const uint64_t now = read_time(st);
  Hot& hot = HOT;
  while (stack.frames.size() > at) {
    record_c(st, hot, now, core::EventKind::CReturn, stack.frames.back().id);
    stack.frames.pop_back();
  }
  Py_RETURN_NONE;
}

constexpr CallbackEntry kCCallEntries[] = {
    {"CALL", core::EventKind::CCall, "_mv_call", c_call_callback},
    {"C_RETURN", core::EventKind::CReturn, "_mv_c_return", c_return_callback},
    {"C_RAISE", core::EventKind::CReturn, "_mv_c_raise", c_return_callback},
};

// For runs that follow asyncio tasks: the plain callbacks never look for one.
template <core::EventKind Kind>
struct TasksDirect {
  static constexpr vectorcallfunc f = task_callback<Kind, true, false>;
};
template <core::EventKind Kind>
struct TasksClocked {
  static constexpr vectorcallfunc f = task_callback<Kind, false, false>;
};
template <core::EventKind Kind>
struct TasksDepth {
  static constexpr vectorcallfunc f = task_callback<Kind, false, true>;
};

State* CURRENT_RUN = nullptr;

}  // namespace

State* current_run() { return CURRENT_RUN; }
void set_current_run(State* st) { CURRENT_RUN = st; }

void record_user_event(State& st, core::EventKind kind, std::span<const uint64_t> payload) {
  Hot& hot = HOT;
  if (hot.queue_id != st.queue_id) {
    core::Cold* cold = core::cold_state();
    if (cold == nullptr || core::code_cache() == nullptr) return;  // thread teardown
    begin_run_on_thread(st, hot, *cold);
  }
  if (!hot.settled) {
    // Outside a callback the lookup's own Python code would be traced, and
    // land before this event: keep the interpreter from reporting it.
    PyThreadState* ts = PyThreadState_Get();
    PyThreadState_EnterTracing(ts);
    try_naming(st, hot);
    PyThreadState_LeaveTracing(ts);
  }
  core::record_user(*st.queue, st.queue_id, hot, read_time(st), kind, payload);
}

std::span<const CallbackEntry> c_call_table(const State& st) {
  if (!st.c_calls) return {};
  return kCCallEntries;
}

std::span<const CallbackEntry> callback_table(const State& st) {
  if (st.async_tasks) {
    if (st.max_depth != State::kNoMaxDepth) return Table<TasksDepth>::entries;
    if (st.queue->clock().is_direct()) return Table<TasksDirect>::entries;
    return Table<TasksClocked>::entries;
  }
  if (st.max_depth != State::kNoMaxDepth) return Table<Depth>::entries;
  if (st.queue->clock().is_direct()) return Table<Direct>::entries;
  return Table<Clocked>::entries;
}

}  // namespace morvex::py
