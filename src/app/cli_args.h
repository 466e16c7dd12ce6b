// The `morvex` command line: its subcommands and what their arguments mean.
// No interpreter in here; cli.cc feeds it the argument vector and prints
// what it answers or runs what it asks for.
//
// Grammar of `run`: options first; the script is the first plain argument.
// Options `run` defines are still recognised between the script and the
// script's first argument, so `run app.py -o t.pb` works; from the script's
// first argument on, everything belongs to the script. `-m` takes every
// argument after it, even ones that look like our options. The other
// subcommands take their options anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/cli_parser.h"
#include "app/format.h"
#include "core/run_options.h"

namespace morvex::app {

struct RunArgs {
  std::string output;
  Format format = Format::Protobuf;
  // Empty without -m; otherwise the module name, then its arguments.
  std::vector<std::string> module;
  std::optional<std::string> script;
  std::vector<std::string> script_args;
  // What to record, checked (comma-separated patterns split), as the run
  // takes it.
  core::RunOptions options;
  bool open = false;  // serve the trace to Perfetto's UI after the run
};

// `attach`: a tracer started inside a running process, which writes the
// trace itself; `output` as given (the attacher makes it absolute).
struct AttachArgs {
  uint32_t pid = 0;
  std::string output;
  Format format = Format::Protobuf;
  core::RunOptions options;
  std::optional<uint64_t> duration_ns;  // none: until Ctrl-C or the process's end
};

struct ReportArgs {
  std::vector<std::string> traces;  // one report over them all
  size_t top = 30;
  std::string sort = "self";
  bool threads = false;
  std::optional<uint32_t> pid;
  bool json = false;
  bool summary = false;  // what the trace says about itself instead of the tables
};

struct ConvertArgs {
  std::string trace;
  std::string output;
  std::optional<std::string> to;  // the kind; else from the output's name
  bool svg_per_thread = false;    // an SVG's graphs: one per thread however many
};

struct MergeArgs {
  std::vector<std::string> traces;
  std::string output;
};

// Where Perfetto's UI fetches traces from unless told otherwise: it accepts
// trace addresses on 127.0.0.1 at this port.
inline constexpr uint16_t kPerfettoPort = 9001;

struct OpenArgs {
  std::string trace;
  uint16_t port = kPerfettoPort;
  bool browser = true;
  // Web pages allowed beside Perfetto's own and local ones, as their Origin
  // header names them.
  std::vector<std::string> origins;
  bool once = false;  // stop after the first delivery
};

using Command = std::variant<RunArgs, AttachArgs, ReportArgs, ConvertArgs, OpenArgs, MergeArgs>;

// The program name shown in help: the last path component of argv[0].
std::string program_name(const std::vector<std::string>& argv);

// An error about a subcommand's arguments found after they were parsed, as
// the parser words its own, for `program` (program_name's answer).
CliMessage usage_error(const std::string& program, const char* command,
                       const std::string& message);

// Parses argv (argv[0] is the program path): the command to carry out, or
// help or an error to print.
std::variant<Command, CliMessage> parse_command_line(const std::vector<std::string>& argv);

}  // namespace morvex::app
