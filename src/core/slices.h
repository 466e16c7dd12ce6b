// The nesting of every thread's slices, kept where events are decoded.
//
// Whatever the interpreter reports, what reaches the writers is well nested
// per thread: an end that matches no open slice (a return from a frame that
// began before the trace, or one CPython reports without its start) is left
// out, and an end that matches a slice further down first closes the ones
// above it. A function's end closes the frames above it for good (their
// ends were missed); a span ends only with its own end (matched by name), so
// the slices above an ending slice that are still running - the spans above
// a function's end, everything above a span's end - are closed and begin
// again right after it, at the same time: a span that a generator opens and
// yields out of runs on, in pieces, around what runs meanwhile. With a minimum duration, a slice
// shorter than it is left out with everything inside it; a begin is held back until its slice has
// lasted that long or something inside it must be written (a longer slice,
// a marker, a sample), so memory stays bounded by the stack depth and every
// thread's output stays in time order.
//
// Where a thread lost events (a Lost record, loss.h), the frames that ended
// in the gap end at its start and those that began in it begin at its end;
// the gap becomes a slice of its own, named kLostEventsName, with the count.
//
// Between a thread's TaskStep and TaskStepEnd records (event.h) its events
// belong to the task's track, with a nesting of its own: the markers are
// consumed here, and what lies between them leaves with the track's id. A
// gap whose nesting is unknown (as one holding a step's edge is) inside a
// step ends what is open on the task's track and hands the thread back its
// own events.
//
// Threads: used by the serializer thread alone.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/flatmap.h"

namespace morvex::core {

class SliceShaper {
 public:
  // min_duration_ns 0: nothing is left out for being short.
  explicit SliceShaper(uint64_t min_duration_ns = 0);

  // Appends to `out` what of `in` is to be written.
  void process(std::span<const Event> in, std::vector<Event>& out);

  // At the end of the run: writes the held-back begins of slices still open
  // that have lasted the minimum duration by the last time seen.
  void finish(std::vector<Event>& out);

  // Ends every slice still open, on each thread at the last time seen on
  // it: what comes after is not going to be written.
  void end_everything(std::vector<Event>& out);

  // Events left out for belonging to slices shorter than the minimum.
  uint64_t short_events() const { return short_events_; }
  // Gaps where a thread's events were lost (Lost records seen).
  uint64_t gaps() const { return gaps_; }

 private:
  // An open slice: a function's frame (its code id) or a span. Kept small
  // and trivially copyable: every function event pushes or pops one.
  struct Open {
    uint32_t key;  // code id, or kSpan
    bool written;
    Event begin;  // a function's begin, while it is held back
  };
  // What a span needs besides: its begin with the payload (its end, and its
  // next piece, are made from it) and its name. One per span on the stack,
  // in stack order.
  struct SpanData {
    std::vector<Event> begin;
    std::string name;
  };
  struct Thread {
    std::vector<Open> stack;
    std::vector<SpanData> spans;
    // Frames past kMaxDepth are not kept, only counted: a stream of begins
    // without ends (a pathological one) must not grow memory without bound.
    uint32_t untracked = 0;
    uint64_t last_ts = 0;  // of the thread's latest event (the run's: the latest of these)
    uint32_t id = 0;       // its tid, or its task track's
    uint32_t route = 0;    // the task track its events go to now; 0: its own
  };
  static constexpr uint32_t kSpan = UINT32_MAX;
  static constexpr size_t kMaxDepth = 1 << 16;

  Thread& thread(uint32_t tid);
  void write_held(Thread& t, std::vector<Event>& out);
  void begin_function(Thread& t, const Event& ev, std::vector<Event>& out);
  void begin_span(Thread& t, SpanData span, std::vector<Event>& out);
  void end_at(Thread& t, size_t depth, const Event& end, std::span<const Event> unit,
              std::vector<Event>& out);
  void end_top(Thread& t, const Event& end, std::span<const Event> unit, std::vector<Event>& out);
  void function_event(Thread& t, const Event& ev, std::vector<Event>& out);
  void unit_event(Thread& t, std::span<const Event> unit, std::vector<Event>& out);
  void routed(Thread& t, std::span<const Event> in, size_t& i, std::vector<Event>& out);
  void end_top_at(Thread& t, uint64_t ts, uint32_t tid, std::vector<Event>& out);
  void close_all(Thread& t, uint64_t ts, uint32_t tid, std::vector<Event>& out);
  void lost(Thread& t, std::span<const Event> unit, std::vector<Event>& out);

  const uint64_t min_ns_;
  FlatMap<uint32_t, std::unique_ptr<Thread>> threads_;
  uint64_t short_events_ = 0;
  uint64_t gaps_ = 0;
  std::vector<Event> route_buf_;
  bool last_loss_unknown_ = false;  // of the latest gap
};

}  // namespace morvex::core
