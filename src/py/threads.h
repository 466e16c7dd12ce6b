// The thread registry of one run: the id each thread's events carry
// (core/thread_keys.h), and the thread's `threading` name under that id,
// recorded once per thread and never changed during the run.
//
// Threads: ensure() runs on traced threads (attached); name() and snapshot()
// on the exporter thread (not attached). One reader-writer lock, never held
// during an interpreter call and never together with the interner's.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/flatmap.h"
#include "core/thread_keys.h"

namespace morvex::py {

class ThreadRegistry {
 public:
  ThreadRegistry();

  // The id the calling thread's events carry in this run; called once per
  // thread and run, with its kernel id.
  uint32_t claim(uint32_t os_tid) { return keys_.claim(os_tid); }

  // Registers the calling thread (whose id is `tid`) under its threading
  // name. False when threading does not know the thread (yet), or its name
  // can't be read, is empty, or is a "Dummy-" name that threading gives
  // threads it did not start: a later call retries.
  bool ensure(uint32_t tid);

  std::optional<std::string> name(uint32_t tid) const;
  std::vector<std::pair<uint32_t, std::string>> snapshot() const;

  // Records `name` for `tid` unless one is already there; the name rules of
  // ensure() are the caller's.
  void insert(uint32_t tid, std::string name);

  // An asyncio task's track: its name and the thread it runs on.
  void insert_task(uint32_t track, uint32_t thread, std::string name);
  std::optional<uint32_t> parent(uint32_t track) const;

 private:
  mutable std::shared_mutex mu_;
  core::FlatMap<uint32_t, std::string> names_;
  core::FlatMap<uint32_t, uint32_t> parents_;  // task track -> thread
  core::ThreadKeys keys_;
};

// Whether a thread name is worth keeping: not empty, not "Dummy-...".
bool usable_thread_name(const std::string& name);

}  // namespace morvex::py
