// One run's shared state: what the callbacks, the tracer and the exporter
// thread all hold on to for as long as the run may still be used.
//
// Threads: built and torn down by the thread that starts and stops the run;
// read by traced threads in the callbacks and by the exporter thread (code
// and thread names). The max_depth counts are written by their own thread
// each and summed by the stopping thread once monitoring is off, both under
// the interpreter lock, which is what makes the plain increments visible.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/evqueue.h"
#include "core/filters.h"
#include "core/sink.h"
#include "py/intern.h"
#include "py/pyref.h"
#include "py/tasks.h"
#include "py/threads.h"

namespace morvex::py {

struct State final : core::CodeLookup, core::ThreadNames {
  static constexpr uint32_t kNoMaxDepth = UINT32_MAX;

  // One thread's count of the events max_depth cut, on a line of its own: a
  // shared counter would bounce between the cores of deep threads.
  struct alignas(64) DepthCut {
    std::atomic<uint64_t> events{0};
  };

  // `filter` null: every code object is recorded.
  State(std::shared_ptr<core::EventQueue> q, std::unique_ptr<const core::CodeFilter> filter,
        std::optional<uint32_t> max_depth, PyRef disable)
      : queue(std::move(q)),
        queue_id(queue->id()),
        filter(std::move(filter)),
        max_depth(max_depth.value_or(kNoMaxDepth)),
        disable(std::move(disable)),
        counters(std::make_shared<core::FilterCounters>()),
        interner(this->filter.get(), counters.get()) {}

  std::shared_ptr<core::EventQueue> queue;
  const uint64_t queue_id;
  const std::unique_ptr<const core::CodeFilter> filter;
  const uint32_t max_depth;
  // sys.monitoring.DISABLE, which the callbacks return for code left out.
  const PyRef disable;
  // Set once a callback returned DISABLE: the locations it switched off stay
  // off for later runs until sys.monitoring.restart_events().
  std::atomic<bool> disabled_locations{false};
  const std::shared_ptr<core::FilterCounters> counters;
  Interner interner;
  ThreadRegistry threads;
  // Set before the callbacks are registered: whether C calls are recorded.
  bool c_calls = false;
  // Set before the callbacks are registered: each asyncio task's steps go on
  // a track of its own.
  bool async_tasks = false;
  TaskTracks tasks;

  // A count of its own for the calling thread, kept (and counted) until the
  // state goes, even after the thread has exited.
  DepthCut* new_depth_cut() {
    std::lock_guard lock(depth_cut_mu_);
    return &depth_cuts_.emplace_back();
  }
  // Every thread's count added to `counters`, once the callbacks are off.
  void sum_depth_cuts() {
    std::lock_guard lock(depth_cut_mu_);
    uint64_t total = 0;
    for (const DepthCut& c : depth_cuts_) total += c.events.load(std::memory_order_relaxed);
    counters->depth_events.fetch_add(total, std::memory_order_relaxed);
  }

  std::optional<core::CodeInfo> code(uint32_t id) const override { return interner.code(id); }
  std::optional<std::string> name(uint32_t tid) const override { return threads.name(tid); }
  std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
    return threads.snapshot();
  }
  std::optional<uint32_t> parent(uint32_t tid) const override { return threads.parent(tid); }

 private:
  std::mutex depth_cut_mu_;
  std::deque<DepthCut> depth_cuts_;  // never moved: each thread keeps a pointer to its own
};

}  // namespace morvex::py
