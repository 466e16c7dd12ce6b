#include "py/options.h"

#include <climits>
#include <string>

#include "py/errors.h"

namespace morvex::py {

namespace {

std::optional<std::string> utf8(PyObject* s) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) return std::nullopt;
  return std::string(p, size_t(n));
}

// A pattern or an iterable of patterns; each one checked.
bool patterns(const char* option, PyObject* value, std::vector<std::string>& out) {
  if (value == nullptr || value == Py_None) return true;
  PyRef items;
  // Bytes iterate as ints: taken whole, they get the message a bytes item does.
  if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) {
    items = PyRef::steal(PyTuple_Pack(1, value));
  } else {
    PyRef iter = PyRef::steal(PyObject_GetIter(value));
    if (!iter) {
      PyErr_Format(PyExc_TypeError, "%s must be a str or an iterable of str, not %s", option,
                   Py_TYPE(value)->tp_name);
      return false;
    }
    items = PyRef::steal(PySequence_Tuple(iter.get()));
  }
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    PyObject* p = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(p)) {
      if (PyRef s = shown(p)) {
        PyErr_Format(PyExc_TypeError, "%s patterns must be str, not %s (%U)", option,
                     Py_TYPE(p)->tp_name, s.get());
      }
      return false;
    }
    std::optional<std::string> text = utf8(p);
    std::optional<std::string> wrong;
    if (!text) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
      wrong = "a surrogate is not UTF-8 text, as the names it would match are";
    } else {
      wrong = core::CodeFilter::check(*text);
    }
    if (wrong) {
      if (PyRef s = shown(p)) {
        PyErr_Format(PyExc_ValueError, "%s pattern %U: %s", option, s.get(), wrong->c_str());
      }
      return false;
    }
    out.push_back(std::move(*text));
  }
  return true;
}

bool depth(PyObject* value, std::optional<uint32_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "max_depth must be an int, not %s", Py_TYPE(value)->tp_name);
    return false;
  }
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && n < 1)) {
    PyErr_Format(PyExc_ValueError, "max_depth must be at least 1, not %R", value);
    return false;
  }
  out = overflow > 0 || n > core::kDeepestMaxDepth ? core::kDeepestMaxDepth
                                                  : static_cast<uint32_t>(n);
  return true;
}

bool duration(PyObject* value, std::optional<uint64_t>& out) {
  if (value == nullptr || value == Py_None) return true;
  std::optional<core::Checked<uint64_t>> parsed;
  if (PyUnicode_Check(value)) {
    std::optional<std::string> text = utf8(value);
    if (!text) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
      if (PyRef s = shown(value))
        PyErr_Format(PyExc_ValueError, "min_duration: invalid duration %U", s.get());
      return false;
    }
    parsed = core::parse_duration(*text);
  } else if ((PyLong_Check(value) || PyFloat_Check(value)) && !PyBool_Check(value)) {
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    PyRef repr = PyRef::steal(PyObject_Repr(value));
    std::optional<std::string> text = repr ? utf8(repr.get()) : std::nullopt;
    if (!text) return false;
    parsed = core::parse_duration(*text);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "min_duration must be a number of seconds or a str such as \"50us\", not %s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  if (!parsed->ok()) {
    PyErr_Format(PyExc_ValueError, "min_duration: %s", parsed->message().c_str());
    return false;
  }
  out = parsed->value();
  return true;
}

}  // namespace

std::optional<RunOptions> parse_options(PyObject* include, PyObject* exclude, PyObject* max_depth,
                                        PyObject* min_duration, PyObject* lossless, PyObject* spool,
                                        PyObject* compress, PyObject* c_calls,
                                        PyObject* async_tasks) {
  RunOptions o;
  if (!patterns("include", include, o.filters.include) ||
      !patterns("exclude", exclude, o.filters.exclude) || !depth(max_depth, o.filters.max_depth) ||
      !duration(min_duration, o.filters.min_duration_ns))
    return std::nullopt;
  for (auto [value, to] :
       {std::pair{lossless, &o.lossless}, std::pair{spool, &o.spool},
        std::pair{compress, &o.compress}, std::pair{c_calls, &o.c_calls},
        std::pair{async_tasks, &o.async_tasks}}) {
    if (value == nullptr) continue;
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return std::nullopt;
    *to = truth != 0;
  }
  return o;
}

