#include "reader/convert.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "reader/chrome_json.h"
#include "reader/pstats.h"
#include "reader/reader.h"
#include "reader/sink.h"
#include "reader/speedscope.h"
#include "reader/stacks.h"
#include "reader/text.h"

namespace morvex::reader {

namespace {

struct Extension {
  std::string_view suffix;
  ConvertKind kind;
};

// Longest suffix first: ".speedscope.json" before any plain ".json".
constexpr Extension kExtensions[] = {
    {".speedscope.json", ConvertKind::Speedscope},
    {".prof", ConvertKind::Pstats},
    {".pstats", ConvertKind::Pstats},
    {".folded", ConvertKind::Collapsed},
    {".collapsed", ConvertKind::Collapsed},
    {".svg", ConvertKind::Svg},
    {".json", ConvertKind::Json},
};

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  s = s.substr(s.size() - suffix.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view convert_kind_name(ConvertKind kind) {
  switch (kind) {
    case ConvertKind::Pstats:
      return "pstats";
    case ConvertKind::Collapsed:
      return "collapsed";
    case ConvertKind::Speedscope:
      return "speedscope";
    case ConvertKind::Svg:
      return "svg";
    case ConvertKind::Json:
      break;
  }
  return "json";
}

core::Result<ConvertKind> parse_convert_kind(std::string_view name) {
  for (ConvertKind k : kConvertKinds) {
    if (name == convert_kind_name(k)) return k;
  }
  return core::IoError::other("unknown output kind \"" + std::string(name) +
                              "\" (choose pstats, collapsed, speedscope, svg or json)");
}

core::Result<ConvertKind> convert_kind_for(std::string_view output_path) {
  for (const Extension& e : kExtensions) {
    if (ends_with_nocase(output_path, e.suffix)) return e.kind;
  }
  return core::IoError::other(
      "cannot tell the output kind from the name " + std::string(output_path) +
      " (use .prof or .pstats for pstats, .folded or .collapsed for collapsed stacks, "
      ".speedscope.json for speedscope, .svg for a flame graph, .json for Chrome trace-event "
      "JSON, or give the kind)");
}

std::string too_big_warning(const std::string& output, ConvertKind kind, uint64_t bytes,
                            bool known, const ViewerLimits& limits) {
  const std::string size = (known ? "takes " : "will take about ") + format_bytes(bytes);
  // What records less, the one remedy every kind has: convert has no filters.
  const std::string record_less =
      "record less with `morvex run --min-duration 100us` (or --max-depth, --include, "
      "--exclude)";
  switch (kind) {
    case ConvertKind::Speedscope:
      if (bytes <= limits.json) return {};
      return output + " " + size + ", and browsers load no JSON file over about " +
             format_bytes(limits.json) + ": speedscope will not open it. To make it " +
             "smaller, " + record_less +
             ", or write collapsed stacks (.folded) or an SVG, which grow with the distinct "
             "stacks, not with the events";
    case ConvertKind::Json:
      if (bytes <= limits.json) return {};
      return output + " is over " + format_bytes(limits.json) +
             ", more than browsers load: the trace viewers in a browser will not open it (the "
             "Perfetto UI opens the Perfetto trace itself). To make it smaller, " +
             record_less;
    case ConvertKind::Svg:
      if (bytes <= limits.svg) return {};
      return output + " " + size + ", and a browser takes minutes to draw an SVG that big. " +
             "To make it smaller, " + record_less;
    case ConvertKind::Pstats:
    case ConvertKind::Collapsed:
      break;
  }
  return {};
}

namespace {

// Counts what passes through to the output, for the watch.
class CountingSink final : public Sink {
 public:
  CountingSink(Sink& out, const ConvertWatch& watch, const std::string& output, ConvertKind kind)
      : out_(out), watch_(watch), output_(output), kind_(kind) {}

  void write(std::string_view bytes) override {
    out_.write(bytes);
    written_ += bytes.size();
    if (written_ >= next_report_) {
      next_report_ = written_ + kReportEvery;
      if (watch_.wrote) watch_.wrote(written_);
    }
    // The JSON writer knows its size only as it goes: it warns as soon as
    // it is too big, while Ctrl-C still saves the time.
    if (kind_ == ConvertKind::Json && !warned_ && written_ > watch_.limits.json) {
      warned_ = true;
      if (watch_.warn) {
        watch_.warn(too_big_warning(output_, kind_, written_, false, watch_.limits));
      }
    }
  }
  core::Status expect(uint64_t bytes) override { return out_.expect(bytes); }

 private:
  static constexpr uint64_t kReportEvery = uint64_t{1} << 20;

  Sink& out_;
  const ConvertWatch& watch_;
  const std::string& output_;
  ConvertKind kind_;
  uint64_t written_ = 0;
  uint64_t next_report_ = kReportEvery;
  bool warned_ = false;
};

}  // namespace

core::Result<Trace> convert(const std::string& input, const std::string& output,
                            std::optional<ConvertKind> kind, const StopCheck& stop,
                            const ConvertWatch& watch, const SvgOptions& svg) {
  if (!kind) {
    auto found = convert_kind_for(output);
    if (!found.ok()) return found.error();
    kind = found.value();
  }
  struct stat in_st, out_st;
  if (::stat(input.c_str(), &in_st) == 0 && ::stat(output.c_str(), &out_st) == 0 &&
      in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
    return core::IoError::other("cannot write " + output + ": it is the trace being converted");
  }
  // Made first, so that an output that cannot be written fails before the
  // whole input has been read.
  auto file = OutputFile::create(output, stop);
  if (!file.ok()) return file.error();
  CountingSink out(file.value(), watch, output, *kind);

  ReadOptions read;
  read.tree = *kind == ConvertKind::Collapsed || *kind == ConvertKind::Svg;
  read.callers = *kind == ConvertKind::Pstats;
  read.stop = stop;
  read.progress = watch.read;
  std::optional<SpeedscopeSpill> spill;
  if (*kind == ConvertKind::Speedscope) {
    auto made = SpeedscopeSpill::create(file.value().scratch_dir());
    if (!made.ok()) return made.error();
    spill.emplace(std::move(made.value()));
    read.observer = &*spill;
  }
  std::optional<ChromeJsonWriter> json;
  if (*kind == ConvertKind::Json) read.observer = &json.emplace(out);
  auto trace = read_trace(input, read);
  if (!trace.ok()) return trace.error();
  if (*kind == ConvertKind::Pstats &&
      std::none_of(trace.value().threads.begin(), trace.value().threads.end(),
                   [](const Thread& t) { return !t.functions.empty(); })) {
    // pstats.Stats refuses an empty profile: a file it cannot load is no
    // output.
    return core::IoError::other("cannot write " + output + ": " + input +
                                " holds no function slices, and pstats cannot load an empty "
                                "profile");
  }

  auto write_whole = [&](const std::string& bytes) {
    if (core::Status room = out.expect(bytes.size()); !room.ok()) return room;
    if (std::string w = too_big_warning(output, *kind, bytes.size(), true, watch.limits);
        !w.empty() && watch.warn) {
      watch.warn(w);
    }
    out.write(bytes);
    return core::Status();
  };
  core::Status written;
  switch (*kind) {
    case ConvertKind::Pstats:
      written = write_whole(render_pstats(trace.value()));
      break;
    case ConvertKind::Collapsed:
      written = render_collapsed(trace.value(), out);
      break;
    case ConvertKind::Speedscope:
      if (std::string w = too_big_warning(output, *kind, spill->estimate(trace.value()), false,
                                          watch.limits);
          !w.empty() && watch.warn) {
        watch.warn(w);
      }
      written = spill->write(trace.value(), out);
      break;
    case ConvertKind::Svg:
      written = write_whole(render_svg(trace.value(), svg));
      break;
    case ConvertKind::Json:
      json->finish(trace.value());
      break;
  }
  if (!written.ok()) return written.error();
  if (core::Status s = file.value().commit(); !s.ok()) return s.error();
  return trace;
}

}  // namespace morvex::reader
