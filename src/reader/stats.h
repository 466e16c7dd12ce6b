// Per-function figures over a choice of threads, and a walk over the call
// tree that the stack-shaped renderers share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "reader/model.h"

namespace morvex::reader {

// One row per function that has a slice on the given threads (indices into
// trace.threads), in the order of trace.functions: the threads' rows added
// up, max the largest.
std::vector<FunctionStats> function_stats(const Trace& trace, std::span<const uint32_t> threads);

// Indices of the threads of process `pid`, or of every thread.
std::vector<uint32_t> threads_of(const Trace& trace, std::optional<uint32_t> pid);

// Depth-first walk of the tree under `root`, without recursion: enter(node,
// depth) before a node's children (return false to skip them), leave(node,
// depth) after them. The root has depth 0.
template <class Enter, class Leave>
void walk(const std::vector<Node>& nodes, uint32_t root, Enter&& enter, Leave&& leave) {
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

// The same over a trace's own tree.
template <class Enter, class Leave>
void walk(const Trace& trace, uint32_t root, Enter&& enter, Leave&& leave) {
  walk(trace.nodes, root, std::forward<Enter>(enter), std::forward<Leave>(leave));
}

}  // namespace morvex::reader
