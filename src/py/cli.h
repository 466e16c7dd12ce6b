// cli_main(argv): the command line behind `morvex` and `python -m morvex`.
#pragma once

#include "py/pyref.h"

namespace morvex::py {

PyObject* cli_main(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace morvex::py
