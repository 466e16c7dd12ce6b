#include "reader/stats.h"

#include <algorithm>

namespace morvex::reader {

std::vector<FunctionStats> function_stats(const Trace& trace, std::span<const uint32_t> threads) {
  std::vector<FunctionStats> rows(trace.functions.size());
  std::vector<uint32_t> active(trace.functions.size(), 0);  // open slices per function
  for (uint32_t t : threads) {
    walk(
        trace, trace.threads[t].root,
        [&](uint32_t index, size_t) {
          const Node& n = trace.nodes[index];
          if (n.function == kNone) return true;
          FunctionStats& row = rows[n.function];
          row.calls += n.calls;
          row.slices += n.slices;
          row.self_ns += n.self_ns;
          row.max_ns = std::max(row.max_ns, n.max_ns);
          if (active[n.function]++ == 0) {
            row.total_ns += n.total_ns;
            row.primitive_calls += n.calls;
          }
          return true;
        },
        [&](uint32_t index, size_t) {
          const Node& n = trace.nodes[index];
          if (n.function != kNone) --active[n.function];
        });
  }
  std::vector<FunctionStats> out;
  for (uint32_t f = 0; f < rows.size(); ++f) {
    if (rows[f].slices == 0) continue;
    rows[f].function = f;
    out.push_back(rows[f]);
  }
  return out;
}

std::vector<uint32_t> threads_of(const Trace& trace, std::optional<uint32_t> pid) {
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < trace.threads.size(); ++i) {
    if (!pid || trace.threads[i].pid == *pid) out.push_back(i);
  }
  return out;
}

}  // namespace morvex::reader