namespace {

// The options as Tracer's keyword arguments.
PyRef options_dict(const RunOptions& o) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return {};
  auto put = [&](const char* key, PyRef value) {
    return value && PyDict_SetItemString(d.get(), key, value.get()) == 0;
  };
  auto list = [](const std::vector<std::string>& v) {
    PyRef l = PyRef::steal(PyList_New(0));
    for (const std::string& s : v) {
      PyRef item = PyRef::steal(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
      if (!l || !item || PyList_Append(l.get(), item.get()) != 0) return PyRef();
    }
    return l;
  };
  const core::FilterSettings& f = o.filters;
  if ((!f.include.empty() && !put("include", list(f.include))) ||
      (!f.exclude.empty() && !put("exclude", list(f.exclude))) ||
      (f.max_depth && !put("max_depth", PyRef::steal(PyLong_FromUnsignedLong(*f.max_depth)))) ||
      (f.min_duration_ns &&
       !put("min_duration", PyRef::steal(PyUnicode_FromString(
                                (std::to_string(*f.min_duration_ns) + "ns").c_str())))) ||
      (o.lossless && !put("lossless", PyRef::borrow(Py_True))) ||
      (o.spool && !put("spool", PyRef::borrow(Py_True))) ||
      (o.compress && !put("compress", PyRef::borrow(Py_True))) ||
      (o.c_calls && !put("c_calls", PyRef::borrow(Py_True))) ||
      (o.async_tasks && !put("async_tasks", PyRef::borrow(Py_True))))
    return {};
  return d;
}

}  // namespace

PyRef options_text(const RunOptions& o) {
  PyRef d = options_dict(o);
  PyRef dumps = d ? import_attr("json", "dumps") : PyRef();
  return dumps ? PyRef::steal(PyObject_CallOneArg(dumps.get(), d.get())) : PyRef();
}

namespace {

// Adds the path, and where it really is when symlinks lead there: code
// objects carry the names they were imported under.
void add_place(std::vector<std::string>& to, PyObject* path) {
  if (path == nullptr || !PyUnicode_Check(path)) return;
  PyRef os_path = import_attr("os", "path");
  for (const char* how : {"normpath", "realpath"}) {
    PyRef fixed =
        os_path ? PyRef::steal(PyObject_CallMethod(os_path.get(), how, "O", path)) : PyRef();
    std::optional<std::string> text =
        fixed && PyUnicode_Check(fixed.get()) ? utf8(fixed.get()) : std::nullopt;
    if (text && !text->empty() && *text != "/") to.push_back(*text);
  }
  PyErr_Clear();
}

void add_places(std::vector<std::string>& to, PyObject* paths) {
  if (paths == nullptr) return;
  if (PyUnicode_Check(paths)) return add_place(to, paths);
  PyRef seq = PyRef::steal(PySequence_Tuple(paths));
  if (!seq) return PyErr_Clear();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq.get()); ++i)
    add_place(to, PyTuple_GET_ITEM(seq.get(), i));
}

}  // namespace

core::CodePlaces code_places() {
  core::CodePlaces places;
  PyRef get_paths = import_attr("sysconfig", "get_paths");
  PyRef paths = get_paths ? PyRef::steal(PyObject_CallNoArgs(get_paths.get())) : PyRef();
  if (paths && PyDict_Check(paths.get())) {
    for (const char* key : {"stdlib", "platstdlib"})
      add_place(places.stdlib, PyDict_GetItemString(paths.get(), key));
    for (const char* key : {"purelib", "platlib"})
      add_place(places.site_packages, PyDict_GetItemString(paths.get(), key));
  }
  PyErr_Clear();
  PyRef site = PyRef::steal(PyImport_ImportModule("site"));
  if (site) {
    PyRef global = PyRef::steal(PyObject_CallMethod(site.get(), "getsitepackages", nullptr));
    add_places(places.site_packages, global.get());
    PyRef user = PyRef::steal(PyObject_CallMethod(site.get(), "getusersitepackages", nullptr));
    add_places(places.site_packages, user.get());
  }
  PyErr_Clear();
  return places;
}

}  // namespace morvex::py
