// The model of a trace file that every renderer reads: per process and
// thread, the call tree of slices, plus what the trace says about itself
// (dropped events, filters, counters, instants, its time span, damage).
//
// Slices and calls. A slice is one stretch of a frame on a thread, from a
// begin to an end: a function call, a generator's run between resume and
// yield, or a user span. A call is a slice begun by a start. Traces say
// which begins are starts and which are generator resumes or exceptions
// thrown into a generator (JSON by the begin's "kind", Perfetto by the
// resume category); those count as slices but not as calls. Perfetto
// traces written before they said so count every slice as a call.
//
// Recursion is counted once: a slice that runs while a slice of the same
// function is open on the same thread adds to calls, self time and max, but
// not again to total time or to primitive calls. So a function's total is
// the time during which it was on the stack, and the self times of all
// functions of a thread add up to the thread's traced time.
//
// Per thread and function figures are always collected; the call tree
// (for stack-shaped outputs) and the caller/callee pairs (for pstats) only
// when the reader is asked for them, as they grow with the number of
// distinct stacks and pairs. Node times are raw sums over the node's
// slices, recursion not collapsed.
//
// Threads: a Trace is built by one reader and is immutable afterwards; any
// number of threads may render from it at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvex::reader {

inline constexpr uint32_t kNone = UINT32_MAX;

enum class Format : uint8_t { Perfetto, Json };

// A frame's identity. Every string in the model is valid UTF-8: invalid
// bytes in the file are replaced by U+FFFD when the model is built.
struct Function {
  std::string name;   // qualified name, or the span's name
  std::string file;   // "" where the trace does not say
  uint32_t line = 0;  // first line of the function; 0 where unknown
  bool span = false;  // a user span rather than a Python function
};

// One distinct stack of a thread: the slices of `function` entered through
// the path from the thread's root to here.
struct Node {
  uint32_t function = kNone;  // kNone for a thread's root
  uint32_t parent = kNone;
  uint32_t first_child = kNone;  // children in order of first appearance
  uint32_t next_sibling = kNone;
  uint64_t calls = 0;     // slices begun by a start (see above)
  uint64_t slices = 0;    // every slice, generator resumes included
  uint64_t total_ns = 0;  // sum of slice durations
  uint64_t self_ns = 0;   // the same minus time in child slices
  uint64_t max_ns = 0;    // longest single slice
};

struct FunctionStats {
  uint32_t function = kNone;
  uint64_t calls = 0;            // see above: slices begun by a start
  uint64_t primitive_calls = 0;  // calls not made inside a call of the same function
  uint64_t slices = 0;
  uint64_t total_ns = 0;  // recursion counted once
  uint64_t self_ns = 0;
  uint64_t max_ns = 0;  // the longest single slice
};

// Slices of `callee` begun while `caller` was the innermost open slice, as
// pstats records its callers; recursion is counted once per pair.
struct CallerStats {
  uint32_t caller = kNone;
  uint32_t callee = kNone;
  uint64_t calls = 0;
  uint64_t primitive_calls = 0;  // while no slice of the same pair was open
  uint64_t total_ns = 0;
  uint64_t self_ns = 0;
};

struct Thread {
  uint32_t pid = 0;
  uint32_t tid = 0;
  std::string name;                      // "" when the trace names no thread
  uint32_t root = kNone;                 // in Trace::nodes, when the tree was built
  uint32_t id = 0;                       // order of first sight while reading
  std::vector<FunctionStats> functions;  // one row per function with a slice here
  uint64_t traced_ns = 0;                // sum of the durations of top-level slices
  uint64_t first_ts = 0;                 // first and last event time on the thread
  uint64_t last_ts = 0;
  uint64_t slices = 0;
};

// What the recording left out, from the filters record of a process.
struct FilterInfo {
  std::optional<std::string> include;  // comma-joined patterns
  std::optional<std::string> exclude;
  std::optional<uint64_t> max_depth;
  std::optional<uint64_t> min_duration_ns;
  uint64_t filtered_functions = 0;   // code objects left out by include/exclude
  uint64_t max_depth_events = 0;     // events beyond max_depth
  uint64_t min_duration_events = 0;  // slices shorter than min_duration_ns

  bool same_options(const FilterInfo& o) const {
    return include == o.include && exclude == o.exclude && max_depth == o.max_depth &&
           min_duration_ns == o.min_duration_ns;
  }
};

struct Process {
  uint32_t pid = 0;
  std::string name;
  // Its wall-clock anchor: CLOCK_REALTIME ns at trace time 0, and the host
  // (format::WallAnchor); nothing in traces written without one.
  std::optional<uint64_t> realtime_ns;
  std::string host;
  uint64_t dropped = 0;
  std::optional<FilterInfo> filters;
};

struct Counter {
  uint32_t pid = 0;
  std::string name;
  uint64_t samples = 0;
  uint64_t nan_samples = 0;  // of `samples`; they count in no range
  double min = 0;            // over the samples that are numbers
  double max = 0;
  double last = 0;  // NaN included
};

enum class Damage : uint8_t {
  None,
  CutOff,   // the file ends inside a record
  Corrupt,  // bytes that are not a record, before the end of the file
};

struct Trace {
  std::string path;
  Format format = Format::Perfetto;
  std::vector<Function> functions;
  bool has_tree = false;             // whether nodes and Thread::root were built
  std::vector<Node> nodes;           // every thread's tree
  bool has_callers = false;          // whether callers was collected
  std::vector<CallerStats> callers;  // over all threads, one per pair
  std::vector<Thread> threads;       // grouped by process, in order of first sight
  std::vector<Process> processes;    // in order of first sight
  std::vector<Counter> counters;     // in order of first sight
  uint64_t events = 0;               // slice begins and ends, instants, counter samples
  uint64_t instants = 0;
  bool has_time = false;  // whether any event carried a time
  uint64_t first_ts = 0;  // the trace's span, in ns on the trace's clock
  uint64_t last_ts = 0;
  uint64_t open_at_end = 0;     // slices closed at last_ts because the trace ended
  uint64_t unmatched_ends = 0;  // ends with no open slice, ignored
  // JSON complete ("X") events whose duration is missing, negative or no
  // number: they hold no slice, and are skipped.
  uint64_t skipped_complete = 0;
  Damage damage = Damage::None;
  uint64_t damage_offset = 0;  // where the unreadable part starts
  uint64_t file_size = 0;

  uint64_t dropped() const {
    uint64_t n = 0;
    for (const Process& p : processes) n += p.dropped;
    return n;
  }
  const Process* process(uint32_t pid) const {
    for (const Process& p : processes) {
      if (p.pid == pid) return &p;
    }
    return nullptr;
  }
};

}  // namespace morvex::reader
