#include "reader/reader.h"

#include <cstring>

#include "reader/parse.h"
#include "reader/text.h"

namespace morvex::reader {

namespace {

std::string os_message(const core::IoError& e) {
  if (e.os_code() == 0) return e.text();
  return std::strerror(e.os_code());
}

core::Result<Trace> read(Input& in, const std::string& name, const ReadOptions& options) {
  auto read_failed = [&]() {
    return core::IoError::other("cannot read " + name + ": " + os_message(*in.error()));
  };
  auto not_a_trace = [&]() {
    return core::IoError::other(
        name +
        " is not a morvex trace (neither a Perfetto trace nor a Chrome trace-event JSON file)");
  };
  if (!in.ensure(1)) {
    if (in.error()) return read_failed();
    return core::IoError::other(name + " is empty: it holds no trace");
  }
  Format format;
  if (only_whitespace(in)) {
    return not_a_trace();
  } else if (looks_like_json(in)) {
    format = Format::Json;
  } else if (looks_like_perfetto(in)) {
    format = Format::Perfetto;
  } else {
    if (in.error()) return read_failed();
    return not_a_trace();
  }
  Builder builder(BuildOptions{options.tree, options.callers, options.observer});
  const ParseOutcome outcome =
      format == Format::Json ? parse_json(in, builder) : parse_perfetto(in, builder);
  if (in.error()) return read_failed();
  // "[1,2,3]": JSON, but not one record of a trace. (A lone "[" is what a
  // JSON run that recorded nothing leaves: an empty trace.)
  if (format == Format::Json && outcome.damage == Damage::Corrupt && outcome.records == 0) {
    return not_a_trace();
  }
  if (outcome.too_long) {
    return core::IoError::other(
        "cannot read " + name + ": the record at byte " + format_count(outcome.offset) +
        " is longer than " + std::to_string(Input::kMaxRecord >> 20) +
        " MiB, the most the reader takes for one record (a stray bracket or quote makes the "
        "rest of a file look like one record)");
  }
  Trace trace = builder.finish();
  trace.path = name;
  trace.format = format;
  trace.damage = outcome.damage;
  trace.damage_offset = outcome.offset;
  trace.file_size = in.size();
  return trace;
}

}  // namespace

core::Result<Trace> read_trace(const std::string& path, const ReadOptions& options) {
  auto in = Input::open(path, options.chunk_size, options.stop);
  if (!in.ok()) return core::IoError::other("cannot read " + path + ": " + os_message(in.error()));
  in.value().on_read(options.progress);
  return read(in.value(), path, options);
}

core::Result<Trace> read_trace_bytes(std::string_view bytes, const std::string& name,
                                     const ReadOptions& options) {
  Input in = Input::memory(bytes, options.chunk_size, options.stop);
  in.on_read(options.progress);
  return read(in, name, options);
}

std::string_view format_name(Format format) { return format == Format::Json ? "JSON" : "Perfetto"; }

}  // namespace morvex::reader
