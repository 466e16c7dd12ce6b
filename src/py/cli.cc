#include "py/cli.h"

namespace morvex::py {

PyObject* cli_main(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "cli_main is not built yet");
  return nullptr;
}

}  // namespace morvex::py
