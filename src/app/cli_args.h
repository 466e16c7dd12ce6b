// The `morvex` command line: its definition, the parser, and the help and
// error texts. No interpreter in here; cli.cc feeds it the argument vector
// and prints what it answers.
//
// Grammar of `run`: options first; the script is the first plain argument.
// Options `run` defines are still recognised between the script and the
// script's first argument, so `run app.py -o t.pb` works; from the script's
// first argument on, everything belongs to the script. `-m` takes every
// argument after it, even ones that look like our options.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/format.h"

namespace morvex::app {

struct RunArgs {
  std::string output;
  Format format = Format::Protobuf;
  // Empty without -m; otherwise the module name, then its arguments.
  std::vector<std::string> module;
  std::optional<std::string> script;
  std::vector<std::string> script_args;
};

// Everything the parser accepted, before it becomes RunArgs.
struct Matches {
  std::optional<std::string> subcommand;
  std::optional<std::string> output;
  std::optional<Format> format;
  std::vector<std::string> module;
  std::optional<std::string> script;
  std::vector<std::string> script_args;
};

// Help or an error, ready to print. Help that was asked for goes to standard
// output with status 0; everything else to standard error with status 2.
struct CliMessage {
  std::string text;
  bool requested = false;

  int exit_code() const { return requested ? 0 : 2; }
};

// The program name shown in help: the last path component of argv[0].
std::string program_name(const std::vector<std::string>& argv);

// Parses argv (argv[0] is the program path) against the command definition.
std::variant<Matches, CliMessage> parse_args(const std::vector<std::string>& argv);

// The subcommand's values; errors here are rendered for program `prog`.
std::variant<RunArgs, CliMessage> to_run_args(const Matches& m, const std::string& prog);

// parse_args, then to_run_args.
std::variant<RunArgs, CliMessage> parse_command_line(const std::vector<std::string>& argv);

}  // namespace morvex::app
