// Builder: turns the slice events a format parser finds into the model.
//
// The parsers hand it begins and ends per thread in file order; it keeps
// each thread's open slices on a stack and adds every closed slice to the
// figures of its (thread, function), and, when asked, to the node of its
// stack and to its (caller, callee) pair. Memory grows with distinct
// functions, threads, counters (and stacks or pairs when asked for), and
// with stack depth, never with the number of events.
//
// It also repairs what a damaged or partial trace leaves behind:
//   - times that go backwards on a thread are raised to the thread's last
//     time, so durations are never negative and children stay inside
//     their parents;
//   - an end with no open slice (its begin came before the trace started)
//     is dropped;
//   - slices still open when the trace ends close at the trace's last time.
//
// A SliceObserver sees the repaired stream: every open and close of every
// thread in order, each thread's times non-decreasing, every open closed
// (those the end of the trace closes after ending()). A renderer that
// rewrites the whole trace also learns every function, thread and counter
// as it is added, and every event the stream holds besides slices.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/flatmap.h"
#include "reader/model.h"
#include "reader/strindex.h"

namespace morvex::reader {

class SliceObserver {
 public:
  virtual ~SliceObserver() = default;
  // `thread` is the builder's thread id (Thread::id in the model); `call`
  // whether the slice is a call (model.h).
  virtual void open(uint32_t thread, uint32_t function, uint64_t ts, bool call) = 0;
  virtual void close(uint32_t thread, uint32_t function, uint64_t ts) = 0;

  virtual void function_added(uint32_t /*id*/, const Function&) {}
  virtual void thread_added(uint32_t /*id*/, uint32_t /*pid*/, uint32_t /*tid*/) {}
  virtual void counter_added(uint32_t /*id*/, const Counter&) {}
  // An end with no open slice, which the model drops.
  virtual void unmatched_end(uint32_t /*thread*/, uint64_t /*ts*/) {}
  // `name` as the file holds it: raw bytes.
  virtual void instant(uint32_t /*thread*/, uint64_t /*ts*/, std::string_view /*name*/) {}
  virtual void sample(uint32_t /*counter*/, uint64_t /*ts*/, double /*value*/) {}
  // The trace has ended: the closes that follow are of slices left open.
  virtual void ending() {}
};

struct BuildOptions {
  bool tree = false;     // build Trace::nodes
  bool callers = false;  // collect Trace::callers
  SliceObserver* observer = nullptr;
};

class Builder {
 public:
  explicit Builder(BuildOptions options = {}) : options_(options) {}

  // Finds or adds a function; the strings are raw bytes from the file.
  uint32_t function(std::string_view name, std::string_view file, uint32_t line, bool span);
  // Finds or adds a process; returns its index.
  uint32_t process(uint32_t pid);
  void set_process_name(uint32_t pid, std::string_view name);
  void set_anchor(uint32_t pid, uint64_t realtime_ns, std::string_view host);
  // Finds or adds the thread (pid, tid); returns its id.
  uint32_t thread(uint32_t pid, uint32_t tid);
  void set_thread_name(uint32_t thread, std::string_view name);
  uint32_t thread_pid(uint32_t thread) const { return thread_info_[thread].pid; }

  // The figures of (thread, function): an id that stays valid for the
  // builder's life, for parsers that cache it.
  uint32_t slot(uint32_t thread, uint32_t function) {
    const uint64_t key = (uint64_t{thread} << 32) | function;
    if (key == last_slot_key_) return last_slot_;
    const uint32_t* found = slot_index_.find(key);
    last_slot_key_ = key;
    last_slot_ = found != nullptr ? *found : add_slot(thread, function, key);
    return last_slot_;
  }

  void begin(uint32_t thread, uint32_t function, uint64_t ts, bool call) {
    begin_slot(thread, slot(thread, function), ts, call);
  }

  // begin() with the slot of (thread, function) already known.
  void begin_slot(uint32_t thread, uint32_t slot_id, uint64_t ts, bool call) {
    ThreadState& t = threads_[thread];
    ts = stamp(t, ts);
    ++events_;
    Frame f{ts, 0, slot_id, kNone, kNone, false, false};
    Slot& s = slots_[f.slot];
    const uint32_t function = s.stats.function;
    s.stats.calls += call;
    if (s.active++ == 0) {
      f.outermost = true;
      s.stats.primitive_calls += call;
    }
    if (options_.tree) {
      const uint32_t parent = t.stack.empty() ? t.root : t.stack.back().node;
      f.node = child(parent, function);
      nodes_[f.node].calls += call;
    }
    if (options_.callers && !t.stack.empty()) enter_pair(t.stack.back().slot, f, call);
    t.stack.push_back(f);
    if (options_.observer != nullptr) options_.observer->open(thread, function, ts, call);
  }

  void end(uint32_t thread, uint64_t ts) {
    ThreadState& t = threads_[thread];
    ts = stamp(t, ts);
    ++events_;
    if (t.stack.empty()) {
      ++unmatched_ends_;
      if (options_.observer != nullptr) options_.observer->unmatched_end(thread, ts);
      return;
    }
    close_top(thread, t, ts);
  }

