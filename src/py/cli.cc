#include "py/cli.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/cli_args.h"
#include "py/args.h"
#include "py/cli_internal.h"
#include "py/errors.h"

namespace morvex::py {
namespace {

using app::CliMessage;

// argv as bytes in the file-system encoding: arguments the operating system
// gave as undecodable bytes reach the traced program exactly as they came.
std::optional<std::vector<std::string>> argument_strings(PyObject* argv) {
  // A str is a sequence too, of one-letter strings: never what was meant.
  if (PyUnicode_Check(argv)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(argv)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'Sequence'",
                 Py_TYPE(argv)->tp_name);
    return std::nullopt;
  }
  // A snapshot, so that another thread changing the list cannot matter.
  PyRef items = PyRef::steal(PySequence_Tuple(argv));
  if (!items) return std::nullopt;
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(PyTuple_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyString'",
                   Py_TYPE(item)->tp_name);
      return std::nullopt;
    }
    PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(item));
    if (!bytes) return std::nullopt;
    out.emplace_back(PyBytes_AS_STRING(bytes.get()),
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
  }
  return out;
}

}  // namespace

void write_text(const char* stream_name, const std::string& text) {
  KeptException keep;
  PyRef stream = import_attr("sys", stream_name);
  if (stream && stream.get() != Py_None) {
    PyRef s = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
    PyRef written =
        s ? PyRef::steal(PyObject_CallMethod(stream.get(), "write", "O", s.get())) : PyRef();
    PyRef flushed =
        written ? PyRef::steal(PyObject_CallMethod(stream.get(), "flush", nullptr)) : PyRef();
  }
  PyErr_Clear();
}

namespace {

// An OSError of ours naming a path (errors.h), as the core words it: "No
// such file or directory (os error 2)"; null for any other exception.
PyRef path_error_text(PyObject* exc) {
  if (!PyErr_GivenExceptionMatches(exc, PyExc_OSError)) return {};
  PyRef filename = PyRef::steal(PyObject_GetAttrString(exc, "filename"));
  PyRef code = PyRef::steal(PyObject_GetAttrString(exc, "errno"));
  PyRef strerror = PyRef::steal(PyObject_GetAttrString(exc, "strerror"));
  PyErr_Clear();
  if (!filename || filename.get() == Py_None || !code || !PyLong_Check(code.get()) ||
      !strerror || !PyUnicode_Check(strerror.get()))
    return {};
  return PyRef::steal(PyUnicode_FromFormat("%U (os error %S)", strerror.get(), code.get()));
}

}  // namespace

PyObject* OwnErrors::fail(const std::string& what, bool names_path) const {
  if (!as_lines_) return nullptr;
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = exc && names_path ? path_error_text(exc.get()) : PyRef();
  if (!text && exc) text = PyRef::steal(PyObject_Str(exc.get()));
  std::optional<std::string> said;
  if (text) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n)) said.emplace(s, size_t(n));
  }
  PyErr_Clear();
  std::string line = "morvex: error: " + what;
  if (said && !said->empty()) line += (what.empty() ? "" : ": ") + *said;
  write_text("stderr", line + "\n");
  return PyLong_FromLong(1);
}

PyObject* OwnErrors::usage(const char* command, const std::string& message) const {
  if (!as_lines_) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  CliMessage m = app::usage_error(program_, command, message);
  write_text("stderr", m.text);
  return PyLong_FromLong(m.exit_code());
}

PyObject* cli_main(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    // `_errors_as_lines` is the launchers' (morvex.__main__): Python callers
    // get morvex's own errors raised.
    static const char* const names[] = {"argv", "_errors_as_lines"};
    PyObject* bound[2];
    if (!bind_arguments({"cli_main", names, 1, 1}, args, nargs, kwnames, bound)) return nullptr;
    int as_lines = bound[1] != nullptr ? PyObject_IsTrue(bound[1]) : 0;
    if (as_lines < 0) return nullptr;
    std::optional<std::vector<std::string>> strings = argument_strings(bound[0]);
    if (!strings) return nullptr;
    std::variant<app::Command, CliMessage> parsed = app::parse_command_line(*strings);
    if (const auto* message = std::get_if<CliMessage>(&parsed)) {
      write_text(message->requested ? "stdout" : "stderr", message->text);
      return PyLong_FromLong(message->exit_code());
    }
    OwnErrors errors(as_lines != 0, app::program_name(*strings));
    return std::visit(
        [&](const auto& a) -> PyObject* {
          using A = std::decay_t<decltype(a)>;
          if constexpr (std::is_same_v<A, app::RunArgs>) return run(a, errors);
          if constexpr (std::is_same_v<A, app::AttachArgs>) return attach(a, errors);
          if constexpr (std::is_same_v<A, app::ReportArgs>) return report(a, errors);
          if constexpr (std::is_same_v<A, app::ConvertArgs>) return convert(a, errors);
          if constexpr (std::is_same_v<A, app::OpenArgs>) return open_trace(a, errors);
          if constexpr (std::is_same_v<A, app::MergeArgs>) return merge(a, errors);
        },
        std::get<app::Command>(parsed));
  });
}

}  // namespace morvex::py
