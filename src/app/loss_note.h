// The line a `morvex run` ends with when its trace lost events, and the
// tally it is counted from. No interpreter in here.
//
// Every process of a run writes into the one trace file: the run's own, its
// forked children and the Python processes it starts (which join the trace
// at start-up). Each knows what it recorded and lost; the run learns the
// others' counts from a small tally file that each of them appends one line
// to as its run ends. Reading the trace back for its dropped-events records
// would cost a pass over a file that can be gigabytes, and the trace does
// not hold how many events were recorded in the first place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/loss.h"

namespace morvex::app {

// The runs of one trace, added up.
struct LossTally {
  core::LossCounts counts;
  uint32_t processes = 0;
  uint32_t lossy = 0;     // processes that lost events
  bool complete = true;   // false: some counts are lower bounds (a writer was abandoned)

  void add(const core::LossCounts& c, bool whole);
};

// One process's line of the tally file: "pid recorded behind unwritten whole\n",
// short enough to land whole with one append.
std::string tally_line(uint32_t pid, const core::LossCounts& c, bool whole);

// Adds every well-formed line of `text` to `into`; a line cut short (a
// process killed while writing it) or otherwise malformed is skipped.
void add_tally_lines(std::string_view text, LossTally& into);

// "morvex: 12 of 40 events dropped in t.json (the writers fell behind);
// --lossless keeps every event", or nothing when no event was lost.
// `lossless`: the run was lossless already, so only an interruption lost any.
std::optional<std::string> loss_line(const LossTally& tally, std::string_view file,
                                     bool lossless);

}  // namespace morvex::app
