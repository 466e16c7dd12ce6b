// `morvex convert`: a trace file to a format other tools read.
//
//   pstats      .prof, .pstats        pstats.Stats, snakeviz, gprof2dot (pstats.h);
//                                     a trace without function slices is an
//                                     error, as pstats loads no empty profile
//   collapsed   .folded, .collapsed   flamegraph.pl, speedscope, inferno (stacks.h)
//   speedscope  .speedscope.json      https://www.speedscope.app (speedscope.h)
//   svg         .svg                  a flame graph for any browser (stacks.h)
//   json        .json                 Chrome trace-event JSON, one strict
//                                     document (chrome_json.h)
//
// The kind comes from the output's name unless given. The output appears
// only once complete (sink.h); the input is read once, in chunks, and only
// what the kind needs is kept.
//
// An output too big for the viewer it is for is still written, with a
// warning naming what makes it smaller: speedscope and JSON files over
// kBrowserJsonBytes (V8, the JavaScript engine of Chrome and Node, holds no
// string longer than about 512 MiB, and both speedscope and the browser
// trace viewers read the file as one), SVGs over kBrowserSvgBytes.
// Speedscope's size is estimated before it is written, an SVG's known; the
// JSON writer warns once it has written that much.
//
// Threads: any thread; calls share nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/ioerror.h"
#include "reader/input.h"
#include "reader/model.h"
#include "reader/stacks.h"
#include "reader/stop.h"

namespace morvex::reader {

enum class ConvertKind { Pstats, Collapsed, Speedscope, Svg, Json };
// Every kind, in the order help lists them.
inline constexpr ConvertKind kConvertKinds[] = {ConvertKind::Pstats, ConvertKind::Collapsed,
                                                ConvertKind::Speedscope, ConvertKind::Svg,
                                                ConvertKind::Json};

inline constexpr uint64_t kBrowserJsonBytes = uint64_t{512} << 20;
// Drawing takes a browser minutes past about this many bytes of frames.
inline constexpr uint64_t kBrowserSvgBytes = uint64_t{64} << 20;

std::string_view convert_kind_name(ConvertKind kind);  // "pstats", ...
// "pstats", "collapsed", "speedscope", "svg" or "json"; errors name them.
core::Result<ConvertKind> parse_convert_kind(std::string_view name);
// From the output's extension; errors name the accepted extensions.
core::Result<ConvertKind> convert_kind_for(std::string_view output_path);

// The sizes past which an output is too big for its viewer.
struct ViewerLimits {
  uint64_t json = kBrowserJsonBytes;  // speedscope and JSON
  uint64_t svg = kBrowserSvgBytes;
};

// What a conversion tells its caller as it goes; each may be empty.
struct ConvertWatch {
  // The input's bytes read so far and its size (0 when unknown), per chunk.
  Input::ReadProgress read;
  // The output's bytes written so far, about every megabyte.
  std::function<void(uint64_t written)> wrote;
  // One sentence about the output, once known (too_big_warning).
  std::function<void(const std::string&)> warn;
  ViewerLimits limits;
};

// The warning for `output` of `kind` taking `bytes` (`known`: exactly; else
// about, or at least for JSON), or "" when it is not too big for its viewer.
std::string too_big_warning(const std::string& output, ConvertKind kind, uint64_t bytes,
                            bool known, const ViewerLimits& limits = {});

// Reads `input`, writes `output`. Returns the model read, so the caller can
// print trace_notes() (dropped events, a cut-off file) alongside. `stop` is
// asked between chunks read and written; true fails the conversion with
// EINTR's error and no output. `svg` shapes an SVG output.
core::Result<Trace> convert(const std::string& input, const std::string& output,
                            std::optional<ConvertKind> kind = std::nullopt,
                            const StopCheck& stop = {}, const ConvertWatch& watch = {},
                            const SvgOptions& svg = {});

}  // namespace morvex::reader
