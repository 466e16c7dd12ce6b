// `morvex report`: a trace's figures per function, as text for people or
// as JSON rows for programs.
//
// The text starts with what the reader must know before trusting the
// figures (events dropped while tracing, filters active while recording, a
// cut-off or corrupt file, slices still open at the end), then the trace's
// span, processes, threads, counters (samples, the range of those that are
// numbers, the last; NaN samples counted apart) and event count, then one
// table per scope: function (qualified name; "[span]" marks user spans),
// location (file:line, a long path cut to its last parts; empty where the
// trace knows no file), calls, resumes (only where a row has some), total,
// self, mean and max, and a legend for what the tables show.
//
// Figures (see model.h and stats.h): calls count the slices begun by a
// start; resumes the others (a generator or coroutine resumed, or an
// exception thrown into it), so a generator run to its end once, yielding
// 10 values, has 1 call and 10 resumes. A trace that does not tell them
// apart counts every slice as a call. Recursion is counted once in total;
// self is total minus the time of child slices (user spans included); mean
// is total per primitive call (a call not made inside a call of the same
// function, as in cProfile's cumulative per-call time), a generator's time
// over all its slices; max is the longest single slice. A recursive
// function's calls read "all/primitive", as in cProfile.
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
// ("function" or "span"), calls, primitive_calls, resumes, total_ns,
// self_ns, max_ns, and in per-thread mode pid, tid and thread. Same rows, same
// order as the text. Errors: as report_text.
core::Result<std::string> report_json(const Trace& trace, const ReportOptions& options);

}  // namespace morvex::reader
