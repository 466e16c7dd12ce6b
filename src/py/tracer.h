// The Tracer object and its runs.
//
// A Tracer owns at most one run (a Running) at a time. Entering starts one:
// claim the profiler slot, open the output, start the exporter thread,
// register the callbacks. Leaving stops it in a fixed order so that every
// recorded event reaches the file before the exporter finishes it.
//
// Locks: ACTIVE (the process-wide slot the fork hooks read) is always taken
// before a tracer's `running`; only the fork hooks hold both. __exit__ holds
// `running` across the exporter join with the interpreter lock released, so
// every other wait for a contended `running` also releases it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/format.h"
#include "core/evqueue.h"
#include "py/monitoring.h"
#include "py/options.h"
#include "py/pyref.h"
#include "py/state.h"

namespace morvex::py {

using app::Format;

inline constexpr const char* kChildOutputVar = "MORVEX_CHILD_OUTPUT";
inline constexpr const char* kChildFormatVar = "MORVEX_CHILD_FORMAT";
// CLOCK_MONOTONIC nanoseconds at the start of the run that created the file:
// child processes write their times on that run's timeline.
inline constexpr const char* kChildZeroVar = "MORVEX_CHILD_CLOCK_ZERO";
// Tracer's keyword options as JSON, when a run has any.
inline constexpr const char* kChildOptionsVar = "MORVEX_CHILD_OPTIONS";
// The tally file of `morvex run` (app/loss_note.h): a child run appends its
// counts there as it ends.
inline constexpr const char* kChildTallyVar = "MORVEX_CHILD_TALLY";

// How the exporter thread ended. `status` and `panicked` are written before
// `done`, under `mu`, and read once `done` was seen.
struct ExporterOutcome {
  core::Status status;
  bool panicked = false;

  void finished() {
    {
      std::lock_guard lock(mu);
      done = true;
    }
    cv.notify_all();
  }
  // True once finished() was called, waiting up to `limit` for it.
  bool wait_for(std::chrono::milliseconds limit) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, limit, [this] { return done; });
  }

 private:
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
};

struct Running {
  std::optional<MonitoringHandle> monitoring;  // absent around a fork
  std::shared_ptr<core::EventQueue> queue;
  std::shared_ptr<State> state;
  std::thread exporter;
  std::shared_ptr<ExporterOutcome> outcome;
  // Zero point (CLOCK_MONOTONIC ns) of the file's timeline; a forked child
  // keeps it.
  uint64_t zero = 0;
  // A child run's tally file, to tell its counts to when it ends ("": none).
  std::string tally;

  Running() = default;
  Running(Running&&) = default;
  // Drops references only; the exporter thread is detached, not joined.
  ~Running();
};

// What a finished run made of its events. `whole`: the pipeline ended and
// the counts are final; otherwise (a writer abandoned or failed) they are
// what was known when the run gave up on it, lower bounds.
struct FinishedRun {
  core::LossCounts counts;
  bool whole = true;
};

struct Tracer {
  Tracer(std::string out, Format fmt, RunOptions opts)
      : output(std::move(out)), format(fmt), options(std::move(opts)) {}

  const std::string output;  // in the file-system encoding
  std::mutex running_mu;
  std::unique_ptr<Running> running;  // guarded by running_mu
  std::optional<FinishedRun> finished;  // the last run that ended; guarded by running_mu
  const Format format;
  const RunOptions options;
};

// The Python type "morvex._core.Tracer", built once.
PyObject* tracer_type();
// The Tracer inside an object of that type.
Tracer& tracer_of(PyObject* self);

// Creates a Tracer object from a path in the file-system encoding, a format
// and options already checked (the command line's), as Tracer(...) would
// from the same values given as Python arguments.
PyRef new_tracer(std::string output, Format format, RunOptions options);
// Tracer.__enter__ and Tracer.__exit__(None, None, None).
PyRef tracer_enter(PyObject* self);
PyRef tracer_exit(PyObject* self, bool interrupted = false);

}  // namespace morvex::py
