// `morvex convert`: a trace file to a format other tools read.
//
//   pstats      .prof, .pstats        pstats.Stats, snakeviz, gprof2dot (pstats.h);
//                                     a trace without function slices is an
//                                     error, as pstats loads no empty profile
//   collapsed   .folded, .collapsed   flamegraph.pl, speedscope, inferno (stacks.h)
//   speedscope  .speedscope.json      https://www.speedscope.app (speedscope.h)
//   svg         .svg                  a flame graph for any browser (stacks.h)
//
// The kind comes from the output's name unless given. The output appears
// only once complete (sink.h); the input is read once, in chunks, and only
// what the kind needs is kept.
//
// Threads: any thread; calls share nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/ioerror.h"
#include "reader/model.h"
#include "reader/stacks.h"
#include "reader/stop.h"

namespace morvex::reader {

enum class ConvertKind { Pstats, Collapsed, Speedscope, Svg };
// Every kind, in the order help lists them.
inline constexpr ConvertKind kConvertKinds[] = {ConvertKind::Pstats, ConvertKind::Collapsed,
                                                ConvertKind::Speedscope, ConvertKind::Svg};

std::string_view convert_kind_name(ConvertKind kind);  // "pstats", ...
// "pstats", "collapsed", "speedscope" or "svg"; errors name them.
core::Result<ConvertKind> parse_convert_kind(std::string_view name);
// From the output's extension; errors name the accepted extensions.
core::Result<ConvertKind> convert_kind_for(std::string_view output_path);

// Reads `input`, writes `output`. Returns the model read, so the caller can
// print trace_notes() (dropped events, a cut-off file) alongside. `stop` is
// asked between chunks read and written; true fails the conversion with
// EINTR's error and no output. `svg` shapes an SVG output.
core::Result<Trace> convert(const std::string& input, const std::string& output,
                            std::optional<ConvertKind> kind = std::nullopt,
                            const StopCheck& stop = {}, const SvgOptions& svg = {});

}  // namespace morvex::reader
