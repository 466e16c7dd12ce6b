// `morvex report`, `morvex convert` and `morvex open`: reading a finished
// trace. The reading is the C++ reader's, done with the interpreter
// released; only the printing and the serving are Python's.
//
// Signals: between chunks the reader takes the interpreter back for a
// moment to run the signal handlers, so Ctrl-C stops a long read or
// conversion with KeyboardInterrupt, as it stops `morvex run`, and no output
// file is left. A signal that ends the process without a Python handler
// (SIGTERM, SIGHUP) first removes the conversion's temporary file.
#include <signal.h>

#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "py/cli_internal.h"
#include "py/errors.h"
#include "reader/convert.h"
#include "reader/merge.h"
#include "reader/progress.h"
#include "reader/reader.h"
#include "reader/report.h"
#include "reader/sink.h"
#include "reader/summary.h"

namespace morvex::py {

namespace {

// Runs `work(stop)` with the interpreter released. `stop`, asked between
// chunks, runs the signal handlers; what they raise (Ctrl-C's
// KeyboardInterrupt) stops the work and is left raised when it returns.
class Released {
 public:
  template <class F>
  auto run(F&& work) {
    state_ = PyEval_SaveThread();
    struct Attach {
      Released& r;
      ~Attach() { PyEval_RestoreThread(r.state_); }
    };
    std::optional<decltype(work(reader::StopCheck{}))> result;
    {
      Attach attach{*this};
      result.emplace(work(reader::StopCheck([this] { return check_signals(); })));
    }
    if (raised_) PyErr_SetRaisedException(raised_.release());
    return std::move(*result);
  }

  // Runs `f` with the interpreter, from within the work.
  template <class F>
  void attached(F&& f) {
    PyEval_RestoreThread(state_);
    f();
    state_ = PyEval_SaveThread();
  }

 private:
  bool check_signals() {
    if (raised_) return true;
    PyEval_RestoreThread(state_);
    if (PyErr_CheckSignals() != 0) raised_ = PyRef::steal(PyErr_GetRaisedException());
    state_ = PyEval_SaveThread();
    return static_cast<bool>(raised_);
  }

