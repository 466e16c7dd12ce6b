#include "reader/chrome_json.h"

#include <charconv>
#include <cmath>

#include "format/json_text.h"
#include "format/records.h"
#include "reader/text.h"

namespace morvex::reader {

namespace {

using format::push_json_string;
using format::push_micros;
using format::push_u64;

// JSON has no infinity or NaN: an infinity is written as a number too large
// for a double, which every parser reads back as one; a NaN as null.
void push_value(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "null";
  } else if (std::isinf(v)) {
    out += v > 0 ? "1e999" : "-1e999";
  } else {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, end);
  }
}

void push_metadata(std::string& out, std::string_view name, uint32_t pid, uint32_t tid) {
  out += "{\"name\":";
  push_json_string(out, name);
  out += ",\"ph\":\"M\",\"pid\":";
  push_u64(out, pid);
  out += ",\"tid\":";
  push_u64(out, tid);
  out += ",\"args\":{";
}

}  // namespace

ChromeJsonWriter::ChromeJsonWriter(Sink& out) : out_(out) { out_.write("{\"traceEvents\":["); }

void ChromeJsonWriter::start_record() {
  record_.clear();
  record_ += first_ ? "\n" : ",\n";
  first_ = false;
}

void ChromeJsonWriter::function_added(uint32_t id, const Function& f) {
  if (functions_.size() <= id) functions_.resize(id + 1);
  FunctionText& t = functions_[id];
  t.span = f.span;
  t.head = "{\"name\":";
  push_json_string(t.head, f.name);
  t.head += ",\"cat\":";
  push_json_string(t.head, f.span ? format::kUserCategory : format::kFunctionCategory);
  t.head += ",\"ph\":\"";
  if (f.span) {
    t.begin = t.end = "}";
    return;
  }
  std::string args = ",\"args\":{\"file\":";
  push_json_string(args, f.file);
  args += ",\"line\":";
  push_u64(args, f.line);
  t.begin = args + ",\"kind\":\"";
  t.end = args + "}}";
}

void ChromeJsonWriter::thread_added(uint32_t id, uint32_t pid, uint32_t tid) {
  if (threads_.size() <= id) threads_.resize(id + 1);
  std::string& t = threads_[id];
  t = ",\"pid\":";
  push_u64(t, pid);
  t += ",\"tid\":";
  push_u64(t, tid);
}

void ChromeJsonWriter::counter_added(uint32_t id, const Counter& c) {
  if (counters_.size() <= id) {
    counters_.resize(id + 1);
    counter_pids_.resize(id + 1);
  }
  std::string& t = counters_[id];
  t = "{\"name\":";
  push_json_string(t, c.name);
  t += ",\"cat\":";
  push_json_string(t, format::kUserCategory);
  t += ",\"ph\":\"C\",\"ts\":";
  counter_pids_[id] = ",\"pid\":";
  push_u64(counter_pids_[id], c.pid);
}

void ChromeJsonWriter::open(uint32_t thread, uint32_t function, uint64_t ts, bool call) {
  const FunctionText& f = functions_[function];
  start_record();
  record_ += f.head;
  record_ += "B\",\"ts\":";
  push_micros(record_, ts);
  record_ += threads_[thread];
  record_ += f.begin;
  if (!f.span) record_ += call ? "start\"}}" : "resume\"}}";
  out_.write(record_);
}

void ChromeJsonWriter::close(uint32_t thread, uint32_t function, uint64_t ts) {
  // What the end of the trace closes stays open, as it was in the source.
  if (ended_) return;
  const FunctionText& f = functions_[function];
  start_record();
  record_ += f.head;
  record_ += "E\",\"ts\":";
  push_micros(record_, ts);
  record_ += threads_[thread];
  record_ += f.end;
  out_.write(record_);
}

