#include "py/intern.h"

#include <mutex>

#include "core/recorder.h"

namespace morvex::py {

namespace {

// The interner the watcher reports to; guarded by the interpreter lock.
Interner* WATCHED = nullptr;
int WATCHER_ID = -2;  // -2: not tried yet, -1: no slot could be had

std::optional<std::string> text_attr(PyObject* obj, const char* name) {
  PyRef v = PyRef::steal(PyObject_GetAttrString(obj, name));
  std::optional<std::string> text = v ? utf8_text(v.get()) : std::nullopt;
  PyErr_Clear();
  return text;
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

// The module of the frame now running `code`, as its globals name it
// ("__main__" for the traced script); empty when that can't be told.
std::string running_module(PyObject* code) {
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  if (frame == nullptr) return {};
  PyRef frame_code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  if (frame_code.get() != code) return {};
  PyRef globals = PyRef::steal(PyFrame_GetGlobals(frame));
  PyObject* name = globals && PyDict_Check(globals.get())
                       ? PyDict_GetItemString(globals.get(), "__name__")  // borrowed
                       : nullptr;
  std::optional<std::string> text = name ? utf8_text(name) : std::nullopt;
  PyErr_Clear();
  return text.value_or("");
}

}  // namespace

std::optional<std::string> utf8_text(PyObject* value) {
  if (!PyUnicode_Check(value)) return std::nullopt;
  Py_ssize_t len = 0;
  if (const char* s = PyUnicode_AsUTF8AndSize(value, &len)) return std::string(s, size_t(len));
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(value, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
}

core::CodeInfo describe_code(PyObject* code) {
  core::CodeInfo info;
  info.qualname = text_attr(code, "co_qualname").value_or("<unknown>");
  info.filename = text_attr(code, "co_filename").value_or("");
  info.first_line = line_attr(code);
  return info;
}

Interner::Interner(const core::CodeFilter* filter, core::FilterCounters* counters)
    : filter_(filter), counters_(counters), index_(core::random_seed()) {}

Interner::~Interner() {
  for (PyObject* o : held_) release_ref(o);
}

bool Interner::watch(Interner* interner) {
  if (WATCHER_ID == -2) {
    WATCHER_ID = PyCode_AddWatcher(on_code_event);
    if (WATCHER_ID < 0) {
      PyErr_Clear();
      WATCHER_ID = -1;
    }
  }
  WATCHED = interner;
  if (interner != nullptr) interner->holds_refs_ = WATCHER_ID < 0;
  return WATCHER_ID >= 0;
}

int Interner::on_code_event(PyCodeEvent event, PyCodeObject* code) {
  if (event == PY_CODE_EVENT_DESTROY && WATCHED != nullptr)
    WATCHED->forget(reinterpret_cast<uintptr_t>(code));
  return 0;
}

void Interner::forget(uintptr_t address) {
  {
    std::unique_lock lock(mu_);
    if (!index_.erase(address)) return;
  }
  // No thread is in a callback (this one holds the interpreter): their
  // caches can be cleared under them.
  core::forget_code_everywhere(address);
}

std::optional<uint32_t> Interner::lookup(uintptr_t address) const {
  std::shared_lock lock(mu_);
  if (const uint32_t* id = index_.find(address)) return *id;
  return std::nullopt;
}

std::optional<uint32_t> Interner::insert(PyObject* code) {
  core::CodeInfo info = describe_code(code);
  bool recorded = filter_ == nullptr || filter_->records({running_module(code), info.filename});
  std::optional<uint32_t> result;
  auto address = reinterpret_cast<uintptr_t>(code);
  {
    std::unique_lock lock(mu_);
    if (const uint32_t* id = index_.find(address)) return *id;  // another thread won
    if (!recorded) {
      result = kExcluded;
    } else if (codes_.size() < kMaxCodes) {
      result = static_cast<uint32_t>(codes_.size());
      codes_.push_back(std::move(info));
    } else {
      return std::nullopt;
    }
    index_.insert(address, *result);
    if (holds_refs_) held_.push_back(Py_NewRef(code));
  }
  if (!recorded && counters_ != nullptr)
    counters_->functions.fetch_add(1, std::memory_order_relaxed);
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