  PyThreadState* state_ = nullptr;
  PyRef raised_;
};

// The signals that end the process at once: each left at that default gets
// a handler that removes the temporary output before the process dies of
// it, as it would have; the previous handlers come back at scope exit.
extern "C" void remove_temporary_files_and_die(int sig) {
  reader::remove_temporary_files();
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);  // delivered once this handler returns
}

class TemporaryFilesGoFirst {
 public:
  TemporaryFilesGoFirst() {
    for (size_t i = 0; i < kCount; ++i) {
      struct sigaction current;
      if (::sigaction(kSignals[i], nullptr, &current) != 0) continue;
      if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
      struct sigaction mine = {};
      mine.sa_handler = remove_temporary_files_and_die;
      sigemptyset(&mine.sa_mask);
      if (::sigaction(kSignals[i], &mine, &previous_[i]) == 0) installed_[i] = true;
    }
  }
  ~TemporaryFilesGoFirst() {
    for (size_t i = 0; i < kCount; ++i) {
      if (installed_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
    }
  }
  TemporaryFilesGoFirst(const TemporaryFilesGoFirst&) = delete;
  TemporaryFilesGoFirst& operator=(const TemporaryFilesGoFirst&) = delete;

 private:
  // SIGINT too, where no Python handler took it.
  static constexpr int kSignals[] = {SIGHUP, SIGINT, SIGTERM};
  static constexpr size_t kCount = std::size(kSignals);
  struct sigaction previous_[kCount] = {};
  bool installed_[kCount] = {};
};

PyObject* reader_error(const core::IoError& error, const OwnErrors& errors) {
  raise_io_error(error);
  return errors.fail("");
}

// Whether sys.stderr is a terminal, where a long conversion shows how far
// it has got.
bool stderr_is_terminal() {
  KeptException keep;
  PyRef stream = import_attr("sys", "stderr");
  PyRef answer = stream && stream.get() != Py_None
                     ? PyRef::steal(PyObject_CallMethod(stream.get(), "isatty", nullptr))
                     : PyRef();
  const bool yes = answer && PyObject_IsTrue(answer.get()) == 1;
  PyErr_Clear();
  return yes;
}

// The terminal's width, for the report's table; 100 when there is none.
size_t terminal_width() {
  PyRef get_size = import_attr("shutil", "get_terminal_size");
  PyRef size =
      get_size ? PyRef::steal(PyObject_CallFunction(get_size.get(), "((ii))", 100, 24)) : PyRef();
  PyRef columns = size ? PyRef::steal(PyObject_GetAttrString(size.get(), "columns")) : PyRef();
  long n = columns ? PyLong_AsLong(columns.get()) : -1;
  PyErr_Clear();
  return n >= 40 ? static_cast<size_t>(n) : 100;
}

}  // namespace

PyObject* report(const app::ReportArgs& a, const OwnErrors& errors) {
  core::Result<reader::SortKey> sort = reader::parse_sort_key(a.sort);
  if (!sort.ok()) return errors.usage("report", sort.error().text());
  reader::ReportOptions options;
  options.top = a.top;
  options.sort = sort.value();
  options.per_thread = a.threads;
  options.pid = a.pid;
  options.width = terminal_width();
  const bool json = a.json;
  core::Result<std::string> text =
      Released().run([&](reader::StopCheck stop) -> core::Result<std::string> {
        reader::ReadOptions read;
        read.stop = std::move(stop);
        std::vector<reader::Trace> traces;
        for (const std::string& path : a.traces) {
          core::Result<reader::Trace> one = reader::read_trace(path, read);
          if (!one.ok()) return one.error();
          traces.push_back(std::move(one.value()));
        }
        core::Result<reader::Trace> trace = reader::combine(std::move(traces));
        if (a.summary) {
          return json ? reader::summary_json(trace.value()) : reader::summary_text(trace.value());
        }
        return json ? reader::report_json(trace.value(), options)
                    : reader::report_text(trace.value(), options);
      });
  if (PyErr_Occurred()) return nullptr;
  if (!text.ok()) return reader_error(text.error(), errors);
  write_text("stdout", text.value());
  return PyLong_FromLong(0);
}

PyObject* convert(const app::ConvertArgs& a, const OwnErrors& errors) {
  // Before anything is read: an output whose name says no kind, with none
  // given, is a usage error, not a failure to write.
  core::Result<reader::ConvertKind> kind =
      a.to ? reader::parse_convert_kind(*a.to) : reader::convert_kind_for(a.output);
  if (!kind.ok()) return errors.usage("convert", kind.error().text());
  if (a.svg_per_thread && kind.value() != reader::ConvertKind::Svg) {
    return errors.usage("convert", "the argument '--svg-per-thread' needs an SVG output, not " +
                                       std::string(reader::convert_kind_name(kind.value())));
  }
  reader::SvgOptions svg;
  svg.per_thread = a.svg_per_thread;
  Released released;
  // Progress only where a person watches: pipes and files stay clean.
  std::optional<reader::ProgressLine> progress;
  if (stderr_is_terminal()) {
    progress.emplace([&](std::string_view line) {
      released.attached([&] { write_text("stderr", std::string(line)); });
    });
  }
  reader::ConvertWatch watch;
  if (progress) {
    watch.read = [&](uint64_t read, uint64_t size) { progress->read(read, size); };
    watch.wrote = [&](uint64_t written) { progress->wrote(written); };
  }
  watch.warn = [&](const std::string& warning) {
    if (progress) progress->clear();
    released.attached([&] { write_text("stderr", "morvex: warning: " + warning + "\n"); });
  };
  core::Result<reader::Trace> trace = [&] {
    TemporaryFilesGoFirst cleanup;
    return released.run([&](reader::StopCheck stop) {
      auto converted = reader::convert(a.trace, a.output, kind.value(), stop, watch, svg);
      if (progress) progress->clear();
      return converted;
    });
  }();
  if (PyErr_Occurred()) return nullptr;
  if (!trace.ok()) return reader_error(trace.error(), errors);
  // What the figures may be missing goes where a user sees it.
  for (const std::string& note : reader::trace_notes(trace.value()))
    write_text("stderr", "morvex: " + note + "\n");
  return PyLong_FromLong(0);
}

PyObject* merge(const app::MergeArgs& a, const OwnErrors& errors) {
  core::Result<reader::MergeResult> merged = [&] {
    TemporaryFilesGoFirst cleanup;
    return Released().run(
        [&](reader::StopCheck stop) { return reader::merge(a.traces, a.output, stop); });
  }();
  if (PyErr_Occurred()) return nullptr;
  if (!merged.ok()) return reader_error(merged.error(), errors);
  write_text("stderr",
             "morvex: merged into " + a.output + ":\n" + reader::merge_summary(merged.value()));
  return PyLong_FromLong(0);
}

PyObject* open_trace(const app::OpenArgs& a, const OwnErrors& errors) {
  PyRef path = fs_text(a.trace);
  if (!path) return nullptr;
  return serve_trace(path.get(), a.port, a.browser, a.once, a.origins, errors);
}

PyObject* serve_trace(PyObject* path, int port, bool browser, bool once,
                      const std::vector<std::string>& origins, const OwnErrors& errors) {
  PyRef serve = import_attr("morvex._open", "serve");
  if (!serve) return nullptr;
  PyRef allowed = PyRef::steal(PyTuple_New(Py_ssize_t(origins.size())));
  if (!allowed) return nullptr;
  for (size_t i = 0; i < origins.size(); ++i) {
    // Checked as an origin: ASCII.
    PyObject* o = PyUnicode_FromStringAndSize(origins[i].data(), Py_ssize_t(origins[i].size()));
    if (o == nullptr) return nullptr;
    PyTuple_SET_ITEM(allowed.get(), Py_ssize_t(i), o);
  }
  PyRef args = PyRef::steal(Py_BuildValue("(Oi)", path, port));
  PyRef kwargs =
      PyRef::steal(Py_BuildValue("{s:O,s:O,s:O}", "browser", browser ? Py_True : Py_False, "once",
                                 once ? Py_True : Py_False, "origins", allowed.get()));
  if (!args || !kwargs) return nullptr;
  PyRef status = PyRef::steal(PyObject_Call(serve.get(), args.get(), kwargs.get()));
  if (status) return status.release();
  if (PyErr_ExceptionMatches(PyExc_OSError)) return errors.fail("cannot serve the trace");
  return nullptr;
}

}  // namespace morvex::py
