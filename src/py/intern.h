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

class Interner {
 public:
  static constexpr uint32_t kMaxCodes = 1u << 24;
  // The id of a code object the filters leave out.
  static constexpr uint32_t kExcluded = UINT32_MAX - 1;

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
  core::FlatMap<uint64_t, uint32_t> index_;
};

// Describes a code object the way the writers show it: "<unknown>" for a
// qualified name that can't be read as text, "" for such a file name, 0 for
// a first line that is missing, negative or too large. Text that is not
// valid UTF-8 (lone surrogates) is kept, escaped. Clears any error.
core::CodeInfo describe_code(PyObject* code);

// A str as UTF-8, with what UTF-8 cannot carry (lone surrogates) escaped as
// \udcxx; nothing (and the error cleared) if it is not a str.
std::optional<std::string> utf8_text(PyObject* value);

}  // namespace morvex::py
