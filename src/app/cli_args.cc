#include "app/cli_args.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "core/filters.h"
#include "reader/convert.h"
#include "reader/report.h"
#include "reader/stacks.h"
#include "reader/text.h"

namespace morvex::app {

namespace {

using Takes = Option::Takes;

constexpr const char* kDefaultProgram = "morvex";
constexpr const char* kAbout =
    "Trace a Python script with sys.monitoring; emit Perfetto-compatible output.";
// The package's version, which the build takes from pyproject.toml.
constexpr const char* kVersionLine = "morvex " MORVEX_VERSION;
constexpr const char* kScript = "<SCRIPT>";
constexpr const char* kScriptOrModule = "<SCRIPT|--module <MODULE>...>";

const std::vector<std::string_view> FORMATS(std::begin(Format::kNames), std::end(Format::kNames));
const std::vector<std::string_view> SORT_KEYS(std::begin(reader::kSortKeyNames),
                                              std::end(reader::kSortKeyNames));
const std::vector<std::string_view> CONVERT_KINDS = [] {
  std::vector<std::string_view> names;
  for (reader::ConvertKind k : reader::kConvertKinds) names.push_back(reader::convert_kind_name(k));
  return names;
}();

std::string listed(const std::vector<std::string_view>& values) {
  std::string s;
  for (std::string_view v : values) s += (s.empty() ? "" : ", ") + std::string(v);
  return s;
}

std::string choices(const char* default_value, const std::vector<std::string_view>& values) {
  std::string s;
  if (default_value != nullptr) s = std::string("[default: ") + default_value + "] ";
  return s + "[possible values: " + listed(values) + "]";
}

// --svg-per-thread's help names the number.
static_assert(reader::kSeparateThreads == 4);

std::vector<Subcommand> commands() {
  std::vector<Subcommand> c;
  c.push_back({
      "run",
      "Run a script under the tracer",
      {
          {'o', "output", "OUTPUT", Takes::One, "Output file path"},
          {'f', "format", "FORMAT", Takes::One, "Output format",
           choices(RunArgs{}.format.name(), FORMATS)},
          {'m', "module", "MODULE", Takes::Rest,
           "Run a library module as a script, like `python -m`. Every following argument "
           "belongs to the module"},
          {'\0', "include", "PATTERN", Takes::Many,
           "Record only code that matches: a module and its submodules (myapp, myapp.db, "
           "__main__ for the script), a path glob (*/vendor/*) or :stdlib, :site-packages. "
           "Repeat it, or separate patterns with commas"},
          {'\0', "exclude", "PATTERN", Takes::Many,
           "Leave out code that matches, as --include matches"},
          {'\0', "max-depth", "N", Takes::One,
           "Record calls at most N frames deep (counted from where each thread began)"},
          {'\0', "min-duration", "DURATION", Takes::One,
           "Leave out calls shorter than DURATION (seconds, or with a unit: 50us, 1.5ms, 2s) "
           "with everything inside them"},
          {'\0', "lossless", nullptr, Takes::Nothing,
           "Make the program wait for the trace writer instead of losing events when it falls "
           "behind"},
          {'\0', "spool", nullptr, Takes::Nothing,
           "Only set the events aside while the program runs and write the trace when it "
           "ends: the trace writer then takes almost no CPU from the program, and the end "
           "takes longer"},
          {'\0', "compress", nullptr, Takes::Nothing,
           "Write the Perfetto trace deflated, in bundles with incremental timestamps: several "
           "times smaller, for some CPU"},
          {'\0', "c-calls", nullptr, Takes::Nothing,
           "Record calls of builtins, methods of C types and other callables that are not "
           "Python functions as slices of their own (sorted, list.sort, math.sqrt)"},
          {'\0', "async-tasks", nullptr, Takes::Nothing,
           "Put each asyncio task's coroutine slices on a track of its own, named after the "
           "task, under its thread's track"},
          {'\0', "open", nullptr, Takes::Nothing,
           "Open the trace in Perfetto's web UI when the run ends (as `morvex open --once`)"},
      },
      {{"SCRIPT", "Python script to run", true},
       {"SCRIPT_ARGS", "Arguments forwarded to the script", false, true}},
      true,
      {"[OPTIONS] --output <OUTPUT> <SCRIPT> [SCRIPT_ARGS]...",
       "[OPTIONS] --output <OUTPUT> --module <MODULE>..."},
  });
  // What to record means the same to attach as to run: its options are
  // run's, less those about starting the program.
  std::vector<Option> recording;
  for (const Option& o : c.back().options) {
    const std::string_view name = o.long_name;
    if (name != "module" && name != "open") recording.push_back(o);
  }
  recording.push_back({'\0', "duration", "DURATION", Takes::One,
                       "Stop tracing after DURATION (seconds, or with a unit: 500ms, 10s, 2m); "
                       "by default tracing goes on until Ctrl-C or until the process exits"});
  c.push_back({
      "attach",
      "Trace a running Python process (CPython 3.14 or newer, the same minor version as this one) "
      "until Ctrl-C, the end of --duration or its exit",
      std::move(recording),
      {{"PID", "Id of the process to trace", true}},
      false,
      {"[OPTIONS] --output <OUTPUT> <PID>"},
  });
  c.push_back({
      "report",
      "Show which functions took the time in a trace",
      {
          {'\0', "top", "N", Takes::One, "Rows to show; 0 shows them all", "[default: 30]"},
          {'\0', "sort", "KEY", Takes::One, "What to order the rows by",
           choices(ReportArgs{}.sort.c_str(), SORT_KEYS)},
          {'\0', "threads", nullptr, Takes::Nothing, "One table per process and thread"},
          {'\0', "pid", "PID", Takes::One, "Only the process with this id"},
          {'\0', "json", nullptr, Takes::Nothing,
           "The rows as a JSON array, for scripts (with --summary, one JSON object)"},
          {'\0', "summary", nullptr, Takes::Nothing,
           "What the trace holds instead of the tables: events, events dropped while "
           "recording, filters, processes and threads, damage"},
      },
      {{"TRACE", "A trace file of either format; several make one report, each process apart",
        true, true}},
      false,
      {"[OPTIONS] <TRACE>..."},
  });
  c.push_back({
      "merge",
      "Merge traces of several processes or hosts into one, lined up by their wall clocks",
      {
          {'o', "output", "OUT", Takes::One, "File to write: Chrome trace-event JSON"},
      },
      {{"TRACE", "Trace files of either format", true, true}},
      false,
      {"[OPTIONS] --output <OUT> <TRACE>..."},
  });
  c.push_back({
      "convert",
      "Write a trace for other tools: pstats, collapsed stacks, speedscope, an SVG flame graph "
      "or Chrome trace-event JSON",
      {
          {'o', "output", "OUT", Takes::One, "File to write"},
          {'\0', "to", "KIND", Takes::One,
           "What to write; by default what OUT's name says (.prof or .pstats, .folded or "
           ".collapsed, .speedscope.json, .svg, .json)",
           choices(nullptr, CONVERT_KINDS)},
          {'\0', "svg-per-thread", nullptr, Takes::Nothing,
           "Draw an SVG's graphs one per thread; by default more than 4 threads make one graph, "
           "their stacks merged"},
      },
      {{"TRACE", "A trace file of either format", true}},
      false,
      {"[OPTIONS] --output <OUT> <TRACE>"},
  });
  c.push_back({
      "open",
      "Open a trace in Perfetto's web UI, serving it from 127.0.0.1 until Ctrl-C",
      {
          {'\0', "port", "PORT", Takes::One, "Port to serve it on",
           "[default: " + std::to_string(kPerfettoPort) + "]"},
          {'\0', "no-browser", nullptr, Takes::Nothing,
           "Print the address to open instead of starting a browser"},
          {'\0', "origin", "URL", Takes::Many,
           "Also serve the web page of this origin (https://perfetto.example.com:8443), beside "
           "https://ui.perfetto.dev and any http://localhost or http://127.0.0.1 port. Repeat it "
           "for more"},
          {'\0', "once", nullptr, Takes::Nothing,
           "Stop once the trace has been delivered to a web page"},
      },
      {{"TRACE", "A trace file of either format", true}},
      false,
      {"[OPTIONS] <TRACE>"},
  });
  return c;
}

// A required argument that is missing: the parser's own message.
CliMessage missing(const CommandLine& cli, const char* command,
                   const std::vector<std::string>& names) {
  std::string message = "the following required arguments were not provided:";
  for (const std::string& name : names) message += "\n  " + name;
  return cli.error(command, message);
}

// A value as a message shows it: UTF-8 however it came, and its start only
// when it is long, so that one bad argument stays one line's worth.
std::string shown(std::string_view value) {
  constexpr size_t kShownColumns = 60;
  return reader::keep_start(reader::sanitize_utf8(value), kShownColumns);
}

CliMessage invalid(const CommandLine& cli, const char* command, const std::string& value,
                   const std::string& option, const std::string& why) {
  return cli.error(command, "invalid value '" + shown(value) + "' for '" + option + "': " + why);
}

// What is wrong with one include or exclude pattern, if anything.
std::optional<std::string> pattern_fault(const std::string& pattern) {
  // Arguments come as the bytes the system gave; names in a trace are text.
  if (!reader::is_valid_utf8(pattern)) return "not UTF-8 text, as the names it would match are";
  return core::CodeFilter::check(pattern);
}

// One of a fixed set of values, or the parser's message with a hint.
std::variant<std::string, CliMessage> one_of(const CommandLine& cli, const char* command,
                                             const std::string& value, const std::string& option,
                                             const std::vector<std::string_view>& values) {
  for (std::string_view v : values)
    if (value == v) return value;
  std::string message = "invalid value '" + value + "' for '" + option +
                        "'\n  [possible values: " + listed(values) + "]";
  if (std::optional<std::string> s = similar(value, values)) {
    message += tip("a similar value exists: '" + *s + "'");
  }
  return cli.error(command, message);
}

template <class T>
std::optional<T> whole_number(const std::string& text) {
  T n{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return n;
}

// Format and what to record, as run and attach take them; an error to
// print if something is wrong.
std::optional<CliMessage> recording_args(const CommandLine& cli, const char* command,
                                         const Matches& m, Format& format,
                                         core::RunOptions& options) {
  if (std::optional<std::string> f = m.one("format")) {
    auto v = one_of(cli, command, *f, "--format <FORMAT>", FORMATS);
    if (auto* err = std::get_if<CliMessage>(&v)) return *err;
    format = Format::parse(*f).value();
  }
  core::FilterSettings& filters = options.filters;
  for (auto [option, to] :
       {std::pair{"include", &filters.include}, std::pair{"exclude", &filters.exclude}}) {
    if (!m.has(option)) continue;
    for (const std::string& value : m.values.at(option)) {
      for (size_t at = 0;;) {
        size_t comma = value.find(',', at);
        std::string pattern = value.substr(at, comma == std::string::npos ? comma : comma - at);
        if (std::optional<std::string> wrong = pattern_fault(pattern)) {
          // One of several: say which.
          if (pattern != value && !pattern.empty()) *wrong = "'" + shown(pattern) + "': " + *wrong;
          return invalid(cli, command, value, std::string("--") + option + " <PATTERN>", *wrong);
        }
        to->push_back(std::move(pattern));
        if (comma == std::string::npos) break;
        at = comma + 1;
      }
    }
  }
  if (std::optional<std::string> depth = m.one("max-depth")) {
    std::optional<uint32_t> n = whole_number<uint32_t>(*depth);
    if (!n || *n == 0) {
      return invalid(cli, command, *depth, "--max-depth <N>",
                     "a whole number of frames, at least 1");
    }
    filters.max_depth = std::min(*n, core::kDeepestMaxDepth);
  }
  if (std::optional<std::string> d = m.one("min-duration")) {
    core::Checked<uint64_t> ns = core::parse_duration(*d);
    if (!ns.ok()) return cli.error(command, ns.message() + " for '--min-duration <DURATION>'");
    filters.min_duration_ns = ns.value();
  }
  options.lossless = m.has("lossless");
  options.spool = m.has("spool");
  options.compress = m.has("compress");
  options.c_calls = m.has("c-calls");
  options.async_tasks = m.has("async-tasks");
  if (options.compress && format != Format::Protobuf) {
    return cli.error(command, "'--compress' applies to the protobuf format only");
  }
  return std::nullopt;
}

std::variant<Command, CliMessage> run_args(const CommandLine& cli, const Matches& m) {
  RunArgs a;
  a.module = m.values.count("module") ? m.values.at("module") : std::vector<std::string>{};
  if (!m.positionals.empty()) a.script = m.positionals.front();
  if (m.positionals.size() > 1)
    a.script_args.assign(m.positionals.begin() + 1, m.positionals.end());
  if (a.script && m.has("module")) {
    return cli.error("run", "the argument '--module <MODULE>...' cannot be used with '" +
                                std::string(kScript) + "'" +
                                tip("to pass '-m' on to the script, put '--' before the script"));
  }
  std::vector<std::string> absent;
  if (!m.has("output")) absent.push_back("--output <OUTPUT>");
  if (!a.script && a.module.empty()) absent.push_back(kScriptOrModule);
  if (!absent.empty()) return missing(cli, "run", absent);
  a.output = *m.one("output");
  if (std::optional<CliMessage> wrong = recording_args(cli, "run", m, a.format, a.options))
    return *wrong;
  a.open = m.has("open");
  return a;
}

// How long an attach traces: what --min-duration takes, and minutes ("2m").
std::optional<uint64_t> attach_duration(std::string_view text) {
  if (text.ends_with("m")) {
    std::string minutes(text.substr(0, text.size() - 1));
    if (minutes.empty() || !std::isdigit(static_cast<unsigned char>(minutes.back())))
      return std::nullopt;
    // As seconds, then sixty times that: exact for decimal minutes too.
    core::Checked<uint64_t> ns = core::parse_duration(minutes + "s");
    if (!ns.ok() || ns.value() > std::numeric_limits<uint64_t>::max() / 60) return std::nullopt;
    return ns.value() * 60;
  }
  core::Checked<uint64_t> ns = core::parse_duration(text);
  if (!ns.ok()) return std::nullopt;
  return ns.value();
}

std::variant<Command, CliMessage> attach_args(const CommandLine& cli, const Matches& m) {
  std::vector<std::string> absent;
  if (!m.has("output")) absent.push_back("--output <OUTPUT>");
  if (m.positionals.empty()) absent.push_back("<PID>");
  if (!absent.empty()) return missing(cli, "attach", absent);
  AttachArgs a;
  const std::string& pid = m.positionals.front();
  std::optional<uint32_t> n = whole_number<uint32_t>(pid);
  if (!n || *n == 0 || *n > uint32_t(INT32_MAX))
    return invalid(cli, "attach", pid, "<PID>", "a process id");
  a.pid = *n;
  a.output = *m.one("output");
  if (std::optional<CliMessage> wrong = recording_args(cli, "attach", m, a.format, a.options))
    return *wrong;
  if (std::optional<std::string> d = m.one("duration")) {
    std::optional<uint64_t> ns = attach_duration(*d);
    if (!ns || *ns == 0) {
      return invalid(cli, "attach", *d, "--duration <DURATION>",
                     "a time above zero: seconds, or a number with a unit (ms, s, m)");
    }
    a.duration_ns = *ns;
  }
  return a;
}

std::variant<Command, CliMessage> report_args(const CommandLine& cli, const Matches& m) {
  if (m.positionals.empty()) return missing(cli, "report", {"<TRACE>..."});
  ReportArgs a;
  a.traces = m.positionals;
  if (std::optional<std::string> top = m.one("top")) {
    std::optional<size_t> n = whole_number<size_t>(*top);
    if (!n) return invalid(cli, "report", *top, "--top <N>", "a whole number of rows");
    a.top = *n;
  }
  if (std::optional<std::string> sort = m.one("sort")) {
    auto v = one_of(cli, "report", *sort, "--sort <KEY>", SORT_KEYS);
    if (auto* err = std::get_if<CliMessage>(&v)) return *err;
    a.sort = *sort;
  }
  if (std::optional<std::string> pid = m.one("pid")) {
    std::optional<uint32_t> n = whole_number<uint32_t>(*pid);
    if (!n) return invalid(cli, "report", *pid, "--pid <PID>", "a process id");
    a.pid = *n;
  }
  a.threads = m.has("threads");
  a.json = m.has("json");
  a.summary = m.has("summary");
  if (a.summary) {
    for (auto [option, shown] :
         {std::pair{"top", "--top <N>"}, std::pair{"sort", "--sort <KEY>"},
          std::pair{"threads", "--threads"}, std::pair{"pid", "--pid <PID>"}}) {
      if (m.has(option)) {
        return cli.error("report", std::string("the argument '") + shown +
                                       "' cannot be used with '--summary'");
      }
    }
  }
  return a;
}

std::variant<Command, CliMessage> merge_args(const CommandLine& cli, const Matches& m) {
  std::vector<std::string> absent;
  if (!m.has("output")) absent.push_back("--output <OUT>");
  if (m.positionals.empty()) absent.push_back("<TRACE>...");
  if (!absent.empty()) return missing(cli, "merge", absent);
  std::string output = *m.one("output");
  // The merged trace is Chrome JSON whatever its name: a Perfetto name would
  // say otherwise to whoever finds the file.
  std::string lower = output;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (std::string_view perfetto : {".pftrace", ".perfetto-trace", ".perfetto", ".pb", ".proto"}) {
    if (lower.ends_with(perfetto)) {
      return invalid(cli, "merge", output, "--output <OUT>",
                     "merge writes Chrome trace-event JSON: name the output .json");
    }
  }
  return MergeArgs{m.positionals, std::move(output)};
}

std::variant<Command, CliMessage> convert_args(const CommandLine& cli, const Matches& m) {
  std::vector<std::string> absent;
  if (!m.has("output")) absent.push_back("--output <OUT>");
  if (m.positionals.empty()) absent.push_back("<TRACE>");
  if (!absent.empty()) return missing(cli, "convert", absent);
  ConvertArgs a{m.positionals.front(), *m.one("output"), std::nullopt};
  if (std::optional<std::string> to = m.one("to")) {
    auto v = one_of(cli, "convert", *to, "--to <KIND>", CONVERT_KINDS);
    if (auto* err = std::get_if<CliMessage>(&v)) return *err;
    a.to = *to;
  }
  a.svg_per_thread = m.has("svg-per-thread");
  return a;
}

// A URL's origin as a browser's Origin header writes it: scheme and host in
// lower case, no default port, no path; nothing when the URL is more than
// that (a trailing "/" aside) or not http(s).
std::optional<std::string> origin_of(std::string_view url) {
  std::string lower(url);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!lower.empty() && lower.back() == '/') lower.pop_back();
  std::string_view rest = lower;
  std::string_view scheme;
  for (std::string_view s : {"http://", "https://"}) {
    if (rest.substr(0, s.size()) == s) scheme = s;
  }
  if (scheme.empty()) return std::nullopt;
  rest.remove_prefix(scheme.size());
  // A name or IPv4 address, or an IPv6 address in brackets.
  const bool bracketed = !rest.empty() && rest.front() == '[';
  size_t host_end = bracketed ? rest.find(']') : rest.find(':');
  if (bracketed && host_end != std::string_view::npos) ++host_end;
  if (host_end == std::string_view::npos) host_end = bracketed ? 0 : rest.size();
  std::string_view host = rest.substr(0, host_end);
  std::string_view inner = bracketed && !host.empty() ? host.substr(1, host.size() - 2) : host;
  auto host_char = [bracketed](char c) {
    return bracketed ? std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'
                     : std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
  };
  if (inner.empty() || !std::all_of(inner.begin(), inner.end(), host_char)) return std::nullopt;
  std::string origin = std::string(scheme) + std::string(host);
  if (std::string_view port = rest.substr(host_end); !port.empty()) {
    std::optional<uint16_t> n = whole_number<uint16_t>(std::string(port.substr(1)));
    if (port.front() != ':' || !n || *n == 0) return std::nullopt;
    const uint16_t default_port = scheme == "http://" ? 80 : 443;
    if (*n != default_port) origin += ":" + std::to_string(*n);
  }
  return origin;
}

std::variant<Command, CliMessage> open_args(const CommandLine& cli, const Matches& m) {
  if (m.positionals.empty()) return missing(cli, "open", {"<TRACE>"});
  OpenArgs a;
  a.trace = m.positionals.front();
  if (std::optional<std::string> port = m.one("port")) {
    std::optional<uint16_t> n = whole_number<uint16_t>(*port);
    if (!n || *n == 0) return invalid(cli, "open", *port, "--port <PORT>", "a port, 1 to 65535");
    a.port = *n;
  }
  a.browser = !m.has("no-browser");
  if (m.has("origin")) {
    for (const std::string& url : m.values.at("origin")) {
      std::optional<std::string> origin = origin_of(url);
      if (!origin) {
        return invalid(cli, "open", url, "--origin <URL>",
                       "an origin is http:// or https://, a host and maybe a port, nothing after");
      }
      a.origins.push_back(std::move(*origin));
    }
  }
  a.once = m.has("once");
  return a;
}

}  // namespace

std::string program_name(const std::vector<std::string>& argv) {
  if (argv.empty()) return kDefaultProgram;
  std::string_view path = argv[0];
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (last.empty() || last == "." || last == "..") return kDefaultProgram;
  return std::string(last);
}

CliMessage usage_error(const std::string& program, const char* command,
                       const std::string& message) {
  return CommandLine(kAbout, commands(), program, kVersionLine).error(command, message);
}

std::variant<Command, CliMessage> parse_command_line(const std::vector<std::string>& argv) {
  CommandLine cli(kAbout, commands(), program_name(argv), kVersionLine);
  std::variant<Matches, CliMessage> parsed = cli.parse(argv);
  if (auto* message = std::get_if<CliMessage>(&parsed)) return std::move(*message);
  const Matches& m = std::get<Matches>(parsed);
  if (m.command == "run") return run_args(cli, m);
  if (m.command == "attach") return attach_args(cli, m);
  if (m.command == "report") return report_args(cli, m);
  if (m.command == "convert") return convert_args(cli, m);
  if (m.command == "merge") return merge_args(cli, m);
  return open_args(cli, m);
}

}  // namespace morvex::app
