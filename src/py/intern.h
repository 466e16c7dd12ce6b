// The code interner of one run: every code object the callbacks see gets a
// dense id (0, 1, 2, ... in order of first sight, at most 2^24 per run, so it
// fits the 24-bit code field of an event), and the description the writers
// need is read once per code object.
//
// Threads: traced threads insert while attached to the interpreter; the
// exporter thread reads through code() without being attached. One
// reader-writer lock guards the tables; no interpreter call is ever made
// while it is held: attributes are read first, then the table is re-tested
// under the exclusive lock and the first inserter wins.
#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "core/flatmap.h"
#include "core/sink.h"
#include "py/pyref.h"

namespace morvex::py {

class Interner {
 public:
  static constexpr uint32_t kMaxCodes = 1u << 24;

  Interner();
  // Releases the code objects; deferred when not attached to the interpreter.
  ~Interner();
  Interner(const Interner&) = delete;
  Interner& operator=(const Interner&) = delete;

  // The id of an already interned code object.
  std::optional<uint32_t> lookup(uintptr_t address) const;

  // Interns `code` (attached thread only). Fails only when the run already
  // holds kMaxCodes code objects. Never leaves a Python error set.
  std::optional<uint32_t> insert(PyObject* code);

  std::optional<core::CodeInfo> code(uint32_t id) const;

  size_t size() const;

 private:
  mutable std::shared_mutex mu_;
  std::vector<core::CodeInfo> codes_;
  // Strong references: an interned address can't be reused by another object
  // while it is a key of index_.
  std::vector<PyObject*> objects_;
  core::FlatMap<uint64_t, uint32_t> index_;
};

// Describes a code object the way the writers show it: "<unknown>" for a
// qualified name that can't be read as text, "" for such a file name, 0 for
// a first line that is missing, negative or too large. Clears any error.
core::CodeInfo describe_code(PyObject* code);

}  // namespace morvex::py
