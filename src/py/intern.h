// The code interner of one run: every code object the callbacks see gets a
// dense id (0, 1, 2, ... in order of first sight, at most 2^24 per run, so it
// fits the 24-bit code field of an event), and the description the writers
// need is read once per code object. With include/exclude filters the same
// first sight decides whether the code object is recorded at all.
//
// A code object that dies is forgotten (a code-object watcher reports it),
// so a new one at its address gets an id of its own and the interner holds
// no code object alive. Where no watcher can be had, it holds a reference
// to every code object it knows instead.
//
// Threads: traced threads insert while attached to the interpreter; the
// exporter thread reads through code() without being attached. One
// reader-writer lock guards the tables; no interpreter call is ever made
// while it is held: attributes are read first, then the table is re-tested
// under the exclusive lock and the first inserter wins. The watcher runs
// attached to the interpreter, as inserts do.
#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "core/filters.h"
#include "core/flatmap.h"
#include "core/sink.h"
#include "py/pyref.h"

namespace morvex::py {

// Whether `type` is a class defined in Python (by a class statement or
// type()): its instances' calls and its own are Python code.
bool python_class(PyTypeObject* type);

// The key a callable is interned by when a run records C calls: what stays
// the same from one call of it to the next (the method table entry behind a
// builtin, bound or not; the type of a type call or of a callable object),
// with a low bit set so that it is never a code object's address. Zero for
// Python code: a Python function, or a bound method of one (PY_START
// reports those), a class defined in Python or an instance of one. Classes
// made at run time come and go: they are never interned, nor held.
inline uintptr_t callable_key(PyObject* callable) {
  PyTypeObject* type = Py_TYPE(callable);
  if (type == &PyFunction_Type) return 0;
  if (type == &PyMethod_Type) {
    callable = PyMethod_GET_FUNCTION(callable);
    type = Py_TYPE(callable);
    if (type == &PyFunction_Type) return 0;
  }
  if (PyCFunction_Check(callable))
    return reinterpret_cast<uintptr_t>(reinterpret_cast<PyCFunctionObject*>(callable)->m_ml) | 1;
  if (type == &PyMethodDescr_Type || type == &PyClassMethodDescr_Type)
    return reinterpret_cast<uintptr_t>(reinterpret_cast<PyMethodDescrObject*>(callable)->d_method) |
           1;
  if (type == &PyWrapperDescr_Type) return reinterpret_cast<uintptr_t>(callable) | 1;
  if (PyType_Check(callable))
    return python_class(reinterpret_cast<PyTypeObject*>(callable))
               ? 0
               : reinterpret_cast<uintptr_t>(callable) | 1;
  if (python_class(type)) return 0;
  // Any other callable object is known by its type: partial objects come
  // and go by the million.
  return reinterpret_cast<uintptr_t>(type) | 3;
}

class Interner {
 public:
  static constexpr uint32_t kMaxCodes = 1u << 24;
  // The id of a code object the filters leave out.
  static constexpr uint32_t kExcluded = UINT32_MAX - 1;
  // The id of a callable whose calls are no C calls to record: Python code
  // after all (a class defined in Python, or an instance of one), whose
  // Python frames are what is recorded, or the tracer's own.
  static constexpr uint32_t kUnrecorded = UINT32_MAX - 2;

  // `filter` null: every code object is recorded.
  Interner(const core::CodeFilter* filter, core::FilterCounters* counters);
  // Releases what it holds; deferred when not attached to the interpreter.
  ~Interner();
  Interner(const Interner&) = delete;
  Interner& operator=(const Interner&) = delete;

  // The id (or kExcluded) of a code object already seen.
  std::optional<uint32_t> lookup(uintptr_t address) const;

  // Interns `code` (attached thread only), the code of the frame now
  // running; or decides it is left out. Fails only when the run already
  // holds kMaxCodes code objects. Never leaves a Python error set.
  std::optional<uint32_t> insert(PyObject* code);

  // Interns a callable of a C call under `key` (callable_key of it), named
  // as describe_callable names it, or decides it is left out or Python
  // code. Attached thread only; never leaves a Python error set.
  std::optional<uint32_t> insert_callable(PyObject* callable, uintptr_t key);

  std::optional<core::CodeInfo> code(uint32_t id) const;

  size_t size() const;

  // Makes this the interner whose code objects are watched (null: none);
  // attached threads only. False when the interpreter has no watcher slot
  // left: the interner then keeps its code objects alive.
  static bool watch(Interner* interner);

 private:
  void forget(uintptr_t address);
  static int on_code_event(PyCodeEvent event, PyCodeObject* code);

  const core::CodeFilter* filter_;
  core::FilterCounters* counters_;
  bool holds_refs_ = false;  // set before the first insert, by watch()
  mutable std::shared_mutex mu_;
  std::vector<core::CodeInfo> codes_;
  // Strong references, only when no watcher reports deaths: an address
  // can't be reused by another object while it is a key of index_.
  std::vector<PyObject*> held_;
  // What a C-call key's address belongs to, where that may die (a type
  // made at run time, a slot wrapper of one): held for the run, so that the
  // address is never another's while it is a key.
  std::vector<PyObject*> held_callables_;
  core::FlatMap<uint64_t, uint32_t> index_;
};

// Describes a code object the way the writers show it: "<unknown>" for a
// qualified name that can't be read as text, "" for such a file name, 0 for
// a first line that is missing, negative or too large. Text that is not
// valid UTF-8 (lone surrogates) is kept, escaped. Clears any error.
core::CodeInfo describe_code(PyObject* code);

// Names a callable of a C call as users know it: "sorted", "list.sort",
// "math.sqrt", "collections.OrderedDict" - the module (left out for
// builtins), a dot and the qualified name; a callable object as its type's
// "__call__" ("functools.partial.__call__"). `module` is set to the module
// the filters match it by. Nothing for a class defined in Python or an
// instance of one, and for the tracer's own (a run ends inside
// Tracer.__exit__). Clears any error.
std::optional<core::CodeInfo> describe_callable(PyObject* callable, std::string& module);

// A str as UTF-8, with what UTF-8 cannot carry (lone surrogates) escaped as
// \udcxx; nothing (and the error cleared) if it is not a str.
std::optional<std::string> utf8_text(PyObject* value);

}  // namespace morvex::py
