// A small command-line parser in the manner of the usual Rust and Python
// ones: subcommands, short and long options (clusters, -oVALUE, -o=VALUE,
// --opt=VALUE), flags, repeated options, an option that takes every argument
// after it, positionals, "--", generated help, and error messages with a
// hint at what was probably meant. No interpreter in here.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvex::app {

struct Option {
  enum class Takes : uint8_t { Nothing, One, Many, Rest };
  char short_name;  // '\0': none
  const char* long_name;
  const char* value_name;  // nullptr for a flag
  Takes takes;
  const char* help;
  std::string details = {};  // "[default: ...] [possible values: ...]"
};

struct Positional {
  const char* value_name;
  const char* help;
  bool required;
  bool many = false;  // takes every argument from its first on (the script's)
};

struct Subcommand {
  const char* name;
  const char* about;
  std::vector<Option> options;  // -h, --help is added
  std::vector<Positional> positionals;
  // `run`'s grammar: once the first positional is seen, only whole option
  // words are options, and from its first argument on everything is the
  // program's. Elsewhere options may come anywhere, as with argparse.
  bool program_grammar = false;
  std::vector<std::string> usage;  // lines after "Usage: PROG NAME "
};

// Help or an error, ready to print. Help that was asked for goes to standard
// output with status 0; everything else to standard error with status 2.
struct CliMessage {
  std::string text;
  bool requested = false;

  int exit_code() const { return requested ? 0 : 2; }
};

// What a subcommand's arguments came to: option values by long name, in the
// order given, and positionals.
struct Matches {
  std::string command;
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> positionals;

  bool has(const std::string& long_name) const { return values.count(long_name) != 0; }
  std::optional<std::string> one(const std::string& long_name) const;
};

class CommandLine {
 public:
  // `version`: what -V, --version prints, e.g. "morvex 1.2.3" ("": no such option).
  CommandLine(std::string about, std::vector<Subcommand> commands, std::string program,
              std::string version = {})
      : about_(std::move(about)),
        commands_(std::move(commands)),
        prog_(std::move(program)),
        version_(std::move(version)) {}

  // argv[0] is the program path, already turned into the program name.
  std::variant<Matches, CliMessage> parse(const std::vector<std::string>& argv) const;

  // An error about one subcommand's arguments, as the parser writes its own.
  CliMessage error(const std::string& command, const std::string& message) const;

 private:
  const Subcommand* find(std::string_view name) const;
  std::string top_help() const;
  std::string command_help(const Subcommand& c) const;
  std::string help_help() const;
  std::string usage(const Subcommand& c) const;
  CliMessage top_error(const std::string& message) const;
  std::variant<Matches, CliMessage> help_subcommand(const std::vector<std::string>& argv) const;

  std::string about_;
  std::vector<Subcommand> commands_;
  std::string prog_;
  std::string version_;
};

// "--output <OUTPUT>", "--module <MODULE>...", "--help".
std::string display(const Option& o);

// The candidate the user most likely meant: one that differs only in case,
// or by a few typed characters.
std::optional<std::string> similar(std::string_view given,
                                   const std::vector<std::string_view>& candidates);

std::string tip(const std::string& text);

}  // namespace morvex::app
