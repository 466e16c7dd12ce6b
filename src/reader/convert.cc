#include "reader/convert.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "reader/pstats.h"
#include "reader/reader.h"
#include "reader/sink.h"
#include "reader/speedscope.h"
#include "reader/stacks.h"

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
      break;
  }
  return "svg";
}

core::Result<ConvertKind> parse_convert_kind(std::string_view name) {
  for (ConvertKind k : kConvertKinds) {
    if (name == convert_kind_name(k)) return k;
  }
  return core::IoError::other("unknown output kind \"" + std::string(name) +
                              "\" (choose pstats, collapsed, speedscope or svg)");
}

core::Result<ConvertKind> convert_kind_for(std::string_view output_path) {
  for (const Extension& e : kExtensions) {
    if (ends_with_nocase(output_path, e.suffix)) return e.kind;
  }
  return core::IoError::other(
      "cannot tell the output kind from the name " + std::string(output_path) +
      " (use .prof or .pstats for pstats, .folded or .collapsed for collapsed stacks, "
      ".speedscope.json for speedscope, .svg for a flame graph, or give the kind)");
}

core::Result<Trace> convert(const std::string& input, const std::string& output,
                            std::optional<ConvertKind> kind, const StopCheck& stop,
                            const SvgOptions& svg) {
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

  ReadOptions read;
  read.tree = *kind == ConvertKind::Collapsed || *kind == ConvertKind::Svg;
  read.callers = *kind == ConvertKind::Pstats;
  read.stop = stop;
  std::optional<SpeedscopeSpill> spill;
  if (*kind == ConvertKind::Speedscope) {
    auto made = SpeedscopeSpill::create(file.value().scratch_dir());
    if (!made.ok()) return made.error();
    spill.emplace(std::move(made.value()));
    read.observer = &*spill;
  }
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

  OutputFile& out = file.value();
  auto write_whole = [&](const std::string& bytes) {
    if (core::Status room = out.expect(bytes.size()); !room.ok()) return room;
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
      written = spill->write(trace.value(), out);
      break;
    case ConvertKind::Svg:
      written = write_whole(render_svg(trace.value(), svg));
      break;
  }
  if (!written.ok()) return written.error();
  if (core::Status s = out.commit(); !s.ok()) return s.error();
  return trace;
}

}  // namespace morvex::reader
