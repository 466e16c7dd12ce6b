// The sys.monitoring hookup: claims the profiler tool slot and registers
// the callbacks (callbacks.h) for their events, and undoes both.
//
// Threads: enable/disable run on the thread that starts or stops a run,
// attached to the interpreter.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "py/pyref.h"

namespace morvex::py {

struct State;

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

// Events off, callbacks removed, tool id freed, in that order, each step
// taken even after one failed. False with the first failure's exception set.
bool disable(const MonitoringHandle& handle);

}  // namespace morvex::py
