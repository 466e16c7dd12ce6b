// The pipeline of one run: the serializer thread ("morvex-serializer")
// drains the event queue, decodes the events, keeps every thread's slices
// well nested (slices.h) and passes vectors of events to the exporter thread, which runs
// run_pipeline and hands each vector to the Exporter. Vectors travel over `filled` and come back
// over `recycled`, so in steady state nothing is allocated.
//
// Threads: run_pipeline runs on the exporter thread (started by the tracer)
// and is the sole consumer of `filled` and producer of `recycled`; the
// serializer is the opposite. Neither ever waits for a traced thread: the
// serializer polls the rings with a sleep of 20, 40, 80, 160, 200, 200 ...
// microseconds while idle, back to 20 after any work, and a traced thread
// whose ring is half full cuts that sleep short (EventQueue::idle_wait); the
// exporter thread sleeps until the serializer hands it a vector or ends. A
// run's events begin only once the serializer is draining.
//
// A spooled run (PipelineOptions::spool) has the serializer only append
// the batches to a spool while the program runs, and decode, shape and
// write them once the queue is closed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/evqueue.h"
#include "core/filters.h"
#include "core/ioerror.h"
#include "core/ring.h"
#include "core/sink.h"
#include "core/spool.h"

namespace morvex::core {

using EventVec = std::vector<Event>;
using VecRing = SpscRing<EventVec, 256>;

inline constexpr size_t kVecCapacity = 4096;  // 64 KiB of events

// Hands `v` to the exporter thread and returns the vector to fill next: a
// recycled one, or a new one. When `filled` is full, `v`'s events are counted
// in `lost` and `v` itself comes back, to be cleared and reused.
std::unique_ptr<EventVec> ship(VecRing::Producer& filled, VecRing::Consumer& recycled,
                               std::unique_ptr<EventVec> v, uint64_t& lost);

// What a run leaves out on purpose, and the counts the traced threads keep
// of it; with any filter set, the end of the trace states them.
struct PipelineOptions {
  FilterSettings filters;
  std::shared_ptr<const FilterCounters> counters;
  // Where the run's raw batches wait for its end (spool.h); none: the trace
  // is written as the events come. The serializer is its only user.
  std::shared_ptr<Spool> spool;
};

// Runs until the queue is closed and everything is written. Returns the
// first error, or the result of finish(serializer's lost + queue's dropped,
// and the filters' report). The exporter is destroyed (its file flushed and
// closed) before returning.
Status run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> code,
                    std::shared_ptr<const ThreadNames> threads, std::unique_ptr<Exporter> exporter,
                    PipelineOptions options = {});

}  // namespace morvex::core
