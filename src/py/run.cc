#include "py/run.h"

#include <charconv>
#include <cstring>
#include <filesystem>
#include <thread>

#include "core/pipeline.h"
#include "core/recorder.h"
#include "core/thread.h"
#include "format/records.h"
#include "py/callbacks.h"
#include "py/errors.h"
#include "py/interrupts.h"
#include "py/loss_report.h"
#include "py/options.h"

namespace morvex::py {

namespace {

void join_detached_from_interpreter(std::thread& t) {
  Py_BEGIN_ALLOW_THREADS t.join();
  Py_END_ALLOW_THREADS
}

}  // namespace

std::unique_lock<std::mutex> lock_running(Tracer& t) {
  std::unique_lock lock(t.running_mu, std::try_to_lock);
  if (!lock.owns_lock()) {
    Py_BEGIN_ALLOW_THREADS lock.lock();
    Py_END_ALLOW_THREADS
  }
  return lock;
}

namespace {

// The run's shared state, with the tracer's filters; null with an exception
// set if sys.monitoring can't be read.
// Beside the trace, where the user has room for a trace's bytes. Without a
// spool the run is written as it goes, as it would be without the option:
// slower for the program, but nothing is lost.
std::shared_ptr<core::Spool> spool_for(const Tracer& t) {
  if (!t.options.spool) return nullptr;
  std::string dir = std::filesystem::path(t.output).parent_path().string();
  core::Result<std::shared_ptr<core::Spool>> made = core::Spool::create(dir.empty() ? "." : dir);
  return made.ok() ? std::move(made.value()) : nullptr;
}

std::shared_ptr<State> new_state(const Tracer& t, std::shared_ptr<core::EventQueue> queue) {
  PyRef disable = import_attr("sys", "monitoring");
  if (disable) disable = PyRef::steal(PyObject_GetAttrString(disable.get(), "DISABLE"));
  if (!disable) return nullptr;
  const core::FilterSettings& f = t.options.filters;
  std::unique_ptr<const core::CodeFilter> filter;
  if (!f.include.empty() || !f.exclude.empty())
    filter = std::make_unique<const core::CodeFilter>(f, code_places());
  auto state = std::make_shared<State>(std::move(queue), std::move(filter), f.max_depth,
                                       std::move(disable));
  state->c_calls = t.options.c_calls;
  state->async_tasks = t.options.async_tasks;
  return state;
}

}  // namespace

std::unique_ptr<Running> start_claimed(Tracer& t, uint32_t pid, bool append, core::Clock clock,
                                       uint8_t tool_id) {
  auto queue = core::EventQueue::create(clock, t.options.lossless);
  if (t.options.lossless) {
    queue->set_wait_hook(lossless_pause);
    watch_interrupts();
  }
  std::shared_ptr<State> state = new_state(t, queue);
  if (!state) {
    release_tool_id(tool_id);
    return nullptr;
  }

  core::Result<std::unique_ptr<core::Exporter>> exporter =
      t.format.open(t.output, pid, append, t.options.compress,
                    format::WallAnchor{clock.realtime_at_zero(), format::host_name()});
  if (!exporter.ok()) {
    raise_io_error(exporter.error(), &t.output);
    release_tool_id(tool_id);
    return nullptr;
  }
  auto outcome = std::make_shared<ExporterOutcome>();
  core::Result<std::thread> thread = core::spawn_named(
      "morvex-exporter",
      [queue, state, outcome, e = std::move(exporter.value()),
       options = core::PipelineOptions{t.options.filters, state->counters,
                                       spool_for(t)}]() mutable {
        try {
          outcome->status = core::run_pipeline(queue, state, state, std::move(e), options);
        } catch (...) {
          outcome->panicked = true;
        }
        outcome->finished();
      });
  if (!thread.ok()) {
    PyErr_SetString(PyExc_RuntimeError, ("spawn exporter: " + thread.error().text()).c_str());
    release_tool_id(tool_id);
    return nullptr;
  }
  Interner::watch(&state->interner);
  // No thread may take a code id of an earlier run from its cache. The end
  // of every run empties them already; this makes it so however that ended.
  core::forget_last_codes();
  // Bounded: a pipeline that never starts is reported when the run ends.
  // The interpreter stays held: the writer threads never take it, and no
  // other thread may start a run meanwhile.
  queue->wait_serving(std::chrono::seconds(1));
  std::optional<MonitoringHandle> handle = enable_claimed(state, tool_id);
  if (!handle) {
    Interner::watch(nullptr);
    // The file gets a finished trace with no function events.
    queue->close();
    join_detached_from_interpreter(thread.value());
    return nullptr;
  }
  set_current_run(state.get());
  auto r = std::make_unique<Running>();
  r->monitoring = std::move(handle);
  r->queue = std::move(queue);
  r->state = std::move(state);
  r->exporter = std::move(thread.value());
  r->outcome = std::move(outcome);
  r->zero = clock.monotonic_start() - clock.offset();
  if (append) r->tally = inherited_tally();
  return r;
}

core::Clock run_clock(std::optional<uint64_t> zero) {
  core::Clock clock = core::Clock::starting_now();
  return zero ? clock.counting_from(*zero) : clock;
}

std::unique_ptr<Running> start(Tracer& t, uint32_t pid, bool append, std::optional<uint64_t> zero) {
  std::optional<uint8_t> tool_id = claim_tool_id();
  if (!tool_id) return nullptr;
  return start_claimed(t, pid, append, run_clock(zero), *tool_id);
}

namespace {

enum class Finish { Whole, Hurried, Abandoned };

// Waits for the exporter thread with the interpreter released, handling
// signals between waits: the first interruption (a signal handler that
// raised, KeyboardInterrupt by default) has the pipeline leave out what it
// has not written yet, the second gives up on it - the exporter may be
// blocked on an output nobody reads. `interrupted`: one came already (the
// program is ending on Ctrl-C, or a lossless wait was cut short by one).
// The last interruption is left in `interruption` for the caller to raise.
Finish wait_for_exporter(Running& r, bool interrupted, PyObject*& interruption) {
  using std::chrono::milliseconds;
  Finish finish = Finish::Whole;
  for (;;) {
    bool done;
    Py_BEGIN_ALLOW_THREADS done = r.outcome->wait_for(milliseconds(100));
    Py_END_ALLOW_THREADS
    if (done) return finish;
    if (PyErr_CheckSignals() == 0) continue;
    Py_XDECREF(interruption);
    interruption = PyErr_GetRaisedException();
    r.queue->abandon();
    r.queue->hurry();
    if (interrupted || finish == Finish::Hurried) return Finish::Abandoned;
    finish = Finish::Hurried;
  }
}

}  // namespace

bool stop(std::unique_ptr<Running> r, bool interrupted, FinishedRun* finished) {
  if (current_run() == r->state.get()) set_current_run(nullptr);
  PyObject* disable_error = nullptr;
  if (r->monitoring && !disable(*r->monitoring)) disable_error = PyErr_GetRaisedException();
  // The state may outlive this call on the exporter thread, unwatched.
  Interner::watch(nullptr);
  // Locations the run switched off for code it left out would stay off for
  // a later run, which may not leave that code out.
  if (r->state->disabled_locations.load(std::memory_order_relaxed)) {
    PyRef restart = import_attr("sys", "monitoring");
    if (restart)
      restart = PyRef::steal(PyObject_CallMethod(restart.get(), "restart_events", nullptr));
    if (!restart && disable_error == nullptr) disable_error = PyErr_GetRaisedException();
    PyErr_Clear();
  }
  // Monitoring is off and this thread holds the interpreter lock that every
  // callback needs: no thread is inside the recording path.
  r->queue->add_dropped(core::flush_every_thread());
  r->state->sum_depth_cuts();
  r->queue->close();
  unwatch_interrupts();
  PyObject* interruption = nullptr;
  const Finish finish = wait_for_exporter(*r, interrupted || r->queue->interrupted(), interruption);
  if (finish == Finish::Abandoned) {
    // The exporter thread keeps what it uses; it is left to end, or to
    // die with the process.
    r->exporter.detach();
  } else {
    r->exporter.join();  // it has finished: this is short
  }
  if (finish != Finish::Whole || r->queue->interrupted()) {
    PySys_WriteStderr("%s\n", finish == Finish::Abandoned
                                  ? "morvex: trace incomplete: abandoned while being written, "
                                    "it may end early"
                                  : "morvex: trace incomplete: interrupted, the events not yet "
                                    "written were left out (the trace counts them as dropped)");
  }
  std::shared_ptr<ExporterOutcome> outcome = std::move(r->outcome);
  // An abandoned or failed pipeline never says its last counts: what it took
  // by now is a lower bound.
  const FinishedRun run{r->queue->counts(), finish != Finish::Abandoned && !outcome->panicked &&
                                                outcome->status.ok()};
  if (!r->tally.empty()) tell_tally(r->tally, run);
  if (finished != nullptr) *finished = run;
  r.reset();
  release_pending_refs();
  if (interruption != nullptr) {
    Py_XDECREF(disable_error);
    PyErr_SetRaisedException(interruption);
    return false;
  }
  if (disable_error != nullptr) {
    PyErr_SetRaisedException(disable_error);
    return false;
  }
  if (outcome->panicked) {
    PyErr_SetString(PyExc_RuntimeError, "exporter thread panicked");
    return false;
  }
  if (!outcome->status.ok()) {
    raise_io_error(outcome->status.error());
    return false;
  }
  return true;
}

// ---- the child variables --------------------------------------------------

namespace {

PyRef os_environ() { return import_attr("os", "environ"); }

const char* const CHILD_VARIABLES[] = {kChildOutputVar, kChildFormatVar, kChildZeroVar,
                                       kChildOptionsVar, kChildTallyVar};

}  // namespace

// `value` null: the variable is removed.
bool ChildVariables::set(const char* key, PyObject* value) {
  PyRef environ = os_environ();
  if (!environ) return false;
  PyRef old = PyRef::steal(PyObject_CallMethod(environ.get(), "get", "s", key));
  if (!old) return false;
  bool done = value != nullptr ? PyMapping_SetItemString(environ.get(), key, value) == 0
                               : static_cast<bool>(PyRef::steal(PyObject_CallMethod(
                                     environ.get(), "pop", "sO", key, Py_None)));
  if (!done) return false;
  saved_.emplace_back(key, old.get() == Py_None ? PyRef() : std::move(old));
  return true;
}

bool ChildVariables::export_run(const Tracer& t, uint64_t zero) {
  PyRef output = fs_text(t.output);
  PyRef format = PyRef::steal(PyUnicode_FromString(t.format.name()));
  PyRef zero_text = PyRef::steal(PyUnicode_FromString(std::to_string(zero).c_str()));
  // An inherited set of options must not pass on to this run's children.
  PyRef options = t.options.any() ? options_text(t.options) : PyRef::borrow(Py_None);
  if (output && format && zero_text && options && set(kChildOutputVar, output.get()) &&
      set(kChildFormatVar, format.get()) && set(kChildZeroVar, zero_text.get()) &&
      set(kChildOptionsVar, options.get() == Py_None ? nullptr : options.get()) &&
      // An inherited tally counts another trace's processes.
      set(kChildTallyVar, nullptr))
    return true;
  restore();
  return false;
}

void ChildVariables::restore() {
  KeptException keep;
  PyRef environ = os_environ();
  if (!environ) {
    PyErr_Clear();
    return;
  }
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    const auto& [key, old] = *it;
    bool ok = old ? PyMapping_SetItemString(environ.get(), key, old.get()) == 0
                  : static_cast<bool>(PyRef::steal(
                        PyObject_CallMethod(environ.get(), "pop", "sO", key, Py_None)));
    if (!ok) PyErr_Clear();
  }
  saved_.clear();
}

bool remove_child_variables() {
  PyRef environ = os_environ();
  if (!environ) return false;
  for (const char* key : CHILD_VARIABLES) {
    PyRef r = PyRef::steal(PyObject_CallMethod(environ.get(), "pop", "sO", key, Py_None));
    if (!r) return false;
  }
  return true;
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

}  // namespace morvex::py
