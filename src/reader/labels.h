// How functions, threads and processes are named in every output, so the
// report, the flame graph and the converted files agree.
#pragma once

#include <string>

#include "reader/model.h"

namespace morvex::reader {

// "[span] NAME" for a user span, the qualified name otherwise.
inline std::string frame_label(const Function& f) { return f.span ? "[span] " + f.name : f.name; }

// "file:line", "file" when the line is unknown, "" without a file.
inline std::string location(const Function& f) {
  if (f.file.empty()) return {};
  return f.line != 0 ? f.file + ":" + std::to_string(f.line) : f.file;
}

// The thread's name, or "thread TID" for a thread that has none.
inline std::string thread_label(const Thread& t) {
  return t.name.empty() ? "thread " + std::to_string(t.tid) : t.name;
}

// "MainThread (pid 10, tid 12)".
inline std::string thread_title(const Thread& t) {
  return thread_label(t) + " (pid " + std::to_string(t.pid) + ", tid " + std::to_string(t.tid) +
         ")";
}

}  // namespace morvex::reader
