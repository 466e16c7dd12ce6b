// `morvex convert` to Chrome trace-event JSON, for tools that take that and
// not Perfetto's protobuf: a strict document, {"traceEvents": [...],
// "displayTimeUnit": "ns"}, that any JSON parser loads (the JSON writer's
// own files are an open array, for appending).
//
// Events are written as the read finds them, so the output is made in one
// pass with memory that does not grow with it: a function's slices as "B"
// and "E" records in category "py" with "file" and "line" in args as the
// JSON writer puts them (and on a begin "kind": "start" for a call,
// "resume" for any other slice), user spans in category "user", counter
// samples as "C", instants as "i" records on their thread, with their name
// (not their args). Slices still open when the trace ends stay open,
// as in the source. Then come the names of processes and threads as
// metadata records, and morvex's own: wall-clock anchors, filters and
// dropped events. Times are
// microseconds with three decimals, exact to the nanosecond. Every string
// is the model's, valid UTF-8, so the text is valid whatever bytes the
// trace held. Read back, it gives the same figures as the source.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/ioerror.h"
#include "reader/builder.h"
#include "reader/model.h"
#include "reader/sink.h"

namespace morvex::reader {

class ChromeJsonWriter final : public SliceObserver {
 public:
  // Writes the document's head into `out` at once.
  explicit ChromeJsonWriter(Sink& out);

  void function_added(uint32_t id, const Function& f) override;
  void thread_added(uint32_t id, uint32_t pid, uint32_t tid) override;
  void counter_added(uint32_t id, const Counter& c) override;
  void open(uint32_t thread, uint32_t function, uint64_t ts, bool call) override;
  void close(uint32_t thread, uint32_t function, uint64_t ts) override;
  void unmatched_end(uint32_t thread, uint64_t ts) override;
  void instant(uint32_t thread, uint64_t ts, std::string_view name) override;
  void sample(uint32_t counter, uint64_t ts, double value) override;
  void ending() override { ended_ = true; }
  // Another trace's stream follows (a merge): its slices are not ones the
  // last trace's end left open.
  void next_input() { ended_ = false; }

  // The metadata and the document's end, once `trace` (read with this
  // observer) is complete.
  void finish(const Trace& trace);

 private:
  struct FunctionText {
    std::string head;   // {"name":...,"cat":...,"ph":"
    std::string begin;  // from ","args" (or the closing) to the kind
    std::string end;    // from ","args" to the record's end
    bool span = false;
  };

  void start_record();

  Sink& out_;
  std::string record_;
  bool first_ = true;
  bool ended_ = false;
  std::vector<FunctionText> functions_;
  std::vector<std::string> threads_;   // ,"pid":P,"tid":T by the builder's thread id
  std::vector<std::string> counters_;  // the record up to "ts"; then the pid
  std::vector<std::string> counter_pids_;
};

}  // namespace morvex::reader
