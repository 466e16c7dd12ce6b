// Reading a morvex trace file into the model (model.h), without Python.
//
// The format is found from the content, not the name: Chrome trace-event
// JSON starts with optional whitespace and "[" (the array morvex writes) or
// "{" (the object form, {"traceEvents": [...]}); a Perfetto trace with the
// Trace.packet tag and the length of a TracePacket that parses. The file is
// read front to back in chunks; memory follows the number of distinct
// functions, threads and counters (and of stacks or caller/callee pairs,
// when asked for), and the depth of the stacks, never the size of the file,
// except on threads of a JSON file that have complete ("X") events, whose
// slices are put in time order once the file has been read (json_parse.cc).
//
// A damaged file still gives a model: a file cut off inside a record (a
// process killed while writing), or bytes that are not a record, end the
// read there, and Trace::damage says so. Only these are errors: the file
// cannot be opened or read, it is empty or only whitespace, it is neither
// format (a JSON array whose first element is no record, such as [1,2,3],
// or an object without "traceEvents", is not a trace), or a JSON record runs on past Input::kMaxRecord (64 MiB).
// A lone "[", what a JSON run that recorded nothing writes, is an empty
// trace.
//
// Threads: read_trace may run on any thread; calls share nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/ioerror.h"
#include "reader/builder.h"
#include "reader/input.h"
#include "reader/model.h"

namespace morvex::reader {

struct ReadOptions {
  bool tree = false;     // build the call tree (collapsed stacks, flame graphs)
  bool callers = false;  // collect caller/callee pairs (pstats)
  // Sees every slice open and close (for renderers that need the timeline).
  SliceObserver* observer = nullptr;
  size_t chunk_size = Input::kDefaultChunk;
  // Asked between chunks; true fails the read ("cannot read X: Interrupted
  // system call").
  StopCheck stop;
  // Told after each chunk read (Input::on_read).
  Input::ReadProgress progress;
};

// Error messages name the file and read as one sentence, e.g.
// "cannot read trace.json: No such file or directory" or
// "x.txt is not a morvex trace (neither a Perfetto trace nor a Chrome
// trace-event JSON file)".
core::Result<Trace> read_trace(const std::string& path, const ReadOptions& options = {});

// The same for bytes in memory; `name` stands for the file in messages.
core::Result<Trace> read_trace_bytes(std::string_view bytes, const std::string& name,
                                     const ReadOptions& options = {});

std::string_view format_name(Format format);  // "Perfetto" or "JSON"

}  // namespace morvex::reader
