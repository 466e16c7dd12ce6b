// From failures inside the module to Python exceptions.
//
// Every function the interpreter calls runs its body through guarded(), so
// no C++ exception ever crosses into the interpreter; an I/O error of the
// core becomes an OSError in one place only, raise_io_error().
//
// The kinds of failure, each with one shape: an I/O error is a
// core::Result / core::Status (raised by raise_io_error); what is wrong with
// what a caller gave is a core::Checked (ValueError, or on the command line
// the parser's usage message); everything in here that calls the
// interpreter answers null, nullopt or false with the Python exception set.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "core/ioerror.h"
#include "py/pyref.h"

namespace morvex::py {

// Runs `f` and turns a C++ exception into a Python one, so that no failure
// inside the module ends the process.
template <class F>
PyObject* guarded(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in morvex");
    return nullptr;
  }
}

// Raises OSError whose one argument is the error's text (what str() shows),
// with errno set to the operating system's error number when it has one.
// With `path` (the file-system encoding's bytes) and an error number, it is
// raised as Python raises one for a file it cannot open - OSError(errno,
// strerror, filename), so FileNotFoundError, PermissionError... - and
// .filename names the path.
void raise_io_error(const core::IoError& error, const std::string* path = nullptr);

// An object as an error message shows it: its repr, cut short (ending in
// "...") so that a name of a megabyte cannot become a message of one. Never
// fails for lack of a repr: the type's name stands in.
PyRef shown(PyObject* obj);

// Holds the exception pending when it is made, across clean-up that may
// raise and clear exceptions of its own, and puts it back at scope exit.
class KeptException {
 public:
  KeptException() : exc_(PyErr_GetRaisedException()) {}
  ~KeptException() { PyErr_SetRaisedException(exc_); }
  KeptException(const KeptException&) = delete;
  KeptException& operator=(const KeptException&) = delete;

 private:
  PyObject* exc_;
};

}  // namespace morvex::py