void ChromeJsonWriter::unmatched_end(uint32_t thread, uint64_t ts) {
  start_record();
  record_ += "{\"ph\":\"E\",\"ts\":";
  push_micros(record_, ts);
  record_ += threads_[thread];
  record_ += "}";
  out_.write(record_);
}

void ChromeJsonWriter::instant(uint32_t thread, uint64_t ts, std::string_view name) {
  start_record();
  record_ += "{\"name\":";
  push_json_string(record_, is_valid_utf8(name) ? std::string(name) : sanitize_utf8(name));
  record_ += ",\"cat\":\"";
  record_ += format::kUserCategory;
  record_ += "\",\"ph\":\"i\",\"s\":\"t\",\"ts\":";
  push_micros(record_, ts);
  record_ += threads_[thread];
  record_ += "}";
  out_.write(record_);
}

void ChromeJsonWriter::sample(uint32_t counter, uint64_t ts, double value) {
  start_record();
  record_ += counters_[counter];
  push_micros(record_, ts);
  record_ += counter_pids_[counter];
  record_ += ",\"args\":{\"value\":";
  push_value(record_, value);
  record_ += "}}";
  out_.write(record_);
}

void ChromeJsonWriter::finish(const Trace& trace) {
  for (const Process& p : trace.processes) {
    if (p.name.empty()) continue;
    start_record();
    push_metadata(record_, "process_name", p.pid, 0);
    record_ += "\"name\":";
    push_json_string(record_, p.name);
    record_ += "}}";
    out_.write(record_);
  }
  for (const Thread& t : trace.threads) {
    if (t.name.empty()) continue;
    start_record();
    push_metadata(record_, "thread_name", t.pid, t.tid);
    record_ += "\"name\":";
    push_json_string(record_, t.name);
    record_ += "}}";
    out_.write(record_);
  }
  for (const Process& p : trace.processes) {
    if (!p.realtime_ns) continue;
    start_record();
    push_metadata(record_, format::kClockRecord, p.pid, 0);
    push_json_string(record_, format::kHostKey);
    record_ += ':';
    push_json_string(record_, p.host);
    record_ += ',';
    push_json_string(record_, format::kRealtimeKey);
    record_ += ':';
    push_u64(record_, *p.realtime_ns);
    record_ += "}}";
    out_.write(record_);
  }
  namespace fk = format::filter_key;
  for (const Process& p : trace.processes) {
    if (p.filters) {
      const FilterInfo& f = *p.filters;
      start_record();
      push_metadata(record_, format::kFiltersRecord, p.pid, 0);
      auto key = [&](std::string_view k) {
        push_json_string(record_, k);
        record_ += ':';
      };
      if (f.include) {
        key(fk::kInclude);
        push_json_string(record_, *f.include);
        record_ += ',';
      }
      if (f.exclude) {
        key(fk::kExclude);
        push_json_string(record_, *f.exclude);
        record_ += ',';
      }
      if (f.max_depth) {
        key(fk::kMaxDepth);
        push_u64(record_, *f.max_depth);
        record_ += ',';
      }
      if (f.min_duration_ns) {
        key(fk::kMinDurationNs);
        push_u64(record_, *f.min_duration_ns);
        record_ += ',';
      }
      key(fk::kFilteredFunctions);
      push_u64(record_, f.filtered_functions);
      record_ += ',';
      key(fk::kMaxDepthEvents);
      push_u64(record_, f.max_depth_events);
      record_ += ',';
      key(fk::kMinDurationEvents);
      push_u64(record_, f.min_duration_events);
      record_ += "}}";
      out_.write(record_);
    }
    if (p.dropped != 0) {
      start_record();
      push_metadata(record_, format::kDroppedRecord, p.pid, 0);
      push_json_string(record_, format::kDroppedCountKey);
      record_ += ':';
      push_u64(record_, p.dropped);
      record_ += "}}";
      out_.write(record_);
    }
  }
  out_.write("\n],\"displayTimeUnit\":\"ns\"}\n");
}

}  // namespace morvex::reader
