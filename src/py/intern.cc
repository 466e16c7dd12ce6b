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

// The deallocator every class defined in Python shares (and no type of a C
// module has), read off one made for the purpose.
destructor python_class_dealloc() {
  static destructor dealloc = [] {
    PyRef made = PyRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                    "s()N", "_", PyDict_New()));
    destructor d = made ? reinterpret_cast<PyTypeObject*>(made.get())->tp_dealloc : nullptr;
    PyErr_Clear();
    return d;
  }();
  return dealloc;
}

// The type whose method table holds `def`, searched from `type` up its MRO:
// a bound builtin is named after the class that defines it, as the
// unbound descriptor is.
PyTypeObject* defining_type(PyTypeObject* type, PyMethodDef* def) {
  PyObject* mro = type->tp_mro;  // borrowed
  if (mro == nullptr || !PyTuple_Check(mro)) return type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    // Builtin types keep their dict with the interpreter, not in tp_dict.
    PyRef dict = PyType_Check(base)
                     ? PyRef::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)))
                     : PyRef();
    PyObject* entry = dict ? PyDict_GetItemString(dict.get(), def->ml_name) : nullptr;  // borrowed
    if (entry != nullptr &&
        (Py_IS_TYPE(entry, &PyMethodDescr_Type) || Py_IS_TYPE(entry, &PyClassMethodDescr_Type)) &&
        reinterpret_cast<PyMethodDescrObject*>(entry)->d_method == def)
      return reinterpret_cast<PyTypeObject*>(base);
  }
  PyErr_Clear();
  return type;
}

// "module.qualname", with the module left out for builtins.
std::string dotted(const std::string& module, const std::string& qualname) {
  if (module.empty() || module == "builtins") return qualname;
  return module + "." + qualname;
}

// A type's module and qualified name, as its attributes give them.
std::string type_name(PyTypeObject* type, std::string& module) {
  auto* obj = reinterpret_cast<PyObject*>(type);
  module = text_attr(obj, "__module__").value_or("");
  return dotted(module, text_attr(obj, "__qualname__").value_or(type->tp_name));
}

}  // namespace

bool python_class(PyTypeObject* type) {
  return (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 && type->tp_dealloc == python_class_dealloc();
}

std::optional<core::CodeInfo> describe_callable(PyObject* callable, std::string& module) {
  if (Py_IS_TYPE(callable, &PyMethod_Type)) callable = PyMethod_GET_FUNCTION(callable);
  core::CodeInfo info;
  if (PyCFunction_Check(callable)) {
    auto* f = reinterpret_cast<PyCFunctionObject*>(callable);
    PyObject* self = f->m_self;
    if (self == nullptr || PyModule_Check(self)) {
      std::optional<std::string> m =
          f->m_module != nullptr ? utf8_text(f->m_module) : std::optional<std::string>();
      if (!m && self != nullptr) m = text_attr(self, "__name__");
      module = m.value_or("");
      info.qualname = dotted(module, f->m_ml->ml_name);
    } else {
      PyTypeObject* of = PyType_Check(self) ? reinterpret_cast<PyTypeObject*>(self) : Py_TYPE(self);
      info.qualname = type_name(defining_type(of, f->m_ml), module) + "." + f->m_ml->ml_name;
    }
  } else if (Py_IS_TYPE(callable, &PyMethodDescr_Type) ||
             Py_IS_TYPE(callable, &PyClassMethodDescr_Type) ||
             Py_IS_TYPE(callable, &PyWrapperDescr_Type)) {
    auto* d = reinterpret_cast<PyDescrObject*>(callable);
    std::string name = text_attr(callable, "__name__").value_or("<unknown>");
    info.qualname = type_name(d->d_type, module) + "." + name;
  } else if (PyType_Check(callable)) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    if (python_class(type)) return std::nullopt;
    info.qualname = type_name(type, module);
  } else {
    if (python_class(Py_TYPE(callable))) return std::nullopt;
    info.qualname = type_name(Py_TYPE(callable), module) + ".__call__";
  }
  PyErr_Clear();
  if (module == "morvex._core") return std::nullopt;
  return info;
}

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
  for (PyObject* o : held_callables_) release_ref(o);
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

std::optional<uint32_t> Interner::insert_callable(PyObject* callable, uintptr_t key) {
  if (Py_IS_TYPE(callable, &PyMethod_Type)) callable = PyMethod_GET_FUNCTION(callable);
  std::string module;
  std::optional<core::CodeInfo> info = describe_callable(callable, module);
  bool recorded = !info || filter_ == nullptr || filter_->records({module, ""});
  // What the key's address is, when it may be freed while the run goes on.
  PyObject* owner = nullptr;
  if ((key & 3) == 3) {
    owner = reinterpret_cast<PyObject*>(key & ~uintptr_t{3});
  } else if (!PyCFunction_Check(callable) && !Py_IS_TYPE(callable, &PyMethodDescr_Type) &&
             !Py_IS_TYPE(callable, &PyClassMethodDescr_Type)) {
    owner = reinterpret_cast<PyObject*>(key & ~uintptr_t{1});
  }
  std::optional<uint32_t> result;
  {
    std::unique_lock lock(mu_);
    if (const uint32_t* id = index_.find(key)) return *id;  // another thread won
    if (!info) {
      result = kUnrecorded;
    } else if (!recorded) {
      result = kExcluded;
    } else if (codes_.size() < kMaxCodes) {
      result = static_cast<uint32_t>(codes_.size());
      codes_.push_back(std::move(*info));
    } else {
      return std::nullopt;
    }
    index_.insert(key, *result);
    if (owner != nullptr) held_callables_.push_back(Py_NewRef(owner));
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
