#include "reader/report.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "format/json_text.h"
#include "reader/labels.h"
#include "reader/reader.h"
#include "reader/stats.h"
#include "reader/text.h"

namespace morvex::reader {

namespace {

// Processes, threads and counters the header lists before "and N more".
constexpr size_t kListedProcesses = 6;
constexpr size_t kListedThreads = 10;
constexpr size_t kListedCounters = 10;
constexpr size_t kMinFunctionWidth = 30;

struct Table {
  const Thread* thread = nullptr;  // nullptr: every thread in scope
  std::vector<FunctionStats> rows;
  size_t all_rows = 0;  // rows before the cut to top N
};

uint64_t sort_value(const FunctionStats& r, SortKey key) {
  switch (key) {
    case SortKey::Total:
      return r.total_ns;
    case SortKey::Calls:
      return r.calls;
    case SortKey::Max:
      return r.max_ns;
    case SortKey::Self:
      break;
  }
  return r.self_ns;
}

const char* sort_name(SortKey key) {
  switch (key) {
    case SortKey::Total:
      return "total time";
    case SortKey::Calls:
      return "calls";
    case SortKey::Max:
      return "longest slice";
    case SortKey::Self:
      break;
  }
  return "self time";
}

Table make_table(const Trace& trace, std::span<const uint32_t> threads, const ReportOptions& o) {
  Table table;
  table.rows = function_stats(trace, threads);
  table.all_rows = table.rows.size();
  std::sort(table.rows.begin(), table.rows.end(), [&](const auto& a, const auto& b) {
    const uint64_t ka = sort_value(a, o.sort), kb = sort_value(b, o.sort);
    if (ka != kb) return ka > kb;
    if (a.total_ns != b.total_ns) return a.total_ns > b.total_ns;
    const Function& fa = trace.functions[a.function];
    const Function& fb = trace.functions[b.function];
    if (fa.name != fb.name) return fa.name < fb.name;
    return a.function < b.function;
  });
  if (o.top != 0 && table.rows.size() > o.top) table.rows.resize(o.top);
  return table;
}

core::Result<std::vector<Table>> make_tables(const Trace& trace, const ReportOptions& o) {
  if (o.pid && trace.process(*o.pid) == nullptr) {
    std::string pids;
    for (const Process& p : trace.processes)
      pids += (pids.empty() ? "" : ", ") + std::to_string(p.pid);
    return core::IoError::other(
        "pid " + std::to_string(*o.pid) + " is not in " + trace.path +
        (pids.empty() ? " (it has no processes)" : " (its pids: " + pids + ")"));
  }
  std::vector<Table> tables;
  const std::vector<uint32_t> scope = threads_of(trace, o.pid);
  if (!o.per_thread) {
    tables.push_back(make_table(trace, scope, o));
    return tables;
  }
  for (uint32_t t : scope) {
    uint32_t one[] = {t};
    tables.push_back(make_table(trace, one, o));
    tables.back().thread = &trace.threads[t];
  }
  return tables;
}

std::string plural(uint64_t n, const char* one, const char* many) {
  return format_count(n) + " " + (n == 1 ? one : many);
}

// "include "a,b", max depth 5 (3 functions left out by include/exclude, ...)"
std::string filter_words(const FilterInfo& f) {
  std::vector<std::string> options, counts;
  if (f.include) options.push_back("include \"" + *f.include + "\"");
  if (f.exclude) options.push_back("exclude \"" + *f.exclude + "\"");
  if (f.max_depth) options.push_back("max depth " + std::to_string(*f.max_depth));
  if (f.min_duration_ns) options.push_back("min duration " + format_duration(*f.min_duration_ns));
  if (f.include || f.exclude) {
    counts.push_back(plural(f.filtered_functions, "function", "functions") +
                     " left out by include/exclude");
  }
  if (f.max_depth) {
    counts.push_back(plural(f.max_depth_events, "event", "events") + " beyond max depth " +
                     std::to_string(*f.max_depth));
  }
  if (f.min_duration_ns) {
    counts.push_back(plural(f.min_duration_events, "slice", "slices") + " shorter than " +
                     format_duration(*f.min_duration_ns));
  }
  std::string text;
  for (const auto& o : options) text += (text.empty() ? "" : ", ") + o;
  if (text.empty()) text = "no options";
  if (!counts.empty()) {
    text += " (";
    for (size_t i = 0; i < counts.size(); ++i) text += (i ? ", " : "") + counts[i];
    text += ")";
  }
  return text;
}

std::vector<std::string> filter_notes(const Trace& trace, std::optional<uint32_t> pid) {
  std::vector<const Process*> with;
  for (const Process& p : trace.processes) {
    if (p.filters && (!pid || p.pid == *pid)) with.push_back(&p);
  }
  if (with.empty()) return {};
  bool same = true;
  for (const Process* p : with) same &= p->filters->same_options(*with[0]->filters);
  if (same) {
    FilterInfo sum = *with[0]->filters;
    for (size_t i = 1; i < with.size(); ++i) {
      sum.filtered_functions += with[i]->filters->filtered_functions;
      sum.max_depth_events += with[i]->filters->max_depth_events;
      sum.min_duration_events += with[i]->filters->min_duration_events;
    }
    return {"Filtered while recording: " + filter_words(sum) + "."};
  }
  std::vector<std::string> notes;
  for (const Process* p : with) {
    notes.push_back("Filtered while recording in pid " + std::to_string(p->pid) + ": " +
                    filter_words(*p->filters) + ".");
  }
  return notes;
}

// "file:line" in at most `width` columns: the whole location when it fits,
// else the longest tail of the path, at a '/', that fits after "…", else the
// end of the file name. The line number is always kept: with the file name
// it is what tells two functions of one name apart.
std::string fit_location(const Function& f, size_t width) {
  const std::string line = f.line != 0 ? ":" + std::to_string(f.line) : "";
  const std::string whole = f.file + line;
  if (display_width(whole) <= width) return whole;
  const size_t line_width = line.size();
  for (size_t at = f.file.find('/', 1); at != std::string::npos; at = f.file.find('/', at + 1)) {
    const std::string_view tail = std::string_view(f.file).substr(at);
    if (1 + display_width(tail) + line_width <= width) {
      return "\xE2\x80\xA6" + std::string(tail) + line;
    }
  }
  const size_t last = f.file.rfind('/');
  const std::string base = last == std::string::npos ? f.file : f.file.substr(last + 1);
  return keep_end(base, width > line_width ? width - line_width : 1) + line;
}

void pad_right(std::string& out, std::string_view s, size_t width) {
  out += s;
  for (size_t w = display_width(s); w < width; ++w) out.push_back(' ');
}

void pad_left(std::string& out, std::string_view s, size_t width) {
  for (size_t w = display_width(s); w < width; ++w) out.push_back(' ');
  out += s;
}

uint64_t resumes(const FunctionStats& r) { return r.slices - r.calls; }

// The table: the function's name, its location (for traces that know it),
// then the numbers, right-aligned. Resumes have a column only where a row
// has some, so a table without generators reads as before. When the width
// is short, names keep their end (the end of a qualified name is the
// function, the start only its module) and locations their file name.
void render_table(std::string& out, const Trace& trace, const Table& table, size_t width) {
  enum Column { kCalls, kResumes, kTotal, kSelf, kMean, kMax, kColumns };
  static constexpr const char* kHeads[kColumns] = {"calls", "resumes", "total",
                                                   "self",  "mean",    "max"};
  bool shown[kColumns] = {true, false, true, true, true, true};
  std::vector<std::array<std::string, kColumns>> cells;
  size_t names = std::string_view("function").size(), locations = 0;
  for (const FunctionStats& r : table.rows) {
    const Function& f = trace.functions[r.function];
    names = std::max(names, display_width(frame_label(f)));
    locations = std::max(locations, display_width(location(f)));
    shown[kResumes] |= resumes(r) != 0;
    std::string calls = format_count(r.calls);
    if (r.primitive_calls != r.calls) calls += "/" + format_count(r.primitive_calls);
    std::string mean =
        r.primitive_calls != 0 ? format_duration(r.total_ns / r.primitive_calls) : "-";
    cells.push_back({calls, format_count(resumes(r)), format_duration(r.total_ns),
                     format_duration(r.self_ns), mean, format_duration(r.max_ns)});
  }
  size_t widths[kColumns] = {};
  size_t fixed = 0;
  for (size_t c = 0; c < kColumns; ++c) {
    if (!shown[c]) continue;
    widths[c] = std::string_view(kHeads[c]).size();
    for (const auto& row : cells) widths[c] = std::max(widths[c], display_width(row[c]));
    fixed += 2 + widths[c];
  }
  const size_t area = std::max(width > fixed ? width - fixed : 0, kMinFunctionWidth);
  if (locations != 0) locations = std::max(locations, std::string_view("location").size());
  size_t name_width = names, loc_width = locations;
  if (names + (locations != 0 ? 2 + locations : 0) > area) {
    if (locations != 0) loc_width = std::min(locations, std::max<size_t>(area * 2 / 5, 20));
    name_width = area - (locations != 0 ? 2 + loc_width : 0);
  }

  pad_right(out, "function", name_width);
  if (locations != 0) {
    out += "  ";
    pad_right(out, "location", loc_width);
  }
  for (size_t c = 0; c < kColumns; ++c) {
    if (!shown[c]) continue;
    out += "  ";
    pad_left(out, kHeads[c], widths[c]);
  }
  out += "\n";
  for (size_t i = 0; i < table.rows.size(); ++i) {
    const Function& f = trace.functions[table.rows[i].function];
    pad_right(out, keep_end(frame_label(f), name_width), name_width);
    if (locations != 0) {
      out += "  ";
      pad_right(out, f.file.empty() ? std::string() : fit_location(f, loc_width), loc_width);
    }
    for (size_t c = 0; c < kColumns; ++c) {
      if (!shown[c]) continue;
      out += "  ";
      pad_left(out, cells[i][c], widths[c]);
    }
    out += "\n";
  }
}

// What the tables show, so the legend explains only that.
struct Shown {
  bool locations = false;
  bool resumes = false;
  bool recursion = false;
};

Shown shown_in(const Trace& trace, const std::vector<Table>& tables) {
  Shown s;
  for (const Table& t : tables) {
    for (const FunctionStats& r : t.rows) {
      s.locations |= !trace.functions[r.function].file.empty();
      s.resumes |= resumes(r) != 0;
      s.recursion |= r.primitive_calls != r.calls;
    }
  }
  return s;
}

void render_header(std::string& out, const Trace& trace, const ReportOptions& o) {
  const std::vector<std::string> notes = trace_notes(trace, o.pid);
  for (const auto& n : notes) out += n + "\n";
  if (!notes.empty()) out += "\n";

  out += "Trace      " + trace.path + " (" + std::string(format_name(trace.format)) + ")\n";
  out += "Span       ";
  if (trace.has_time) {
    out += format_duration(trace.last_ts - trace.first_ts) + ", from " +
           format_duration(trace.first_ts) + " to " + format_duration(trace.last_ts) +
           " on the trace's clock\n";
  } else {
    out += "no timed events\n";
  }
  out += "Events     " + format_count(trace.events);
  if (trace.instants != 0)
    out += " (" + plural(trace.instants, "instant event", "instant events") + ")";
  out += "\n";

  const std::vector<uint32_t> scope = threads_of(trace, o.pid);
  out += "Processes  ";
  size_t listed_processes = 0;
  for (const Process& p : trace.processes) {
    if (o.pid && p.pid != *o.pid) continue;
    if (listed_processes++ == kListedProcesses) {
      out += ", and " + std::to_string(trace.processes.size() - kListedProcesses) + " more";
      break;
    }
    size_t n = 0;
    for (const Thread& t : trace.threads) n += t.pid == p.pid;
    out += (listed_processes == 1 ? "" : ", ") + std::string("pid ") + std::to_string(p.pid) +
           (p.name.empty() ? "" : " " + p.name) + " (" + plural(n, "thread", "threads") + ")";
  }
  if (listed_processes == 0) out += "none";
  if (o.pid && trace.processes.size() > 1) {
    out += "; showing this process only, of " + std::to_string(trace.processes.size());
  }
  out += "\n";

  if (!scope.empty()) {
    std::vector<std::string> titles;
    size_t title_width = 0;
    for (uint32_t t : scope) {
      titles.push_back(thread_title(trace.threads[t]));
      title_width = std::max(title_width, display_width(titles.back()));
    }
    out += "Threads\n";
    for (size_t i = 0; i < scope.size() && i < kListedThreads; ++i) {
      out += "  ";
      pad_right(out, titles[i], title_width);
      out += "  " + format_duration(trace.threads[scope[i]].traced_ns) + " traced\n";
    }
    if (scope.size() > kListedThreads) {
      out += "  ... and " + plural(scope.size() - kListedThreads, "more thread", "more threads") +
             "\n";
    }
  }

  size_t listed = 0, counters = 0;
  for (const Counter& c : trace.counters) {
    if (o.pid && c.pid != *o.pid) continue;
    if (counters++ == 0) out += "Counters\n";
    if (listed++ >= kListedCounters) continue;
    out += "  " + c.name + " (pid " + std::to_string(c.pid) +
           "): " + plural(c.samples, "sample", "samples");
    if (c.samples != 0 && c.nan_samples == c.samples) {
      out += c.samples == 1 ? ", NaN" : ", all NaN";
    } else if (c.samples != 0) {
      if (c.nan_samples != 0) out += " (" + format_count(c.nan_samples) + " NaN)";
      out += ", " + format_number(c.min) + " to " + format_number(c.max) + ", last " +
             (std::isnan(c.last) ? std::string("NaN") : format_number(c.last));
    }
    out += "\n";
  }
  if (counters > kListedCounters) {
    out +=
        "  ... and " + plural(counters - kListedCounters, "more counter", "more counters") + "\n";
  }
}

void append_row_json(std::string& out, const Trace& trace, const FunctionStats& r,
                     const Thread* thread) {
  const Function& f = trace.functions[r.function];
  out += "{\"function\":";
  format::push_json_string(out, f.name);
  out += ",\"file\":";
  format::push_json_string(out, f.file);
  out += ",\"line\":" + std::to_string(f.line);
  out += f.span ? ",\"kind\":\"span\"" : ",\"kind\":\"function\"";
  out += ",\"calls\":" + std::to_string(r.calls);
  out += ",\"primitive_calls\":" + std::to_string(r.primitive_calls);
  out += ",\"resumes\":" + std::to_string(resumes(r));
  out += ",\"total_ns\":" + std::to_string(r.total_ns);
  out += ",\"self_ns\":" + std::to_string(r.self_ns);
  out += ",\"max_ns\":" + std::to_string(r.max_ns);
  if (thread != nullptr) {
    out += ",\"pid\":" + std::to_string(thread->pid) + ",\"tid\":" + std::to_string(thread->tid) +
           ",\"thread\":";
    format::push_json_string(out, thread_label(*thread));
  }
  out += "}";
}

}  // namespace

core::Result<SortKey> parse_sort_key(std::string_view name) {
  for (size_t i = 0; i < std::size(kSortKeyNames); ++i) {
    if (name == kSortKeyNames[i]) return static_cast<SortKey>(i);
  }
  return core::IoError::other("unknown sort key \"" + std::string(name) +
                              "\" (choose self, total, calls or max)");
}

std::vector<std::string> trace_notes(const Trace& trace, std::optional<uint32_t> pid) {
  std::vector<std::string> notes;
  uint64_t dropped = 0;
  for (const Process& p : trace.processes) {
    if (!pid || p.pid == *pid) dropped += p.dropped;
  }
  if (dropped != 0) {
    notes.push_back(dropped == 1
                        ? "1 event was dropped while tracing; figures are lower bounds."
                        : format_count(dropped) +
                              " events were dropped while tracing; figures are lower bounds.");
  }
  for (auto& n : filter_notes(trace, pid)) notes.push_back(std::move(n));
  const std::string where =
      format_count(trace.damage_offset) + " of " + format_count(trace.file_size);
  if (trace.damage == Damage::CutOff) {
    notes.push_back("The trace is cut off at byte " + where +
                    " (was the writing process killed?); figures cover what comes before.");
  } else if (trace.damage == Damage::Corrupt) {
    notes.push_back("The trace is corrupt from byte " + where +
                    " on; figures cover what comes before.");
  }
  if (trace.skipped_complete != 0) {
    notes.push_back(trace.skipped_complete == 1
                        ? "1 complete (\"X\") event had no valid duration and was skipped."
                        : format_count(trace.skipped_complete) +
                              " complete (\"X\") events had no valid duration and were "
                              "skipped.");
  }
  if (trace.open_at_end != 0) {
    notes.push_back(trace.open_at_end == 1
                        ? "1 slice was still open when the trace ended; it is counted up to the "
                          "trace's last event."
                        : format_count(trace.open_at_end) +
                              " slices were still open when the trace ended; they are counted "
                              "up to the trace's last event.");
  }
  return notes;
}

core::Result<std::string> report_text(const Trace& trace, const ReportOptions& options) {
  auto tables = make_tables(trace, options);
  if (!tables.ok()) return tables.error();
  std::string out;
  render_header(out, trace, options);
  for (const Table& table : tables.value()) {
    out += "\n";
    if (table.thread != nullptr) {
      out += thread_title(*table.thread) + ": " + format_duration(table.thread->traced_ns) +
             " traced\n";
    }
    if (table.rows.empty()) {
      out += "No function slices were recorded.\n";
      continue;
    }
    std::string scope = table.thread != nullptr ? ""
                        : options.pid           ? ", this process"
                                                : ", all threads";
    if (table.rows.size() < table.all_rows) {
      out += "Top " + format_count(table.rows.size()) + " of " +
             plural(table.all_rows, "function", "functions");
    } else {
      out += plural(table.all_rows, "function", "functions");
    }
    out += std::string(" by ") + sort_name(options.sort) + scope + ":\n";
    render_table(out, trace, table, options.width);
  }
  const Shown shown = shown_in(trace, tables.value());
  if (shown.locations || shown.resumes || shown.recursion) out += "\n";
  if (shown.locations) {
    out +=
        "Location: the file and first line of the function; a long path keeps its last parts.\n";
  }
  if (shown.resumes) {
    out +=
        "Resumes: slices begun by resuming a generator or coroutine (or by throwing into it);\n"
        "they are not calls, but their time counts in total, self, mean and max.\n";
  }
  if (shown.recursion) {
    out +=
        "Calls a/b: a calls in all, b of them not made inside a call of the same function;\n"
        "mean is total / b. Recursion counts once in total.\n";
  }
  return out;
}

core::Result<std::string> report_json(const Trace& trace, const ReportOptions& options) {
  auto tables = make_tables(trace, options);
  if (!tables.ok()) return tables.error();
  std::string out = "[";
  bool first = true;
  for (const Table& table : tables.value()) {
    for (const FunctionStats& r : table.rows) {
      out += first ? "\n  " : ",\n  ";
      first = false;
      append_row_json(out, trace, r, table.thread);
    }
  }
  out += first ? "]\n" : "\n]\n";
  return out;
}

}  // namespace morvex::reader
