// What a run records beyond the defaults, as one value from wherever it was
// given (the command line's arguments or Tracer's keywords) to the run that
// uses it, each part checked once where it was given.
#pragma once

#include <cstdint>

#include "core/filters.h"

namespace morvex::core {

struct RunOptions {
  FilterSettings filters;
  bool lossless = false;
  // Keep the raw events aside while the program runs; write the trace when
  // the run ends.
  bool spool = false;
  // A Perfetto trace of deflated bundles with incremental timestamps.
  bool compress = false;
  // Slices for calls of builtins, methods of C types and other callables
  // that are not Python functions.
  bool c_calls = false;
  // Each asyncio task's steps on a track of its own.
  bool async_tasks = false;

  bool any() const {
    return filters.any() || lossless || spool || compress || c_calls || async_tasks;
  }
};

// The deepest max_depth kept as given: anything deeper than an interpreter's
// recursion can go means no limit at all, and UINT32_MAX is the callbacks'
// "none".
inline constexpr uint32_t kDeepestMaxDepth = UINT32_MAX - 1;

}  // namespace morvex::core
