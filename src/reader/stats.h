// Per-function figures from the call trees, and a walk over a tree that the
// renderers share.
//
// Recursion is counted once: a slice that runs while a slice of the same
// function is open on the same thread (an ancestor in the tree) adds to
// calls, self time and max, but not again to total time or to primitive
// calls. So a function's total is the time during which it was on the
// stack, and the self times of all functions of a thread add up to the
// thread's traced time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "reader/model.h"

namespace morvex::reader {

struct FunctionStats {
  uint32_t function = kNone;
  uint64_t calls = 0;            // see model.h: starts (JSON) or slices (Perfetto)
  uint64_t primitive_calls = 0;  // calls not made inside a call of the same function
  uint64_t slices = 0;
  uint64_t total_ns = 0;
  uint64_t self_ns = 0;
  uint64_t max_ns = 0;  // the longest single slice
};

// One row per function that has a slice on the given threads (indices into
// trace.threads), in the order of trace.functions.
std::vector<FunctionStats> function_stats(const Trace& trace, std::span<const uint32_t> threads);

// Indices of the threads of process `pid`, or of every thread.
std::vector<uint32_t> threads_of(const Trace& trace, std::optional<uint32_t> pid);

// Depth-first walk of the tree under `root`, without recursion: enter(node,
// depth) before a node's children (return false to skip them), leave(node,
// depth) after them. The root has depth 0.
template <class Enter, class Leave>
void walk(const Trace& trace, uint32_t root, Enter&& enter, Leave&& leave) {
  const std::vector<Node>& nodes = trace.nodes;
  uint32_t n = root;
  size_t depth = 0;
  bool descend = enter(n, depth);
  for (;;) {
    if (descend && nodes[n].first_child != kNone) {
      n = nodes[n].first_child;
      ++depth;
      descend = enter(n, depth);
      continue;
    }
    for (;;) {
      leave(n, depth);
      if (n == root) return;
      if (nodes[n].next_sibling != kNone) {
        n = nodes[n].next_sibling;
        descend = enter(n, depth);
        break;
      }
      n = nodes[n].parent;
      --depth;
    }
  }
}

}  // namespace morvex::reader
