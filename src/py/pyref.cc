#include "py/pyref.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace morvex::py {

namespace {

struct Pending {
  std::mutex mu;
  std::vector<PyObject*> refs;
  std::atomic<bool> scheduled{false};
};

// Never destroyed: releases may arrive from background threads at exit.
Pending& pending() {
  static Pending* p = new Pending;
  return *p;
}

int drain_pending(void*) {
  release_pending_refs();
  return 0;
}

}  // namespace

void release_pending_refs() {
  Pending& p = pending();
  std::vector<PyObject*> refs;
  {
    std::lock_guard lock(p.mu);
    refs.swap(p.refs);
    p.scheduled.store(false);
  }
  for (PyObject* o : refs) Py_DECREF(o);
}

void release_ref(PyObject* obj) {
  if (PyGILState_Check()) {
    Py_DECREF(obj);
    return;
  }
  Pending& p = pending();
  {
    std::lock_guard lock(p.mu);
    p.refs.push_back(obj);
  }
  // Ask the interpreter to run the drain soon; if its queue of pending calls
  // is full, the next call of release_pending_refs picks these up.
  if (!p.scheduled.exchange(true) && Py_AddPendingCall(drain_pending, nullptr) != 0)
    p.scheduled.store(false);
}

PyRef import_attr(const char* module, const char* attr) {
  PyRef m = PyRef::steal(PyImport_ImportModule(module));
  if (!m) return {};
  return PyRef::steal(PyObject_GetAttrString(m.get(), attr));
}

PyRef fs_text(const std::string& bytes) {
  return PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), Py_ssize_t(bytes.size())));
}

}  // namespace morvex::py
