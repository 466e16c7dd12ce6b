#include "app/cli_args.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <utility>

namespace morvex::app {
namespace {

constexpr const char* kDefaultProgram = "morvex";
constexpr const char* kAbout =
    "Trace a Python script with sys.monitoring; emit Perfetto-compatible output.";
constexpr const char* kRunAbout = "Run a script under the tracer";
constexpr const char* kHelpAbout = "Print this message or the help of the given subcommand(s)";

struct Option {
  char short_name;
  const char* long_name;
  const char* value_name;  // nullptr for a flag
  bool takes_rest;         // every following argument is a value
  const char* help;
};

enum RunOption : size_t { kOutput, kFormat, kModule, kHelp, kRunOptionCount };

constexpr std::array<Option, kRunOptionCount> RUN_OPTIONS = {{
    {'o', "output", "OUTPUT", false, "Output file path"},
    {'f', "format", "FORMAT", false, "Output format"},
    {'m', "module", "MODULE", true,
     "Run a library module as a script, like `python -m`. Every following argument belongs to "
     "the module"},
    {'h', "help", nullptr, false, "Print help"},
}};

constexpr std::array<std::string_view, 2> FORMAT_VALUES = {"json", "protobuf"};
constexpr std::array<std::string_view, 2> SUBCOMMANDS = {"run", "help"};

constexpr const char* kScript = "<SCRIPT>";
constexpr const char* kScriptHelp = "Python script to run";
constexpr const char* kScriptArgs = "[SCRIPT_ARGS]...";
constexpr const char* kScriptArgsHelp = "Arguments forwarded to the script";
constexpr const char* kScriptOrModule = "<SCRIPT|--module <MODULE>...>";

const std::string& default_format() {
  static const std::string name = Format(Format::Protobuf).name();
  return name;
}

std::optional<Format> format_value(std::string_view text) {
  if (text == FORMAT_VALUES[0]) return Format::Json;
  if (text == FORMAT_VALUES[1]) return Format::Protobuf;
  return std::nullopt;
}

// "--output <OUTPUT>", "--module <MODULE>...", "--help".
std::string display(const Option& o) {
  std::string s = std::string("--") + o.long_name;
  if (o.value_name != nullptr) s += std::string(" <") + o.value_name + ">";
  if (o.takes_rest) s += "...";
  return s;
}

using Rows = std::vector<std::pair<std::string, std::string>>;

void append_table(std::string& out, const char* title, const Rows& rows) {
  size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.first.size());
  out += title;
  out += ":\n";
  for (const auto& [left, right] : rows) {
    out += "  " + left + std::string(width - left.size() + 2, ' ') + right + "\n";
  }
}

std::string top_usage(const std::string& prog) { return "Usage: " + prog + " <COMMAND>"; }

std::string run_usage(const std::string& prog) {
  std::string lead = prog + " run [OPTIONS] --output <OUTPUT> ";
  return "Usage: " + lead + kScript + " " + kScriptArgs + "\n       " + lead +
         display(RUN_OPTIONS[kModule]);
}

std::string help_usage(const std::string& prog) { return "Usage: " + prog + " help [COMMAND]"; }

std::string top_help(const std::string& prog) {
  std::string out = std::string(kAbout) + "\n\n" + top_usage(prog) + "\n\n";
  append_table(out, "Commands", {{"run", kRunAbout}, {"help", kHelpAbout}});
  out += "\n";
  append_table(out, "Options", {{"-h, --help", "Print help"}});
  return out;
}

std::string run_help(const std::string& prog) {
  std::string out = std::string(kRunAbout) + "\n\n" + run_usage(prog) + "\n\n";
  append_table(out, "Arguments", {{kScript, kScriptHelp}, {kScriptArgs, kScriptArgsHelp}});
  out += "\n";
  Rows rows;
  for (const Option& o : RUN_OPTIONS) {
    std::string help = o.help;
    if (&o == &RUN_OPTIONS[kFormat]) {
      help += " [default: " + default_format() + "] [possible values: ";
      help += std::string(FORMAT_VALUES[0]) + ", " + std::string(FORMAT_VALUES[1]) + "]";
    }
    rows.emplace_back(std::string("-") + o.short_name + ", " + display(o), help);
  }
  append_table(out, "Options", rows);
  return out;
}

std::string help_help(const std::string& prog) {
  std::string out = std::string(kHelpAbout) + "\n\n" + help_usage(prog) + "\n\n";
  append_table(out, "Arguments", {{"[COMMAND]", "The subcommand whose help to print"}});
  return out;
}

CliMessage error(const std::string& message, const std::string& usage, const std::string& cmd) {
  return {"error: " + message + "\n\n" + usage + "\n\nFor more information, try '" + cmd +
              " --help'.\n",
          false};
}

CliMessage top_error(const std::string& message, const std::string& prog) {
  return error(message, top_usage(prog), prog);
}

size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The candidate the user most likely meant: one that differs only in case,
// or by a few typed characters.
template <class Names>
std::optional<std::string> similar(std::string_view given, const Names& candidates) {
  std::string lower(given);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::optional<std::string> best;
  size_t best_distance = SIZE_MAX;
  for (std::string_view c : candidates) {
    size_t d = edit_distance(lower, c);
    if (d <= std::max<size_t>(1, c.size() / 3) && d < best_distance) {
      best = std::string(c);
      best_distance = d;
    }
  }
  return best;
}

std::string tip(const std::string& text) { return "\n\n  tip: " + text; }

bool looks_like_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

class RunParser {
 public:
  RunParser(std::string prog, const std::vector<std::string>& argv, size_t first)
      : prog_(std::move(prog)), argv_(argv), next_(first) {}

