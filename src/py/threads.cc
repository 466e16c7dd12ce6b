#include "py/threads.h"

#include <algorithm>
#include <mutex>

#include "py/pyref.h"

namespace morvex::py {

bool usable_thread_name(const std::string& name) {
  return !name.empty() && name.compare(0, 6, "Dummy-") != 0;
}

ThreadRegistry::ThreadRegistry() : names_(core::random_seed()) {}

bool ThreadRegistry::ensure(uint32_t tid) {
  {
    std::shared_lock lock(mu_);
    if (names_.contains(tid)) return true;
  }
  std::string name;
  {
    PyRef current = import_attr("threading", "current_thread");
    PyRef thread = current ? PyRef::steal(PyObject_CallNoArgs(current.get())) : PyRef();
    PyRef value = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "name")) : PyRef();
    Py_ssize_t len = 0;
    const char* s = value && PyUnicode_Check(value.get())
                        ? PyUnicode_AsUTF8AndSize(value.get(), &len)
                        : nullptr;
    if (s == nullptr) {
      PyErr_Clear();
      return false;
    }
    name.assign(s, len);
  }
  if (!usable_thread_name(name)) return false;
  insert(tid, std::move(name));
  return true;
}

void ThreadRegistry::insert(uint32_t tid, std::string name) {
  std::unique_lock lock(mu_);
  names_.try_emplace(tid, std::move(name));  // the first name stays
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
