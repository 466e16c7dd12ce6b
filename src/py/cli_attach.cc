// `morvex attach`: the arguments checked here, as run's are; everything
// else (reaching the process, the control channel, the report) is
// morvex._attach's, which is plain Python because its side of the work is
// sys.remote_exec, sockets and files.
#include <string>
#include <vector>

#include "py/cli_internal.h"
#include "py/errors.h"

namespace morvex::py {

namespace {

PyRef text_list(const std::vector<std::string>& items) {
  PyRef list = PyRef::steal(PyList_New(Py_ssize_t(items.size())));
  if (!list) return {};
  for (size_t i = 0; i < items.size(); ++i) {
    // Patterns were checked as UTF-8.
    PyObject* s = PyUnicode_FromStringAndSize(items[i].data(), Py_ssize_t(items[i].size()));
    if (s == nullptr) return {};
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), s);
  }
  return list;
}

// Tracer's keywords for what the command line said, and only those given,
// so that the tracer in the process applies its own defaults.
PyRef tracer_keywords(const core::RunOptions& o) {
  PyRef kw = PyRef::steal(PyDict_New());
  if (!kw) return {};
  auto set = [&](const char* key, PyRef value) {
    return value && PyDict_SetItemString(kw.get(), key, value.get()) == 0;
  };
  const core::FilterSettings& f = o.filters;
  if (!f.include.empty() && !set("include", text_list(f.include))) return {};
  if (!f.exclude.empty() && !set("exclude", text_list(f.exclude))) return {};
  if (f.max_depth && !set("max_depth", PyRef::steal(PyLong_FromUnsignedLong(*f.max_depth))))
    return {};
  // In nanoseconds, as text: a float of seconds could round.
  if (f.min_duration_ns &&
      !set("min_duration",
           PyRef::steal(PyUnicode_FromString((std::to_string(*f.min_duration_ns) + "ns").c_str()))))
    return {};
  for (auto [key, on] : {std::pair{"lossless", o.lossless}, std::pair{"spool", o.spool},
                         std::pair{"compress", o.compress}, std::pair{"c_calls", o.c_calls},
                         std::pair{"async_tasks", o.async_tasks}}) {
    if (on && !set(key, PyRef::borrow(Py_True))) return {};
  }
  return kw;
}

}  // namespace

PyObject* attach(const app::AttachArgs& a, const OwnErrors& errors) {
  PyRef main = import_attr("morvex._attach", "main");
  PyRef output = fs_text(a.output);
  PyRef keywords = tracer_keywords(a.options);
  if (!main || !output || !keywords) return nullptr;
  PyRef duration = a.duration_ns ? PyRef::steal(PyFloat_FromDouble(double(*a.duration_ns) / 1e9))
                                 : PyRef::borrow(Py_None);
  PyRef args = PyRef::steal(Py_BuildValue("(kOsOO)", static_cast<unsigned long>(a.pid),
                                          output.get(), a.format.name(), keywords.get(),
                                          duration.get()));
  PyRef kwargs = PyRef::steal(
      Py_BuildValue("{s:O}", "errors_as_lines", errors.as_lines() ? Py_True : Py_False));
  if (!args || !kwargs) return nullptr;
  return PyObject_Call(main.get(), args.get(), kwargs.get());
}

}  // namespace morvex::py