  std::variant<Matches, CliMessage> parse() {
    m_.subcommand = "run";
    while (next_ < argv_.size()) {
      const std::string& arg = argv_[next_++];
      if (trailing_) {
        m_.script_args.push_back(arg);
      } else if (!escaped_ && arg == "--") {
        escaped_ = true;
      } else if (escaped_ || !looks_like_option(arg) || (m_.script && !exact_option(arg))) {
        add_positional(arg);
      } else if (std::optional<CliMessage> stop =
                     arg[1] == '-' ? long_option(arg) : short_option(arg)) {
        return *std::move(stop);
      }
    }
    if (std::optional<CliMessage> err = validate()) return *std::move(err);
    return std::move(m_);
  }

 private:
  CliMessage fail(const std::string& message) const {
    return error(message, run_usage(prog_), prog_ + " run");
  }

  void add_positional(const std::string& arg) {
    if (!m_.script) {
      m_.script = arg;
    } else {
      m_.script_args.push_back(arg);
      trailing_ = true;
    }
  }

  // Between the script and its first argument only whole option words are
  // ours, so that a script's "-fast" or "-oops" is never read as "-f ast".
  static bool exact_option(const std::string& arg) {
    for (const Option& o : RUN_OPTIONS) {
      std::string long_form = std::string("--") + o.long_name;
      if (arg == std::string("-") + o.short_name || arg == long_form) return true;
      if (o.value_name != nullptr && arg.rfind(long_form + "=", 0) == 0) return true;
    }
    return false;
  }

  std::optional<CliMessage> unexpected(const std::string& arg, const std::string& hint) const {
    return fail("unexpected argument '" + arg + "' found" + hint);
  }

  std::optional<CliMessage> long_option(const std::string& arg) {
    std::string_view body = std::string_view(arg).substr(2);
    size_t eq = body.find('=');
    std::string name(body.substr(0, eq));
    std::optional<std::string> attached;
    if (eq != std::string_view::npos) attached = std::string(body.substr(eq + 1));
    for (size_t i = 0; i < RUN_OPTIONS.size(); ++i) {
      if (name == RUN_OPTIONS[i].long_name) return take(static_cast<RunOption>(i), attached);
    }
    std::vector<std::string> longs;
    for (const Option& o : RUN_OPTIONS) longs.push_back(o.long_name);
    if (std::optional<std::string> s = similar(name, longs)) {
      return unexpected(arg, tip("a similar argument exists: '--" + *s + "'"));
    }
    return unexpected(arg, tip("to pass '" + arg + "' as a value, use '-- " + arg + "'"));
  }

