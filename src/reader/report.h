// `morvex report`: a trace's figures per function, as text for people or
// as JSON rows for programs.
//
// The text starts with what the reader must know before trusting the
// figures (events dropped while tracing, filters active while recording, a
// cut-off or corrupt file, slices still open at the end), then the trace's
// span, processes, threads, counters (samples, the range of those that are
// numbers, the last; NaN samples counted apart) and event count, then one
// table per scope: function (qualified name and file:line; "[span]" marks user
// spans), calls, total, self, mean and max.
//
// Figures (see model.h and stats.h): calls count starts in JSON traces and
// every slice in Perfetto traces, which do not tell a generator's resume
// from a call; recursion is counted once in total; self is total minus the
// time of child slices (user spans included); mean is total per primitive
// call (a call not made inside a call of the same function, as in
// cProfile's cumulative per-call time); max is the longest single slice.
// A recursive function's calls read "all/primitive", as in cProfile.
//
// Threads: pure functions of the Trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ioerror.h"
#include "reader/model.h"

namespace morvex::reader {

enum class SortKey { Self, Total, Calls, Max };
// Their names, in SortKey's order (the order help lists them).
inline constexpr std::string_view kSortKeyNames[] = {"self", "total", "calls", "max"};

// "self", "total", "calls" or "max"; anything else is an error naming them.
core::Result<SortKey> parse_sort_key(std::string_view name);

struct ReportOptions {
  size_t top = 30;  // rows per table; 0 for all
  SortKey sort = SortKey::Self;
  bool per_thread = false;      // one table per thread instead of one for all
  std::optional<uint32_t> pid;  // only this process
  size_t width = 100;           // columns the text table aims to fit
};

// The sentences that qualify every figure of the trace (of one process, if
// pid is given), most important first; empty for a complete, unfiltered
// trace. `morvex convert` prints them too.
std::vector<std::string> trace_notes(const Trace& trace, std::optional<uint32_t> pid = {});

// Errors: a pid that is not in the trace.
core::Result<std::string> report_text(const Trace& trace, const ReportOptions& options);

// A JSON array with one object per row: function, file, line, kind
// ("function" or "span"), calls, primitive_calls, total_ns, self_ns,
// max_ns, and in per-thread mode pid, tid and thread. Same rows, same
// order as the text. Errors: as report_text.
core::Result<std::string> report_json(const Trace& trace, const ReportOptions& options);

}  // namespace morvex::reader
