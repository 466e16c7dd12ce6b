#include "py/loss_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "app/loss_note.h"
#include "py/cli_internal.h"
#include "py/errors.h"
#include "py/run.h"

namespace morvex::py {

// From the C environment, which os.environ writes through to: no Python
// code runs, so none lands in the trace that has just begun.
std::string inherited_tally() {
  const char* path = std::getenv(kChildTallyVar);
  return path != nullptr ? std::string(path) : std::string();
}

void tell_tally(const std::string& path, const FinishedRun& run) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  // One write of a few dozen bytes: appended whole, whoever else appends.
  const std::string line =
      app::tally_line(static_cast<uint32_t>(::getpid()), run.counts, run.whole);
  ssize_t n;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  ::close(fd);
}

RunTally::RunTally() : owner_(::getpid()) {}

RunTally::~RunTally() {
  if (!path_.empty() && ours()) ::unlink(path_.c_str());
}

bool RunTally::ours() const { return ::getpid() == owner_; }

void RunTally::publish() {
  KeptException keep;
  const char* dir = std::getenv("TMPDIR");
  std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                     "/morvex-tally-XXXXXX";
  int fd = ::mkstemp(name.data());
  if (fd < 0) return;
  ::close(fd);
  path_ = name;
  // The trace is running: os.environ's own Python code is the command's,
  // not the program's, and is kept out of it.
  PyThreadState* ts = PyThreadState_Get();
  PyThreadState_EnterTracing(ts);
  PyRef environ = import_attr("os", "environb");
  PyRef key = PyRef::steal(PyBytes_FromString(kChildTallyVar));
  PyRef value = PyRef::steal(PyBytes_FromStringAndSize(path_.data(), Py_ssize_t(path_.size())));
  const bool set =
      environ && key && value && PyObject_SetItem(environ.get(), key.get(), value.get()) == 0;
  PyThreadState_LeaveTracing(ts);
  if (!set) {
    PyErr_Clear();
    ::unlink(path_.c_str());
    path_.clear();
  }
}

void RunTally::report(PyObject* tracer, const std::string& output, bool lossless) {
  if (!ours()) return;
  app::LossTally tally;
  {
    Tracer& t = tracer_of(tracer);
    std::unique_lock lock = lock_running(t);
    if (t.finished) tally.add(t.finished->counts, t.finished->whole);
  }
  if (!path_.empty()) {
    std::string text;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char buf[4096];
      for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, size_t(n));
      }
      ::close(fd);
    }
    ::unlink(path_.c_str());
    path_.clear();
    app::add_tally_lines(text, tally);
  }
  if (std::optional<std::string> line = app::loss_line(tally, output, lossless))
    write_text("stderr", *line + "\n");
}

}  // namespace morvex::py