  // "-o VALUE", "-oVALUE" and "-o=VALUE"; "-h" anywhere in a cluster.
  std::optional<CliMessage> short_option(const std::string& arg) {
    for (size_t k = 1; k < arg.size(); ++k) {
      auto it = std::find_if(RUN_OPTIONS.begin(), RUN_OPTIONS.end(),
                             [&](const Option& o) { return o.short_name == arg[k]; });
      if (it == RUN_OPTIONS.end()) {
        std::string flag = std::string("-") + arg[k];
        return unexpected(flag, tip("to pass '" + arg + "' as a value, use '-- " + arg + "'"));
      }
      auto id = static_cast<RunOption>(it - RUN_OPTIONS.begin());
      if (id == kHelp) return take(id, std::nullopt);
      std::optional<std::string> attached;
      if (k + 1 < arg.size()) attached = arg.substr(arg[k + 1] == '=' ? k + 2 : k + 1);
      return take(id, attached);
    }
    return std::nullopt;
  }

  std::optional<CliMessage> take(RunOption id, std::optional<std::string> attached) {
    const Option& o = RUN_OPTIONS[id];
    if (id == kHelp) {
      if (attached) {
        return fail("unexpected value '" + *attached +
                    "' for '--help' found; no more were expected");
      }
      return CliMessage{run_help(prog_), true};
    }
    if (seen_[id]) return fail("the argument '" + display(o) + "' cannot be used multiple times");
    seen_[id] = true;
    std::string missing = "a value is required for '" + display(o) + "' but none was supplied";
    if (o.takes_rest) {
      if (attached) m_.module.push_back(*attached);
      while (next_ < argv_.size()) m_.module.push_back(argv_[next_++]);
      if (m_.module.empty()) return fail(missing);
      return std::nullopt;
    }
    std::string value;
    if (attached) {
      value = *attached;
    } else if (next_ == argv_.size()) {
      return fail(missing);
    } else if (looks_like_option(argv_[next_])) {
      const std::string& v = argv_[next_];
      return fail(missing +
                  tip("to pass '" + v + "' as a value, use '--" + o.long_name + "=" + v + "'"));
    } else {
      value = argv_[next_++];
    }
    if (id == kOutput) {
      m_.output = std::move(value);
      return std::nullopt;
    }
    m_.format = format_value(value);
    if (m_.format) return std::nullopt;
    std::string message = "invalid value '" + value + "' for '" + display(o) +
                          "'\n  [possible values: " + std::string(FORMAT_VALUES[0]) + ", " +
                          std::string(FORMAT_VALUES[1]) + "]";
    if (std::optional<std::string> s = similar(value, FORMAT_VALUES)) {
      message += tip("a similar value exists: '" + *s + "'");
    }
    return fail(message);
  }

  std::optional<CliMessage> validate() {
    if (m_.script && !m_.module.empty()) {
      return fail("the argument '" + display(RUN_OPTIONS[kModule]) + "' cannot be used with '" +
                  kScript + "'" + tip("to pass '-m' on to the script, put '--' before the script"));
    }
    std::vector<std::string> missing;
    if (!m_.output) missing.push_back(display(RUN_OPTIONS[kOutput]));
    if (!m_.script && m_.module.empty()) missing.push_back(kScriptOrModule);
    if (!missing.empty()) {
      std::string message = "the following required arguments were not provided:";
      for (const std::string& name : missing) message += "\n  " + name;
      return fail(message);
    }
    if (!m_.format) m_.format = format_value(default_format());
    return std::nullopt;
  }

