// What the program marks on its own timeline: morvex.span (a context
// manager and a decorator), morvex.instant and morvex.counter. Recorded in
// order with the function events of the thread that calls them; when no
// trace is running they check their arguments and do nothing else.
#pragma once

#include "py/pyref.h"

namespace morvex::py {

PyObject* span(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* instant(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* counter(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace morvex::py
