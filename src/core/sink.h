// What the pipeline needs from the rest of the system: an Exporter that
// writes events, and read access to code descriptions and thread names.
//
// Threads: an Exporter is used by the exporter thread alone. CodeLookup and
// ThreadNames are called from the exporter thread while traced threads add
// to them, so implementations lock internally and hand out copies.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/filters.h"
#include "core/ioerror.h"

namespace morvex::core {

struct CodeInfo {
  std::string qualname;
  std::string filename;
  uint32_t first_line = 0;
};

class CodeLookup {
 public:
  virtual ~CodeLookup() = default;
  virtual std::optional<CodeInfo> code(uint32_t id) const = 0;
};

class ThreadNames {
 public:
  virtual ~ThreadNames() = default;
  virtual std::optional<std::string> name(uint32_t tid) const = 0;
  // Every registered (tid, name) pair, sorted by tid.
  virtual std::vector<std::pair<uint32_t, std::string>> snapshot() const = 0;
  // For the track of an asyncio task (event.h): the thread it ran on.
  virtual std::optional<uint32_t> parent(uint32_t) const { return std::nullopt; }
};

// What the end of a run states: the events lost (recording never waits, so
// a writer that falls behind loses whole batches, counted) and, when any
// filter was set, what the filters left out on purpose.
struct RunEnd {
  uint64_t dropped = 0;
  std::optional<FilterReport> filters;
};

class Exporter {
 public:
  virtual ~Exporter() = default;
  virtual Status write_batch(std::span<const Event> events, const CodeLookup& code,
                             const ThreadNames& threads) = 0;
  // Called at most once, after the last write_batch.
  virtual Status finish(const CodeLookup& code, const ThreadNames& threads, const RunEnd& end) = 0;
  Status finish(const CodeLookup& code, const ThreadNames& threads, uint64_t dropped) {
    return finish(code, threads, RunEnd{dropped, std::nullopt});
  }
};

}  // namespace morvex::core
