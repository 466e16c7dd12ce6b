#include "py/errors.h"

#include <cstring>
#include <string>

namespace morvex::py {

namespace {

// Enough to recognise a name by, short enough for one line.
constexpr Py_ssize_t kShownChars = 60;

}  // namespace

PyRef shown(PyObject* obj) {
  // Cutting a str or bytes before its repr keeps the cost to the part shown.
  PyRef head;
  bool cut = false;
  if (PyUnicode_Check(obj) && PyUnicode_GET_LENGTH(obj) > kShownChars) {
    head = PyRef::steal(PyUnicode_Substring(obj, 0, kShownChars));
    cut = true;
  } else if (PyBytes_Check(obj) && PyBytes_GET_SIZE(obj) > kShownChars) {
    head = PyRef::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj), kShownChars));
    cut = true;
  } else {
    head = PyRef::borrow(obj);
  }
  PyRef repr = head ? PyRef::steal(PyObject_Repr(head.get())) : PyRef();
  // Escapes can make the repr of even the cut part long.
  if (repr && PyUnicode_GET_LENGTH(repr.get()) > 2 * kShownChars) {
    repr = PyRef::steal(PyUnicode_Substring(repr.get(), 0, 2 * kShownChars));
    cut = true;
  }
  if (repr && cut) repr = PyRef::steal(PyUnicode_FromFormat("%U...", repr.get()));
  if (repr) return repr;
  PyErr_Clear();
  return PyRef::steal(PyUnicode_FromFormat("<%s object>", Py_TYPE(obj)->tp_name));
}

void raise_io_error(const core::IoError& error, const std::string* path) {
  if (path != nullptr && error.os_code() != 0) {
    PyRef strerror = PyRef::steal(PyUnicode_DecodeLocale(std::strerror(error.os_code()), nullptr));
    PyRef filename = fs_text(*path);
    PyRef exc = strerror && filename ? PyRef::steal(PyObject_CallFunction(
                                           PyExc_OSError, "iOO", error.os_code(), strerror.get(),
                                           filename.get()))
                                     : PyRef();
    if (exc) PyErr_SetRaisedException(exc.release());
    return;
  }
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
