// The callbacks sys.monitoring calls on traced threads, and the per-event
// path behind them.
//
// One table lists, for each monitored event, the kind of record it writes
// and the function the interpreter calls; registration walks it in order
// and unregistration walks the bits it collected. Each entry becomes a
// callable object of our own type whose vectorcall slot is that function:
// the interpreter reaches it directly, without the builtin-method wrapper
// (and its thread-state lookup) that a bound method would cost per event.
//
// Threads: the callbacks run on traced threads, attached to the
// interpreter. Their common case touches only the thread's own HOT: no lock,
// no allocation, no interpreter call.
#pragma once

#include <memory>
#include <span>

#include "core/event.h"
#include "py/pyref.h"

namespace morvex::py {

struct State;

struct CallbackEntry {
  const char* event;  // attribute of sys.monitoring.events
  core::EventKind kind;
  const char* name;         // the callable's __name__, as "_mv_py_start"
  vectorcallfunc function;  // what the interpreter calls
};

// The callbacks a run registers, in registration order: the table for the
// run's clock (read directly, or through the queue's clock) and options.
std::span<const CallbackEntry> callback_table(const State& st);

// The callbacks of C calls (CALL, C_RETURN, C_RAISE), registered after
// callback_table's when the run records them; empty otherwise.
std::span<const CallbackEntry> c_call_table(const State& st);

// The object the callbacks share; it keeps `state` alive for as long as
// sys.monitoring holds a callback.
PyRef new_callbacks(std::shared_ptr<State> state);

// The callable sys.monitoring is given for `entry`: it holds `callbacks`
// (from new_callbacks) and calls entry.function with the run's state.
PyRef new_callback(PyObject* callbacks, const CallbackEntry& entry);

// The thread id the recorders use: the low 32 bits of the kernel's id.
uint32_t current_tid();

// The run the program's own events (morvex.span, instant, counter) go to:
// the one whose callbacks are registered, or null. Guarded by the
// interpreter lock; set once the run's callbacks are in place, cleared
// before they go.
State* current_run();
void set_current_run(State* st);

// Records one of the program's own events on the calling thread, in order
// with its function events. Never waits, never raises.
void record_user_event(State& st, core::EventKind kind, std::span<const uint64_t> payload);

}  // namespace morvex::py
