#include "reader/summary.h"

#include <vector>

#include "format/json_text.h"
#include "format/records.h"
#include "reader/labels.h"
#include "reader/reader.h"
#include "reader/report.h"
#include "reader/stats.h"
#include "reader/text.h"

namespace morvex::reader {

namespace {

// The slices marking where events went missing, over every thread.
uint64_t lost_gaps(const Trace& trace) {
  std::vector<uint32_t> all(trace.threads.size());
  for (uint32_t i = 0; i < all.size(); ++i) all[i] = i;
  uint64_t n = 0;
  for (const FunctionStats& r : function_stats(trace, all)) {
    if (trace.functions[r.function].name == format::kLostEventsName) n += r.slices;
  }
  return n;
}

// Every process's filters added up; `same` is false when their options differ.
struct Filters {
  FilterInfo sum;
  bool same = true;
};

std::optional<Filters> all_filters(const Trace& trace) {
  std::optional<Filters> out;
  for (const Process& p : trace.processes) {
    if (!p.filters) continue;
    if (!out) {
      out = Filters{*p.filters, true};
      continue;
    }
    out->same &= out->sum.same_options(*p.filters);
    out->sum.filtered_functions += p.filters->filtered_functions;
    out->sum.max_depth_events += p.filters->max_depth_events;
    out->sum.min_duration_events += p.filters->min_duration_events;
  }
  return out;
}

const char* format_key(Format f) { return f == Format::Json ? "json" : "protobuf"; }

std::string plural(uint64_t n, const char* one, const char* many) {
  return format_count(n) + " " + (n == 1 ? one : many);
}

// ---- JSON -------------------------------------------------------------------

// One JSON object written in order, its keys' commas kept track of.
class Object {
 public:
  explicit Object(std::string& out) : out_(out) { out_ += "{"; }
  ~Object() { out_ += "}"; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // Starts the member `name`; its value is written next, into the string returned.
  std::string& key(const char* name) {
    out_ += first_ ? "\"" : ",\"";
    first_ = false;
    out_ += name;
    out_ += "\":";
    return out_;
  }
  void number(const char* name, std::optional<uint64_t> v) {
    if (v) {
      format::push_u64(key(name), *v);
    } else {
      key(name) += "null";
    }
  }
  void text(const char* name, const std::optional<std::string>& v) {
    if (v) {
      format::push_json_string(key(name), *v);
    } else {
      key(name) += "null";
    }
  }
  void boolean(const char* name, bool v) { key(name) += v ? "true" : "false"; }

 private:
  std::string& out_;
  bool first_ = true;
};

// `same`: given for the trace-wide sum, whose options mean nothing when the
// processes' differ.
void filters_json(std::string& out, const FilterInfo* f, std::optional<bool> same = {}) {
  if (f == nullptr) {
    out += "null";
    return;
  }
  const bool options = same.value_or(true);
  Object o(out);
  o.text("include", options ? f->include : std::nullopt);
  o.text("exclude", options ? f->exclude : std::nullopt);
  o.number("max_depth", options ? f->max_depth : std::nullopt);
  o.number("min_duration_ns", options ? f->min_duration_ns : std::nullopt);
  o.number("filtered_functions", f->filtered_functions);
  o.number("max_depth_events", f->max_depth_events);
  o.number("min_duration_events", f->min_duration_events);
  if (same) o.boolean("same_options", *same);
}

}  // namespace

std::string summary_json(const Trace& trace) {
  std::string out;
  {
    Object o(out);
    o.text("file", trace.path);
    o.text("format", format_key(trace.format));
    o.number("file_size", trace.file_size);
    o.number("events", trace.events);
    o.number("instants", trace.instants);
    o.number("first_ts", trace.has_time ? std::optional(trace.first_ts) : std::nullopt);
    o.number("last_ts", trace.has_time ? std::optional(trace.last_ts) : std::nullopt);
    o.number("dropped", trace.dropped());
    o.number("lost_gaps", lost_gaps(trace));
    std::optional<Filters> filters = all_filters(trace);
    filters_json(o.key("filters"), filters ? &filters->sum : nullptr,
                 filters ? std::optional(filters->same) : std::nullopt);
    o.key("processes") += "[";
    for (size_t i = 0; i < trace.processes.size(); ++i) {
      const Process& p = trace.processes[i];
      if (i) out += ",";
      Object po(out);
      po.number("pid", p.pid);
      po.text("name", p.name);
      po.number("dropped", p.dropped);
      filters_json(po.key("filters"), p.filters ? &*p.filters : nullptr);
    }
    out += "]";
    o.key("threads") += "[";
    for (size_t i = 0; i < trace.threads.size(); ++i) {
      const Thread& t = trace.threads[i];
      if (i) out += ",";
      Object to(out);
      to.number("pid", t.pid);
      to.number("tid", t.tid);
      to.text("name", t.name);
      to.number("slices", t.slices);
      to.number("traced_ns", t.traced_ns);
      to.number("first_ts", t.first_ts);
      to.number("last_ts", t.last_ts);
    }
    out += "]";
    o.number("open_at_end", trace.open_at_end);
    o.number("unmatched_ends", trace.unmatched_ends);
    if (trace.damage == Damage::None) {
      o.key("damage") += "null";
    } else {
      Object d(o.key("damage"));
      d.text("kind", trace.damage == Damage::CutOff ? "cut_off" : "corrupt");
      d.number("offset", trace.damage_offset);
    }
    o.key("notes") += "[";
    const std::vector<std::string> notes = trace_notes(trace);
    for (size_t i = 0; i < notes.size(); ++i) {
      if (i) out += ",";
      format::push_json_string(out, notes[i]);
    }
    out += "]";
  }
  out += "\n";
  return out;
}

std::string summary_text(const Trace& trace) {
  std::string out;
  const std::vector<std::string> notes = trace_notes(trace);
  for (const auto& n : notes) out += n + "\n";
  if (!notes.empty()) out += "\n";

  out += "Trace      " + trace.path + " (" + std::string(format_name(trace.format)) + ", " +
         format_bytes(trace.file_size) + ")\n";
  out += "Events     " + format_count(trace.events);
  if (trace.instants != 0)
    out += " (" + plural(trace.instants, "instant event", "instant events") + ")";
  out += "\n";
  out += "Dropped    ";
  if (const uint64_t dropped = trace.dropped(); dropped != 0) {
    out += plural(dropped, "event", "events");
    if (const uint64_t gaps = lost_gaps(trace); gaps != 0)
      out += ", in " + plural(gaps, "gap", "gaps") + " marked \"" +
             std::string(format::kLostEventsName) + "\"";
    out += "\n";
  } else {
    out += "none\n";
  }
  // Filters in force were the notes' to tell.
  if (!all_filters(trace)) out += "Filters    none\n";
  out += "Processes  " + std::to_string(trace.processes.size()) + "\n";
  for (const Process& p : trace.processes) {
    size_t threads = 0;
    for (const Thread& t : trace.threads) threads += t.pid == p.pid;
    out += "  pid " + std::to_string(p.pid) + (p.name.empty() ? "" : " " + p.name) + ": " +
           plural(threads, "thread", "threads");
    if (p.dropped != 0) out += ", " + plural(p.dropped, "event", "events") + " dropped";
    out += "\n";
  }
  out += "Threads    " + std::to_string(trace.threads.size()) + "\n";
  for (const Thread& t : trace.threads) {
    out += "  " + thread_title(t) + ": " + plural(t.slices, "slice", "slices") + ", " +
           format_duration(t.traced_ns) + " traced\n";
  }
  return out;
}

}  // namespace morvex::reader
