// The output-format switch: which exporter writes a run, and how the output
// file is opened for it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/checked.h"
#include "core/ioerror.h"
#include "core/sink.h"
#include "format/records.h"

namespace morvex::app {

class Format {
 public:
  enum Value : uint8_t { Json = 0, Protobuf = 1 };

  constexpr Format(Value v) : v_(v) {}  // NOLINT: implicit on purpose
  constexpr bool operator==(const Format&) const = default;

  // The canonical names, indexed by Value.
  static constexpr const char* kNames[] = {"json", "protobuf"};

  // "json", "protobuf" (also "proto" and "pb"), exact and case-sensitive;
  // anything else gives the message "unknown format: <text>".
  static core::Checked<Format> parse(std::string_view text);

  // The canonical name: "json" or "protobuf".
  const char* name() const { return kNames[v_]; }

  // Opens `path` and builds the matching exporter. A run that starts a trace
  // (append false) empties the file; JSON then begins it with "[". A run that
  // joins one (append true) writes after what is there. `pid` becomes the
  // Perfetto sequence base: 0 for a top-level run, the process id otherwise.
  // `compress` (protobuf only) deflates the trace in bundles.
  // `anchor`, when given, goes into the trace (format::WallAnchor).
  core::Result<std::unique_ptr<core::Exporter>> open(
      const std::string& path, uint32_t pid, bool append, bool compress = false,
      const std::optional<format::WallAnchor>& anchor = std::nullopt) const;

 private:
  Value v_;
};

}  // namespace morvex::app
