// The id a thread's events carry in one run. Normally its kernel id; a
// thread that gets an id an earlier thread of the same run had (the kernel
// reuses them) carries that id plus g * 2^22, g = 1, 2, ..., so that readers
// see a thread of its own with its own name. Kernel ids stay below 2^22, the
// most pid_max can be; the top bit is left to the tracks of asyncio tasks
// (event.h), so generations stop at 2^9 - 1.
//
// Threads: claim() may be called from any thread; it locks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "core/flatmap.h"

namespace morvex::core {

class ThreadKeys {
 public:
  static constexpr uint32_t kIdBits = 22;
  static constexpr uint32_t kMaxGeneration = (1u << (31 - kIdBits)) - 1;

  explicit ThreadKeys(uint64_t seed = 0) : seen_(seed) {}

  // Once per thread and run, with the thread's kernel id.
  uint32_t claim(uint32_t os_tid) {
    std::lock_guard lock(mu_);
    auto [generation, first] = seen_.try_emplace(os_tid, 0u);
    // Past the last generation ids repeat rather than spill into others.
    if (!first) *generation = std::min(*generation + 1, kMaxGeneration);
    return os_tid | (*generation << kIdBits);
  }

 private:
  std::mutex mu_;
  FlatMap<uint32_t, uint32_t> seen_;  // kernel id -> generation of its last thread
};

}  // namespace morvex::core
