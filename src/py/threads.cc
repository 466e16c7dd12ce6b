#include "py/threads.h"

#include <algorithm>
#include <mutex>

#include "py/intern.h"
#include "py/pyref.h"

namespace morvex::py {

namespace {

// The calling thread's threading.Thread, or nothing while threading does not
// know it yet. threading.current_thread() would make up a _DummyThread for a
// thread still in its bootstrap (the first events of every new thread come
// from there), which lingers until interpreter exit; its "Dummy-" name is
// not kept anyway, so such a thread is simply asked again later.
PyRef current_thread() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  if (!threading) return {};
  PyRef active = PyRef::steal(PyObject_GetAttrString(threading.get(), "_active"));
  if (!active || !PyDict_Check(active.get())) {
    PyErr_Clear();
    return PyRef::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr));
  }
  PyRef ident = PyRef::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
  if (!ident) return {};
  PyObject* thread = PyDict_GetItemWithError(active.get(), ident.get());  // borrowed
  return PyRef::borrow(thread);
}

}  // namespace

bool usable_thread_name(const std::string& name) {
  return !name.empty() && name.compare(0, 6, "Dummy-") != 0;
}

ThreadRegistry::ThreadRegistry()
    : names_(core::random_seed()), parents_(core::random_seed()), keys_(core::random_seed()) {}

bool ThreadRegistry::ensure(uint32_t tid) {
  {
    std::shared_lock lock(mu_);
    if (names_.contains(tid)) return true;
  }
  std::string name;
  {
    PyRef thread = current_thread();
    PyRef value = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "name")) : PyRef();
    std::optional<std::string> text = value ? utf8_text(value.get()) : std::nullopt;
    if (!text) {
      PyErr_Clear();
      return false;
    }
    name = std::move(*text);
  }
  if (!usable_thread_name(name)) return false;
  insert(tid, std::move(name));
  return true;
}

void ThreadRegistry::insert(uint32_t tid, std::string name) {
  std::unique_lock lock(mu_);
  names_.try_emplace(tid, std::move(name));  // the first name stays
}

void ThreadRegistry::insert_task(uint32_t track, uint32_t thread, std::string name) {
  std::unique_lock lock(mu_);
  names_.try_emplace(track, std::move(name));
  parents_.try_emplace(track, thread);
}

std::optional<uint32_t> ThreadRegistry::parent(uint32_t track) const {
  std::shared_lock lock(mu_);
  if (const uint32_t* p = parents_.find(track)) return *p;
  return std::nullopt;
}

std::optional<std::string> ThreadRegistry::name(uint32_t tid) const {
  std::shared_lock lock(mu_);
  if (const std::string* n = names_.find(tid)) return *n;
  return std::nullopt;
}

std::vector<std::pair<uint32_t, std::string>> ThreadRegistry::snapshot() const {
  std::vector<std::pair<uint32_t, std::string>> all;
  {
    std::shared_lock lock(mu_);
    all.reserve(names_.size());
    const_cast<core::FlatMap<uint32_t, std::string>&>(names_).for_each(
        [&all](uint32_t tid, const std::string& n) { all.emplace_back(tid, n); });
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return all;
}

}  // namespace morvex::py
