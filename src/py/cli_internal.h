// What the subcommands of cli_main share (cli.cc, cli_run.cc, cli_attach.cc,
// cli_tools.cc).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/cli_args.h"
#include "py/pyref.h"

namespace morvex::py {

// Writes to sys.stdout or sys.stderr, best effort: a closed stream must not
// turn output into an exception.
void write_text(const char* stream, const std::string& text);

// How a failure of morvex's own (not the traced program's) is answered:
// raised, for Python callers of cli_main; or, for the command line, one
// line "morvex: error: ..." on standard error and exit status 1. A usage
// error (arguments that cannot work together, found only once the command
// looks at them) is ValueError for the former and the parser's usage
// message with its status for the latter.
class OwnErrors {
 public:
  OwnErrors(bool as_lines, std::string program)
      : as_lines_(as_lines), program_(std::move(program)) {}
  bool as_lines() const { return as_lines_; }
  // With an exception pending: prints `what` and the exception's text and
  // answers 1, or leaves it raised and answers null. `names_path`: `what`
  // names the path of the OSError pending, which then reads without it.
  PyObject* fail(const std::string& what, bool names_path = false) const;
  // What is wrong with `command`'s arguments.
  PyObject* usage(const char* command, const std::string& message) const;

 private:
  bool as_lines_;
  std::string program_;
};

PyObject* run(const app::RunArgs& args, const OwnErrors& errors);
PyObject* attach(const app::AttachArgs& args, const OwnErrors& errors);
PyObject* report(const app::ReportArgs& args, const OwnErrors& errors);
PyObject* convert(const app::ConvertArgs& args, const OwnErrors& errors);
PyObject* merge(const app::MergeArgs& args, const OwnErrors& errors);
PyObject* open_trace(const app::OpenArgs& args, const OwnErrors& errors);

// Serves a trace to Perfetto's UI (morvex._open): until Ctrl-C, or with
// `once` until it was delivered; its exit status.
PyObject* serve_trace(PyObject* path, int port, bool browser, bool once,
                      const std::vector<std::string>& origins, const OwnErrors& errors);

}  // namespace morvex::py
