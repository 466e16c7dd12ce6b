// The process-wide active tracer (the one whose run the fork hooks and
// os._exit's hook act on) and the fork hooks themselves.
//
// Locks: ACTIVE before a tracer's `running`; only the fork hooks hold both.
// Threads: everything here runs attached to the interpreter.
#pragma once

#include <memory>

#include "py/pyref.h"
#include "py/tracer.h"

namespace morvex::py {

// Registers the fork hooks the first time a run is about to start, before
// any callback is, so that the registration is never traced. Tried once per
// process; false with the exception set if that one try failed.
bool ensure_fork_hooks();

// Stores `r` in the tracer and makes the tracer the active one. Returns a
// new reference to `self`.
PyObject* install(PyObject* self, std::unique_ptr<Running> r);

// Replaces the active tracer (null: none).
void set_active(PyObject* tracer);
// A new reference to the active tracer, or null (no exception) if none.
PyRef active_tracer();
// Empties the active slot if it holds `tracer`; true if it did.
bool clear_active_if(PyObject* tracer);

// The fork hooks (module functions).
PyObject* before_fork(PyObject* module, PyObject* unused);
PyObject* after_fork_in_parent(PyObject* module, PyObject* unused);
PyObject* after_fork_in_child(PyObject* module, PyObject* unused);

}  // namespace morvex::py
