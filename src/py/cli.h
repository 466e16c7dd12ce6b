// cli_main(argv): the command line behind `morvex` and `python -m morvex`.
//
// Parses argv (cli_args.h), prints help or a usage error and answers 0 or 2,
// or runs a script or a module under a Tracer with sys.argv rewritten for it
// and answers 0. What the traced program raises, SystemExit included,
// propagates once the trace is finished and sys.argv is restored.
#pragma once

#include "py/pyref.h"

namespace morvex::py {

PyObject* cli_main(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace morvex::py
