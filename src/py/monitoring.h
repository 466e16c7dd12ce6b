// The sys.monitoring hookup: claims the profiler tool slot and registers
// the callbacks (callbacks.h) for their events, and undoes both.
//
// Threads: enable/disable run on the thread that starts or stops a run,
// attached to the interpreter.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/evqueue.h"
#include "core/sink.h"
#include "py/intern.h"
#include "py/pyref.h"
#include "py/threads.h"

namespace morvex::py {

// One run's shared state: the callbacks, the tracer and the exporter thread
// hold it.
struct State final : core::CodeLookup, core::ThreadNames {
  static constexpr uint32_t kNoMaxDepth = UINT32_MAX;

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

  std::optional<core::CodeInfo> code(uint32_t id) const override { return interner.code(id); }
  std::optional<std::string> name(uint32_t tid) const override { return threads.name(tid); }
  std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
    return threads.snapshot();
  }
};

// What a registered run holds on to. Destroying it only drops references;
// it neither switches events off nor frees the tool id.
struct MonitoringHandle {
  std::vector<PyRef> methods;  // the bound callbacks, in table order
  std::vector<int32_t> bits;   // the event each of them is registered for
  PyRef callbacks;
  uint8_t tool_id = 0;
};

// The profiler tool id, claimed for "morvex". Raises the interpreter's own
// error (ValueError) when another tool holds it.
std::optional<uint8_t> claim_tool_id();

// Frees a claimed tool id on a failure path, keeping the pending exception.
void release_tool_id(uint8_t tool_id);

// Registers the callbacks on a tool id claimed by claim_tool_id and switches
// their events on. On failure everything it did is undone, the claim
// included, and the exception is left set.
std::optional<MonitoringHandle> enable_claimed(std::shared_ptr<State> state, uint8_t tool_id);

// claim_tool_id, then enable_claimed.
std::optional<MonitoringHandle> enable(std::shared_ptr<State> state);

// Events off, callbacks removed, tool id freed, in that order. False with
// the exception set on the first failing step.
bool disable(const MonitoringHandle& handle);

}  // namespace morvex::py