  // A complete ("X") event without a duration, which leaves no slice.
  void skip_complete() { ++skipped_complete_; }

  void instant(uint32_t thread, uint64_t ts, std::string_view name);
  uint32_t counter(uint32_t pid, std::string_view name);
  void sample(uint32_t counter, uint64_t ts, double value);
  void add_dropped(uint32_t pid, uint64_t count);
  void set_filters(uint32_t pid, const FilterInfo& filters);

  // Closes what is still open and hands over the model.
  Trace finish();

 private:
  struct Frame {
    uint64_t begin;
    uint64_t child_ns;  // time of closed child slices
    uint32_t slot;
    uint32_t node;        // kNone without a tree
    uint32_t pair;        // kNone for a top-level slice or without callers
    bool outermost;       // no slice of the function was open around it
    bool pair_outermost;  // no slice of the same pair was open around it
  };
  // The figures of one (thread, function).
  struct Slot {
    FunctionStats stats;
    uint32_t thread = 0;
    uint32_t active = 0;  // open slices
  };
  struct Pair {
    CallerStats stats;
    uint32_t active = 0;
  };
  struct ThreadState {
    uint32_t root = kNone;
    bool timed = false;
    uint64_t first_ts = 0;
    uint64_t last_ts = 0;
    uint64_t traced_ns = 0;
    uint64_t slices = 0;
    std::vector<Frame> stack;
  };

  uint64_t stamp(ThreadState& t, uint64_t ts) {
    if (!t.timed) {
      t.timed = true;
      t.first_ts = ts;
    } else if (ts < t.last_ts) {
      ts = t.last_ts;
    }
    t.last_ts = ts;
    note_time(ts);
    return ts;
  }

  void note_time(uint64_t ts) {
    if (!has_time_) {
      has_time_ = true;
      first_ts_ = last_ts_ = ts;
    } else if (ts < first_ts_) {
      first_ts_ = ts;
    } else if (ts > last_ts_) {
      last_ts_ = ts;
    }
  }

  uint32_t add_slot(uint32_t thread, uint32_t function, uint64_t key);

  uint32_t child(uint32_t parent, uint32_t function) {
    const uint64_t key = (uint64_t{parent} << 32) | function;
    if (const uint32_t* found = children_.find(key)) return *found;
    return add_child(parent, function, key);
  }
  uint32_t add_child(uint32_t parent, uint32_t function, uint64_t key);
  void enter_pair(uint32_t caller_slot, Frame& f, bool call);

  void close_top(uint32_t thread, ThreadState& t, uint64_t ts) {
    const Frame f = t.stack.back();
    t.stack.pop_back();
    const uint64_t d = ts - f.begin;
    const uint64_t self = d - f.child_ns;
    Slot& s = slots_[f.slot];
    ++s.stats.slices;
    s.stats.self_ns += self;
    if (d > s.stats.max_ns) s.stats.max_ns = d;
    if (f.outermost) s.stats.total_ns += d;
    --s.active;
    if (f.node != kNone) {
      Node& n = nodes_[f.node];
      ++n.slices;
      n.total_ns += d;
      n.self_ns += self;
      if (d > n.max_ns) n.max_ns = d;
    }
    if (f.pair != kNone) {
      Pair& p = pairs_[f.pair];
      p.stats.self_ns += self;
      if (f.pair_outermost) p.stats.total_ns += d;
      --p.active;
    }
    if (t.stack.empty()) {
      t.traced_ns += d;
    } else {
      t.stack.back().child_ns += d;
    }
    ++t.slices;
    if (options_.observer != nullptr) options_.observer->close(thread, s.stats.function, ts);
  }

  BuildOptions options_;
  std::vector<Function> functions_;
  StringIndex function_index_;
  std::string key_;  // scratch for index keys
  std::vector<Slot> slots_;
  core::FlatMap<uint64_t, uint32_t> slot_index_;
  uint64_t last_slot_key_ = UINT64_MAX;
  uint32_t last_slot_ = 0;
  std::vector<Node> nodes_;
  std::vector<uint32_t> last_child_;  // per node, while building
  core::FlatMap<uint64_t, uint32_t> children_;
  std::vector<Pair> pairs_;
  core::FlatMap<uint64_t, uint32_t> pair_index_;  // (caller slot, callee) -> pair
  std::vector<ThreadState> threads_;
  std::vector<Thread> thread_info_;
  core::FlatMap<uint64_t, uint32_t> thread_index_;
  std::vector<Process> processes_;
  core::FlatMap<uint32_t, uint32_t> process_index_;
  std::vector<Counter> counters_;
  StringIndex counter_index_;
  uint64_t events_ = 0;
  uint64_t instants_ = 0;
  uint64_t unmatched_ends_ = 0;
  uint64_t skipped_complete_ = 0;
  bool has_time_ = false;
  uint64_t first_ts_ = 0;
  uint64_t last_ts_ = 0;
};

}  // namespace morvex::reader
