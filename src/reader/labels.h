// How functions, threads and processes are named in every output, so the
// report, the flame graph and the converted files agree.
#pragma once

#include <string>

#include "core/event.h"
#include "reader/model.h"

namespace morvex::reader {

// "[span] NAME" for a user span, the qualified name otherwise.
inline std::string frame_label(const Function& f) { return f.span ? "[span] " + f.name : f.name; }

// "file:line", "file" when the line is unknown, "" without a file.
inline std::string location(const Function& f) {
  if (f.file.empty()) return {};
  return f.line != 0 ? f.file + ":" + std::to_string(f.line) : f.file;
}

// An asyncio task's track reads as a thread of its own whose id has the top
// bit set; the rest of the id tells tasks of one name apart.
inline uint32_t task_number(const Thread& t) { return t.tid & ~core::kTaskTrackBit; }

// The thread's name, or "thread TID" ("task N") for one that has none.
inline std::string thread_label(const Thread& t) {
  if (!t.name.empty()) return t.name;
  if (core::is_task_track(t.tid)) return "task " + std::to_string(task_number(t));
  return "thread " + std::to_string(t.tid);
}

// "MainThread (pid 10, tid 12)"; "worker (pid 10, task 3)" for a task's track.
inline std::string thread_title(const Thread& t) {
  const std::string id = core::is_task_track(t.tid) ? "task " + std::to_string(task_number(t))
                                                    : "tid " + std::to_string(t.tid);
  return thread_label(t) + " (pid " + std::to_string(t.pid) + ", " + id + ")";
}

}  // namespace morvex::reader
