// The asyncio tasks of one run: which task a step belongs to, and the number
// its track carries (core::kTaskTrackBit | number).
//
// A task is known by its address and a weak reference that tells a live
// task from a later one at the same address: the run never keeps a task
// alive. Its name is taken when it is first seen (Task.get_name()); a later
// set_name() does not rename its track.
//
// Threads: current() runs on traced threads, attached to the interpreter,
// once per task step; one lock, never held during an interpreter call.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "py/pyref.h"
#include "py/threads.h"

namespace morvex::py {

class TaskTracks {
 public:
  // The number of the task running on the calling thread (whose events
  // carry `thread`), registering its track under its name the first time;
  // 0 when no task is running, or when asyncio was never imported. Leaves
  // the interpreter's error state as it found it.
  uint32_t current(uint32_t thread, ThreadRegistry& registry);

  ~TaskTracks();

 private:
  struct Entry {
    uint32_t number = 0;
    PyObject* ref = nullptr;  // strong reference to a weak reference of the task
  };
  // Forgets tasks that are gone, once the map has doubled since the last time.
  void sweep();

  static constexpr uint32_t kMaxTasks = (1u << 24) - 1;  // a record's code-id field

  std::mutex mu_;
  std::unordered_map<uintptr_t, Entry> known_;
  size_t sweep_at_ = 1024;
  uint32_t next_ = 1;
  PyRef current_task_;  // asyncio.current_task, once asyncio is there
};

}  // namespace morvex::py
