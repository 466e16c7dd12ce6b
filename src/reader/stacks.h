// Stack-shaped renderers of the call tree (a trace read with
// ReadOptions::tree):
//
//   collapsed stacks, the input of flamegraph.pl and one of speedscope's
//   imports: one line per distinct stack, "frame;frame;frame SELF_NS", the
//   first frame naming the thread (and its pid when the trace holds several
//   processes), the others "qualname (file:line)", or the qualified name
//   alone where the trace knows no file, and "[span] NAME" for user spans.
//   The location is there whether or not another function shares the name:
//   a frame then prints the same in every trace, so the stacks of two runs
//   line up (difffolded.pl) and a function's frames never change name when
//   a namesake joins; it is also the form py-spy writes. The path is whole,
//   as a shortened one could make two functions print alike.
//   Threads of one name merge, as do frames that print alike, so each
//   distinct stack is one line however often it ran; ';' and line breaks
//   inside a frame become ',' and ' '; stacks with no self time are left
//   out. Each line spells out its whole stack: a recursion D deep takes
//   about D * D / 2 frames.
//
//   an SVG flame graph, drawn as an icicle (callers above their callees,
//   which suits stacking one graph per thread under a heading): up to
//   kSeparateThreads threads a graph each, more threads one graph with
//   their stacks merged; searchable and zoomable in a browser, see svg.cc.
//
// Threads: pure functions of the Trace.
#pragma once

#include <cstddef>
#include <string>

#include "core/ioerror.h"
#include "reader/model.h"
#include "reader/sink.h"

namespace morvex::reader {

// Fails, before writing anything, when `out` has no room for the lines
// (Sink::expect).
core::Status render_collapsed(const Trace& trace, Sink& out);

// More threads than this are drawn as one graph unless per_thread says
// otherwise: a graph per thread, each scaled to its own time, stops reading
// as a picture of the program long before 167 of them.
inline constexpr size_t kSeparateThreads = 4;

struct SvgOptions {
  // Pixels, where no script runs (an <img>, an image viewer); its script
  // makes the picture as wide as the browser's window.
  double width = 1200;
  std::string title;        // heading of the whole picture; the trace's path if empty
  bool per_thread = false;  // a graph per thread however many there are
};

std::string render_svg(const Trace& trace, const SvgOptions& options = {});

}  // namespace morvex::reader
