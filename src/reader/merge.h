// `morvex merge`: several traces (of several hosts, ranks, workers) into
// one, on one timeline.
//
// Each input is placed by its wall-clock anchor (format::WallAnchor): the
// input whose trace time 0 came first in wall-clock time starts at 0, every
// other one later by the difference of the anchors. That is as exact as
// the hosts' clocks agree (NTP keeps them within milliseconds, PTP within
// microseconds); nothing in the traces themselves can do better. An input
// written without an anchor is placed at offset 0, and said to be.
//
// Every input keeps its processes and threads apart: a pid an earlier
// input already used gets a new one (pid + k * 2^22, above any Linux pid),
// and a main thread (tid == pid) goes with it; each process is named after
// its host and its file. Everything the reader's model carries goes
// through: every slice with its function, file and line, spans, counter
// samples, instants (by time: the model keeps no more of them), thread
// names, filters and dropped counts. The output is Chrome trace-event JSON,
// which Perfetto's UI, chrome://tracing and every reader of that format
// open.
//
// Threads: any thread; calls share nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/ioerror.h"
#include "reader/model.h"
#include "reader/stop.h"

namespace morvex::reader {

// What became of one input.
struct MergedInput {
  std::string path;
  std::string host;                     // "" where the trace does not say
  std::optional<uint64_t> realtime_ns;  // its anchor, if it has one
  uint64_t offset_ns = 0;               // added to each of its times
  // Processes whose pid had to change: (old, new).
  std::vector<std::pair<uint32_t, uint32_t>> renumbered;
};

struct MergeResult {
  std::vector<MergedInput> inputs;
  std::optional<uint64_t> realtime_ns;  // the merged trace's time 0
};

// Reads every input (either format, compressed or not), writes `output`
// (which appears only once complete). Errors name the input at fault.
core::Result<MergeResult> merge(const std::vector<std::string>& inputs, const std::string& output,
                                const StopCheck& stop = {});

// Several traces as one model, for `morvex report A B ...`: placed and
// renumbered as merge() places them; functions that are the same (name,
// file, line) in several traces are one function.
Trace combine(std::vector<Trace> traces);

// What a person is told: one line per input, then how the clocks were
// aligned, and a warning per input without an anchor.
std::string merge_summary(const MergeResult& result);

}  // namespace morvex::reader
