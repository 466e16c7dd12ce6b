#include "py/errors.h"

#include <string>

namespace morvex::py {

void raise_io_error(const core::IoError& error) {
  std::string text = error.text();
  PyRef message =
      PyRef::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
  PyRef exc = message ? PyRef::steal(PyObject_CallOneArg(PyExc_OSError, message.get())) : PyRef();
  if (!exc) return;  // that failure's exception is the one left set
  if (error.os_code() != 0) {
    // Only errno: setting strerror or filename too would change what str()
    // shows, which callers and the command line print as it is.
    PyRef code = PyRef::steal(PyLong_FromLong(error.os_code()));
    if (!code || PyObject_SetAttrString(exc.get(), "errno", code.get()) != 0) return;
  }
  PyErr_SetRaisedException(exc.release());
}

}  // namespace morvex::py
