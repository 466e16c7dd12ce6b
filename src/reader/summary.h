// `morvex report --summary`: what a trace says about itself, without the
// per-function tables - what it holds, what was dropped while recording,
// the filters, each process and thread, and any damage. As text for people,
// or as one JSON object for scripts that must not parse stderr or the
// report's text:
//
//   {"file", "format" ("protobuf" or "json", as --format names them),
//    "file_size", "events", "instants", "first_ts", "last_ts" (null without
//    timed events), "dropped" (events lost while recording, all processes),
//    "lost_gaps" (the "morvex: events lost" slices marking where),
//    "filters" (null when no process filtered; else the options and the
//    counts of every process that did, added up, with "same_options"
//    false and the options null when the processes differ),
//    "processes": [{"pid", "name", "dropped", "filters"}],
//    "threads": [{"pid", "tid", "name", "slices", "traced_ns", "first_ts",
//    "last_ts"}], "open_at_end", "unmatched_ends",
//    "damage" (null, or {"kind": "cut_off" or "corrupt", "offset"}),
//    "notes" (the sentences `morvex report` opens with)}
//
// Times are nanoseconds on the trace's clock. Threads: pure functions.
#pragma once

#include <string>

#include "reader/model.h"

namespace morvex::reader {

std::string summary_text(const Trace& trace);
std::string summary_json(const Trace& trace);

}  // namespace morvex::reader
