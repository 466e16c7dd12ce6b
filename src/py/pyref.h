// Owning and borrowed references to Python objects.
//
// PyRef owns one strong reference. Its release goes through release_ref,
// which drops the reference at once on a thread attached to the interpreter
// and otherwise defers it: the exporter thread may drop the last reference
// to a run's State, whose interner holds code objects, without ever being
// attached.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace morvex::py {

// Drops a strong reference now if this thread holds the interpreter,
// otherwise queues it for the next thread that does.
void release_ref(PyObject* obj);

// Drops the references queued by release_ref; call while attached.
void release_pending_refs();

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.obj_, nullptr));
    return *this;
  }
  ~PyRef() { reset(); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  PyRef new_ref() const { return borrow(obj_); }
  void reset(PyObject* o = nullptr) {
    PyObject* old = std::exchange(obj_, o);
    if (old != nullptr) release_ref(old);
  }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Attribute of an imported module, e.g. import_attr("sys", "monitoring").
PyRef import_attr(const char* module, const char* attr);

// Text as the operating system had it, the way os.environ and sys.argv hold
// it: bytes in the file-system encoding, undecodable ones as surrogates.
PyRef fs_text(const std::string& bytes);

// A PyMethodDef stores every C function as a PyCFunction, whatever calling
// convention (METH_FASTCALL, METH_NOARGS, ...) its flags give it.
template <class R, class... A>
PyCFunction as_pycfunction(R (*f)(A...)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace morvex::py
