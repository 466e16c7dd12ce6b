#include "py/intern.h"

#include <mutex>

namespace morvex::py {

namespace {

// The attribute as UTF-8 text, or nothing (with the error cleared).
std::optional<std::string> text_attr(PyObject* obj, const char* name) {
  PyRef v = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (v && PyUnicode_Check(v.get())) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(v.get(), &len)) return std::string(s, len);
  }
  PyErr_Clear();
  return std::nullopt;
}

uint32_t line_attr(PyObject* obj) {
  PyRef v = PyRef::steal(PyObject_GetAttrString(obj, "co_firstlineno"));
  uint32_t line = 0;
  if (v && PyLong_Check(v.get())) {
    unsigned long long n = PyLong_AsUnsignedLongLong(v.get());
    if (!PyErr_Occurred() && n <= UINT32_MAX) line = static_cast<uint32_t>(n);
  }
  PyErr_Clear();
  return line;
}

}  // namespace

core::CodeInfo describe_code(PyObject* code) {
  core::CodeInfo info;
  info.qualname = text_attr(code, "co_qualname").value_or("<unknown>");
  info.filename = text_attr(code, "co_filename").value_or("");
  info.first_line = line_attr(code);
  return info;
}

Interner::Interner() : index_(core::random_seed()) {}

Interner::~Interner() {
  for (PyObject* o : objects_) release_ref(o);
}

std::optional<uint32_t> Interner::lookup(uintptr_t address) const {
  std::shared_lock lock(mu_);
  if (const uint32_t* id = index_.find(address)) return *id;
  return std::nullopt;
}

std::optional<uint32_t> Interner::insert(PyObject* code) {
  core::CodeInfo info = describe_code(code);
  Py_INCREF(code);
  std::optional<uint32_t> result;
  {
    std::unique_lock lock(mu_);
    auto address = reinterpret_cast<uintptr_t>(code);
    if (const uint32_t* id = index_.find(address)) {
      result = *id;  // another thread won the race
    } else if (codes_.size() < kMaxCodes) {
      auto id = static_cast<uint32_t>(codes_.size());
      codes_.push_back(std::move(info));
      objects_.push_back(code);
      index_.insert(address, id);
      return id;
    }
  }
  release_ref(code);
  return result;
}

std::optional<core::CodeInfo> Interner::code(uint32_t id) const {
  std::shared_lock lock(mu_);
  if (id < codes_.size()) return codes_[id];
  return std::nullopt;
}

size_t Interner::size() const {
  std::shared_lock lock(mu_);
  return codes_.size();
}

}  // namespace morvex::py
