// Starting and stopping a tracer's runs, and the variables a run exports to
// the processes it starts. Shared by the Tracer type (tracer_type.cc), the
// fork hooks (fork.cc) and os._exit's hook (exit_hook.cc); all of it runs on
// a thread attached to the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "py/tracer.h"

namespace morvex::py {

// `running` can be held across an exporter join that needs the interpreter
// back, so a contended wait for it must not keep the interpreter.
std::unique_lock<std::mutex> lock_running(Tracer& t);

// A clock for a new run; `zero` puts the run on another run's timeline.
core::Clock run_clock(std::optional<uint64_t> zero);

// Starts a run on a tool id claimed with claim_tool_id(): output opened,
// exporter thread started, callbacks registered. On failure the claim is
// released and a Python exception is set.
std::unique_ptr<Running> start_claimed(Tracer& t, uint32_t pid, bool append, core::Clock clock,
                                       uint8_t tool_id);

// Claims the tool id, then start_claimed.
std::unique_ptr<Running> start(Tracer& t, uint32_t pid, bool append, std::optional<uint64_t> zero);

// The orderly stop: events off, partial batches handed over, queue closed,
// exporter joined. Returns false with an exception set when something
// failed; the run is over either way. Ctrl-C during the join first has the
// pipeline leave out what it has not written (the trace then ends early but
// whole), then abandons the exporter; `interrupted` says one came already,
// so the next abandons it. Either way a line on stderr says the trace is
// incomplete, and the interruption is what is raised.
// `finished` gets what became of the run's events; a child run also tells
// them to its tally file.
bool stop(std::unique_ptr<Running> r, bool interrupted = false, FinishedRun* finished = nullptr);

// ---- the child variables --------------------------------------------------

// The variables a run exports to the processes it starts, with what they
// held before, so that a start that fails leaves the environment as it was.
class ChildVariables {
 public:
  // Sets every variable for a run of `t` whose timeline starts at `zero`.
  // False with the exception set; what was set by then is put back.
  bool export_run(const Tracer& t, uint64_t zero);
  // Puts back what the variables held before export_run, keeping the
  // pending exception.
  void restore();

 private:
  bool set(const char* key, PyObject* value);
  std::vector<std::pair<const char*, PyRef>> saved_;  // null: was not set
};

// Removes every child variable (the end of a run).
bool remove_child_variables();

// The zero point a parent exported, if it is there and readable.
std::optional<uint64_t> inherited_zero();

}  // namespace morvex::py