  const std::string prog_;
  const std::vector<std::string>& argv_;
  size_t next_;
  Matches m_;
  std::array<bool, kRunOptionCount> seen_{};
  bool escaped_ = false;   // after "--": no more options
  bool trailing_ = false;  // the script has its first argument: the rest is its too
};

std::variant<Matches, CliMessage> help_subcommand(const std::string& prog,
                                                  const std::vector<std::string>& argv,
                                                  size_t first) {
  if (first == argv.size()) return CliMessage{top_help(prog), true};
  const std::string& name = argv[first];
  auto help_error = [&](const std::string& message) {
    return error(message, help_usage(prog), prog + " help");
  };
  if (first + 1 < argv.size()) {
    return help_error("unexpected argument '" + argv[first + 1] + "' found");
  }
  if (name == "run") return CliMessage{run_help(prog), true};
  if (name == "help" || name == "-h" || name == "--help") return CliMessage{help_help(prog), true};
  std::string message = "unrecognized subcommand '" + name + "'";
  if (std::optional<std::string> s = similar(name, SUBCOMMANDS)) {
    message += tip("a similar subcommand exists: '" + *s + "'");
  }
  return help_error(message);
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

std::variant<Matches, CliMessage> parse_args(const std::vector<std::string>& argv) {
  std::string prog = program_name(argv);
  // Nothing to do is not a mistake worth an error message: show what there
  // is to do, but still fail so that scripts notice.
  if (argv.size() <= 1) return CliMessage{top_help(prog), false};
  const std::string& first = argv[1];
  if (first == "run") return RunParser(prog, argv, 2).parse();
  if (first == "help") return help_subcommand(prog, argv, 2);
  if (first == "-h" || first == "--help" || (first.size() > 2 && first.rfind("-h", 0) == 0)) {
    return CliMessage{top_help(prog), true};
  }
  if (first.rfind("--help=", 0) == 0) {
    return top_error(
        "unexpected value '" + first.substr(7) + "' for '--help' found; no more were expected",
        prog);
  }
  if (first == "--") {
    if (argv.size() == 2) {
      return top_error(
          "a subcommand is required but one was not provided\n  [subcommands: run, help]", prog);
    }
    return top_error("unexpected argument '" + argv[2] + "' found", prog);
  }
  if (looks_like_option(first)) {
    std::string hint;
    if (first.rfind("--", 0) == 0) {
      if (std::optional<std::string> s =
              similar(std::string_view(first).substr(2), std::array<std::string_view, 1>{"help"})) {
        hint = tip("a similar argument exists: '--" + *s + "'");
      }
    }
    std::string shown = first.rfind("--", 0) == 0 ? first : first.substr(0, 2);
    return top_error("unexpected argument '" + shown + "' found" + hint, prog);
  }
  std::string message = "unrecognized subcommand '" + first + "'";
  if (std::optional<std::string> s = similar(first, SUBCOMMANDS)) {
    message += tip("a similar subcommand exists: '" + *s + "'");
  }
  return top_error(message, prog);
}

std::variant<RunArgs, CliMessage> to_run_args(const Matches& m, const std::string& prog) {
  if (!m.subcommand) {
    return top_error("a subcommand is required but one was not provided", prog);
  }
  if (*m.subcommand != "run") {
    return top_error("the subcommand '" + *m.subcommand + "' wasn't recognized", prog);
  }
  auto missing = [&](const char* id) {
    return error(std::string("the following required argument was not provided: ") + id,
                 run_usage(prog), prog + " run");
  };
  if (!m.output) return missing("output");
  if (!m.format) return missing("format");
  return RunArgs{*m.output, *m.format, m.module, m.script, m.script_args};
}

std::variant<RunArgs, CliMessage> parse_command_line(const std::vector<std::string>& argv) {
  std::variant<Matches, CliMessage> parsed = parse_args(argv);
  if (auto* message = std::get_if<CliMessage>(&parsed)) return std::move(*message);
  return to_run_args(std::get<Matches>(parsed), program_name(argv));
}

}  // namespace morvex::app
