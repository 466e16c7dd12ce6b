// `morvex report`, `morvex convert` and `morvex open`: reading a finished
// trace. The reading is the C++ reader's, done with the interpreter
// released; only the printing and the serving are Python's.
#include <optional>
#include <string>

#include "py/cli_internal.h"
#include "py/errors.h"
#include "reader/convert.h"
#include "reader/reader.h"
#include "reader/report.h"

namespace morvex::py {

namespace {

// Runs `f` with the interpreter released.
template <class F>
auto released(F&& f) {
  std::optional<decltype(f())> result;
  Py_BEGIN_ALLOW_THREADS result.emplace(f());
  Py_END_ALLOW_THREADS return std::move(*result);
}

PyObject* reader_error(const core::IoError& error, const OwnErrors& errors) {
  raise_io_error(error);
  return errors.fail("");
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
  if (!sort.ok()) return reader_error(sort.error(), errors);
  reader::ReportOptions options;
  options.top = a.top;
  options.sort = sort.value();
  options.per_thread = a.threads;
  options.pid = a.pid;
  options.width = terminal_width();
  const bool json = a.json;
  core::Result<std::string> text = released([&]() -> core::Result<std::string> {
    core::Result<reader::Trace> trace = reader::read_trace(a.trace);
    if (!trace.ok()) return trace.error();
    return json ? reader::report_json(trace.value(), options)
                : reader::report_text(trace.value(), options);
  });
  if (!text.ok()) return reader_error(text.error(), errors);
  write_text("stdout", text.value());
  return PyLong_FromLong(0);
}

PyObject* convert(const app::ConvertArgs& a, const OwnErrors& errors) {
  std::optional<reader::ConvertKind> kind;
  if (a.to) {
    core::Result<reader::ConvertKind> k = reader::parse_convert_kind(*a.to);
    if (!k.ok()) return reader_error(k.error(), errors);
    kind = k.value();
  }
  core::Result<reader::Trace> trace =
      released([&] { return reader::convert(a.trace, a.output, kind); });
  if (!trace.ok()) return reader_error(trace.error(), errors);
  // What the figures may be missing goes where a user sees it.
  for (const std::string& note : reader::trace_notes(trace.value()))
    write_text("stderr", "morvex: " + note + "\n");
  return PyLong_FromLong(0);
}

PyObject* open_trace(const app::OpenArgs& a, const OwnErrors& errors) {
  PyRef path = fs_text(a.trace);
  if (!path) return nullptr;
  return serve_trace(path.get(), a.port, a.browser, errors);
}

PyObject* serve_trace(PyObject* path, int port, bool browser, const OwnErrors& errors) {
  PyRef serve = import_attr("morvex._open", "serve");
  if (!serve) return nullptr;
  PyRef status = PyRef::steal(PyObject_CallFunction(serve.get(), "Oii", path, port, int{browser}));
  if (status) return status.release();
  if (PyErr_ExceptionMatches(PyExc_OSError)) return errors.fail("cannot serve the trace");
  return nullptr;
}

}  // namespace morvex::py
