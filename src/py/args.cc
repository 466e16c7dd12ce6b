#include "py/args.h"

#include <string>

namespace morvex::py {

bool bind_arguments(const Parameters& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
  const size_t n = p.names.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  if (static_cast<size_t>(nargs) > p.positional) {
    if (p.required == p.positional) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                   p.function, p.positional, p.positional == 1 ? "" : "s", nargs,
                   nargs == 1 ? "was" : "were");
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zu positional arguments but %zd were given", p.function,
                   p.required, p.positional, nargs);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t slot = n;
    for (size_t j = 0; j < n; ++j)
      if (PyUnicode_CompareWithASCIIString(key, p.names[j]) == 0) slot = j;
    if (slot == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.function,
                   key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.function,
                   p.names[slot]);
      return false;
    }
    out[slot] = args[nargs + k];
  }
  std::string missing;
  size_t count = 0;
  for (size_t i = 0; i < p.required; ++i) {
    if (out[i] != nullptr) continue;
    if (count != 0) missing += ", ";
    missing += std::string("'") + p.names[i] + "'";
    ++count;
  }
  if (count != 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", p.function,
                 count, count == 1 ? "" : "s", missing.c_str());
    return false;
  }
  return true;
}

}  // namespace morvex::py
