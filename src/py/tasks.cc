#include "py/tasks.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "core/event.h"
#include "py/errors.h"
#include "py/intern.h"

namespace morvex::py {

namespace {

// Whether `ref` still refers to `task` (null: to anything at all).
bool refers_to(PyObject* ref, PyObject* task) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj = nullptr;
  if (PyWeakref_GetRef(ref, &obj) < 0) {
    PyErr_Clear();
    return false;
  }
  const bool same = task == nullptr ? obj != nullptr : obj == task;
  Py_XDECREF(obj);
  return same;
#else
  PyObject* obj = PyWeakref_GetObject(ref);  // borrowed; None once dead
  if (obj == nullptr) {
    PyErr_Clear();
    return false;
  }
  return task == nullptr ? obj != Py_None : obj == task;
#endif
}

std::string task_name(PyObject* task) {
  PyRef name = PyRef::steal(PyObject_CallMethod(task, "get_name", nullptr));
  std::optional<std::string> text = name ? utf8_text(name.get()) : std::nullopt;
  if (!text || text->empty()) {
    PyErr_Clear();
    return "Task";
  }
  return std::move(*text);
}

PyObject* interned_asyncio() {
  static PyObject* name = PyUnicode_InternFromString("asyncio");
  return name;
}

}  // namespace

TaskTracks::~TaskTracks() {
  for (auto& [address, entry] : known_) Py_XDECREF(entry.ref);
}

uint32_t TaskTracks::current(uint32_t thread, ThreadRegistry& registry) {
  KeptException keep;
  if (!current_task_) {
    // Never imported from here: a program without asyncio has no tasks.
    PyObject* module_name = interned_asyncio();
    PyRef asyncio = module_name ? PyRef::steal(PyImport_GetModule(module_name)) : PyRef();
    if (asyncio)
      current_task_ = PyRef::steal(PyObject_GetAttrString(asyncio.get(), "current_task"));
    if (!current_task_) {
      PyErr_Clear();
      return 0;
    }
  }
  PyRef task = PyRef::steal(PyObject_CallNoArgs(current_task_.get()));
  if (!task) {
    PyErr_Clear();  // no running loop on this thread
    return 0;
  }
  if (task.get() == Py_None) return 0;
  const auto address = reinterpret_cast<uintptr_t>(task.get());
  {
    std::lock_guard lock(mu_);
    auto found = known_.find(address);
    if (found != known_.end() && refers_to(found->second.ref, task.get()))
      return found->second.number;
  }
  // First seen (or a new task where a dead one was): a number and a track.
  PyObject* ref = PyWeakref_NewRef(task.get(), nullptr);
  if (ref == nullptr) {
    PyErr_Clear();
    return 0;
  }
  std::string name = task_name(task.get());
  uint32_t number = 0;
  PyObject* replaced = nullptr;
  {
    std::lock_guard lock(mu_);
    if (next_ > kMaxTasks) {
      Py_DECREF(ref);
      return 0;
    }
    number = next_++;
    Entry& entry = known_[address];
    replaced = std::exchange(entry.ref, ref);
    entry.number = number;
    if (known_.size() >= sweep_at_) sweep();
  }
  Py_XDECREF(replaced);
  registry.insert_task(core::kTaskTrackBit | number, thread, std::move(name));
  return number;
}

void TaskTracks::sweep() {
  for (auto it = known_.begin(); it != known_.end();) {
    if (refers_to(it->second.ref, nullptr)) {
      ++it;
      continue;
    }
    Py_DECREF(it->second.ref);  // a dead weak reference: no callback, no Python code
    it = known_.erase(it);
  }
  sweep_at_ = std::max<size_t>(1024, 2 * known_.size());
}

}  // namespace morvex::py
