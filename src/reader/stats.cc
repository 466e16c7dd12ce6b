#include "reader/stats.h"

#include <algorithm>

namespace morvex::reader {

std::vector<FunctionStats> function_stats(const Trace& trace, std::span<const uint32_t> threads) {
  std::vector<FunctionStats> rows(trace.functions.size());
  for (uint32_t t : threads) {
    for (const FunctionStats& s : trace.threads[t].functions) {
      FunctionStats& row = rows[s.function];
      row.calls += s.calls;
      row.primitive_calls += s.primitive_calls;
      row.slices += s.slices;
      row.total_ns += s.total_ns;
      row.self_ns += s.self_ns;
      row.max_ns = std::max(row.max_ns, s.max_ns);
    }
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
