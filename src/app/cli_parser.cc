#include "app/cli_parser.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace morvex::app {

namespace {

constexpr const char* kHelpAbout = "Print this message or the help of the given subcommand(s)";
const Option kHelp{'h', "help", nullptr, Option::Takes::Nothing, "Print help"};

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

bool looks_like_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

CliMessage error_message(const std::string& message, const std::string& usage,
                         const std::string& cmd) {
  return {"error: " + message + "\n\n" + usage + "\n\nFor more information, try '" + cmd +
              " --help'.\n",
          false};
}

std::string positional_display(const Positional& p) {
  std::string s =
      p.required ? std::string("<") + p.value_name + ">" : std::string("[") + p.value_name + "]";
  return p.many ? s + "..." : s;
}

// One subcommand's arguments, left to right.
class Parse {
 public:
  Parse(const CommandLine& cli, const Subcommand& c, const std::vector<std::string>& argv,
        CliMessage help)
      : cli_(cli), c_(c), argv_(argv), help_(std::move(help)) {
    m_.command = c.name;
  }

  std::variant<Matches, CliMessage> run() {
    while (next_ < argv_.size()) {
      const std::string& arg = argv_[next_++];
      if (trailing_) {
        m_.positionals.push_back(arg);
      } else if (!escaped_ && arg == "--") {
        escaped_ = true;
      } else if (escaped_ || !looks_like_option(arg) || (options_closing() && !exact_option(arg))) {
        if (std::optional<CliMessage> err = positional(arg)) return *std::move(err);
      } else if (std::optional<CliMessage> stop =
                     arg[1] == '-' ? long_option(arg) : short_option(arg)) {
        return *std::move(stop);
      }
    }
    return std::move(m_);
  }

 private:
  CliMessage fail(const std::string& message) const { return cli_.error(c_.name, message); }

  // Between a program and its first argument only whole option words are
  // ours, so that a script's "-fast" or "-oops" is never read as "-f ast".
  bool options_closing() const { return c_.program_grammar && !m_.positionals.empty(); }

  bool exact_option(const std::string& arg) const {
    for (const Option& o : c_.options) {
      std::string long_form = std::string("--") + o.long_name;
      if ((o.short_name != '\0' && arg == std::string("-") + o.short_name) || arg == long_form)
        return true;
      if (o.value_name != nullptr && arg.rfind(long_form + "=", 0) == 0) return true;
    }
    return arg == "-h" || arg == "--help";
  }

  std::optional<CliMessage> positional(const std::string& arg) {
    size_t at = m_.positionals.size();
    // A last positional that takes many: every further one is another of it.
    const bool more = !c_.positionals.empty() && c_.positionals.back().many;
    if (at >= c_.positionals.size() && !more)
      return fail("unexpected argument '" + arg + "' found");
    m_.positionals.push_back(arg);
    // Only a program's arguments take the rest of the line; elsewhere
    // options may still follow, as with argparse's nargs="+".
    if (more && at + 1 >= c_.positionals.size() && c_.program_grammar) trailing_ = true;
    return std::nullopt;
  }

  const Option* find_long(const std::string& name) const {
    for (const Option& o : c_.options)
      if (name == o.long_name) return &o;
    return name == kHelp.long_name ? &kHelp : nullptr;
  }

  const Option* find_short(char c) const {
    for (const Option& o : c_.options)
      if (o.short_name != '\0' && o.short_name == c) return &o;
    return c == kHelp.short_name ? &kHelp : nullptr;
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
    if (const Option* o = find_long(name)) return take(*o, attached);
    std::vector<std::string_view> longs;
    for (const Option& o : c_.options) longs.push_back(o.long_name);
    longs.push_back(kHelp.long_name);
    if (std::optional<std::string> s = similar(name, longs)) {
      return unexpected(arg, tip("a similar argument exists: '--" + *s + "'"));
    }
    return unexpected(arg, tip("to pass '" + arg + "' as a value, use '-- " + arg + "'"));
  }

  // "-o VALUE", "-oVALUE" and "-o=VALUE"; flags cluster ("-xy").
  std::optional<CliMessage> short_option(const std::string& arg) {
    for (size_t k = 1; k < arg.size(); ++k) {
      const Option* o = find_short(arg[k]);
      if (o == nullptr) {
        std::string flag = std::string("-") + arg[k];
        return unexpected(flag, tip("to pass '" + arg + "' as a value, use '-- " + arg + "'"));
      }
      if (o->value_name == nullptr) {
        if (std::optional<CliMessage> stop = take(*o, std::nullopt)) return stop;
        continue;
      }
      std::optional<std::string> attached;
      if (k + 1 < arg.size()) attached = arg.substr(arg[k + 1] == '=' ? k + 2 : k + 1);
      return take(*o, attached);
    }
    return std::nullopt;
  }

  std::optional<CliMessage> take(const Option& o, std::optional<std::string> attached) {
    if (&o == &kHelp || o.value_name == nullptr) {
      if (attached) {
        return fail("unexpected value '" + *attached + "' for '" + display(o) +
                    "' found; no more were expected");
      }
      if (&o == &kHelp) return help_;
      if (m_.has(o.long_name))
        return fail("the argument '" + display(o) + "' cannot be used multiple times");
      m_.values[o.long_name];
      return std::nullopt;
    }
    if (o.takes != Option::Takes::Many && m_.has(o.long_name))
      return fail("the argument '" + display(o) + "' cannot be used multiple times");
    std::vector<std::string>& values = m_.values[o.long_name];
    std::string missing = "a value is required for '" + display(o) + "' but none was supplied";
    if (o.takes == Option::Takes::Rest) {
      if (attached) values.push_back(*attached);
      while (next_ < argv_.size()) values.push_back(argv_[next_++]);
      if (values.empty()) return fail(missing);
      return std::nullopt;
    }
    if (attached) {
      values.push_back(*attached);
    } else if (next_ == argv_.size()) {
      return fail(missing);
    } else if (looks_like_option(argv_[next_])) {
      const std::string& v = argv_[next_];
      return fail(missing +
                  tip("to pass '" + v + "' as a value, use '--" + o.long_name + "=" + v + "'"));
    } else {
      values.push_back(argv_[next_++]);
    }
    return std::nullopt;
  }

  const CommandLine& cli_;
  const Subcommand& c_;
  const std::vector<std::string>& argv_;
  CliMessage help_;
  size_t next_ = 2;
  Matches m_;
  bool escaped_ = false;   // after "--": no more options
  bool trailing_ = false;  // the positional that takes the rest has begun
};

}  // namespace

std::optional<std::string> Matches::one(const std::string& long_name) const {
  auto it = values.find(long_name);
  if (it == values.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::string display(const Option& o) {
  std::string s = std::string("--") + o.long_name;
  if (o.value_name != nullptr) s += std::string(" <") + o.value_name + ">";
  if (o.takes == Option::Takes::Rest) s += "...";
  return s;
}

std::optional<std::string> similar(std::string_view given,
                                   const std::vector<std::string_view>& candidates) {
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

const Subcommand* CommandLine::find(std::string_view name) const {
  for (const Subcommand& c : commands_)
    if (name == c.name) return &c;
  return nullptr;
}

std::string CommandLine::usage(const Subcommand& c) const {
  std::string out;
  for (const std::string& line : c.usage) {
    out += (out.empty() ? "Usage: " : "\n       ") + prog_ + " " + c.name + " " + line;
  }
  return out;
}

std::string CommandLine::top_help() const {
  std::string out = about_ + "\n\nUsage: " + prog_ + " <COMMAND>\n\n";
  Rows rows;
  for (const Subcommand& c : commands_) rows.emplace_back(c.name, c.about);
  rows.emplace_back("help", kHelpAbout);
  append_table(out, "Commands", rows);
  out += "\n";
  Rows options = {{"-h, --help", "Print help"}};
  if (!version_.empty()) options.emplace_back("-V, --version", "Print version");
  append_table(out, "Options", options);
  return out;
}

std::string CommandLine::command_help(const Subcommand& c) const {
  std::string out = std::string(c.about) + "\n\n" + usage(c) + "\n\n";
  if (!c.positionals.empty()) {
    Rows rows;
    for (const Positional& p : c.positionals) rows.emplace_back(positional_display(p), p.help);
    append_table(out, "Arguments", rows);
    out += "\n";
  }
  Rows rows;
  for (const Option& o : c.options) {
    std::string left = o.short_name != '\0' ? std::string("-") + o.short_name + ", " : "    ";
    std::string help = o.help;
    if (!o.details.empty()) help += " " + o.details;
    rows.emplace_back(left + display(o), help);
  }
  rows.emplace_back("-h, --help", "Print help");
  append_table(out, "Options", rows);
  return out;
}

std::string CommandLine::help_help() const {
  std::string out = std::string(kHelpAbout) + "\n\nUsage: " + prog_ + " help [COMMAND]\n\n";
  append_table(out, "Arguments", {{"[COMMAND]", "The subcommand whose help to print"}});
  return out;
}

CliMessage CommandLine::top_error(const std::string& message) const {
  return error_message(message, "Usage: " + prog_ + " <COMMAND>", prog_);
}

CliMessage CommandLine::error(const std::string& command, const std::string& message) const {
  const Subcommand* c = find(command);
  return error_message(message, c ? usage(*c) : "Usage: " + prog_ + " <COMMAND>",
                       prog_ + " " + command);
}

std::variant<Matches, CliMessage> CommandLine::help_subcommand(
    const std::vector<std::string>& argv) const {
  if (argv.size() == 2) return CliMessage{top_help(), true};
  const std::string& name = argv[2];
  auto help_error = [&](const std::string& message) {
    return error_message(message, "Usage: " + prog_ + " help [COMMAND]", prog_ + " help");
  };
  if (argv.size() > 3) return help_error("unexpected argument '" + argv[3] + "' found");
  if (const Subcommand* c = find(name)) return CliMessage{command_help(*c), true};
  if (name == "help" || name == "-h" || name == "--help") return CliMessage{help_help(), true};
  std::string message = "unrecognized subcommand '" + name + "'";
  std::vector<std::string_view> names;
  for (const Subcommand& c : commands_) names.push_back(c.name);
  names.push_back("help");
  if (std::optional<std::string> s = similar(name, names)) {
    message += tip("a similar subcommand exists: '" + *s + "'");
  }
  return help_error(message);
}

std::variant<Matches, CliMessage> CommandLine::parse(const std::vector<std::string>& argv) const {
  // Nothing to do is not a mistake worth an error message: show what there
  // is to do, but still fail so that scripts notice.
  if (argv.size() <= 1) return CliMessage{top_help(), false};
  const std::string& first = argv[1];
  if (const Subcommand* c = find(first)) {
    return Parse(*this, *c, argv, CliMessage{command_help(*c), true}).run();
  }
  if (first == "help") return help_subcommand(argv);
  if (first == "-h" || first == "--help" || (first.size() > 2 && first.rfind("-h", 0) == 0)) {
    return CliMessage{top_help(), true};
  }
  if (!version_.empty() && (first == "-V" || first == "--version")) {
    return CliMessage{version_ + "\n", true};
  }
  if (first.rfind("--help=", 0) == 0) {
    return top_error("unexpected value '" + first.substr(7) +
                     "' for '--help' found; no more were expected");
  }
  std::vector<std::string_view> names;
  std::string listed;
  for (const Subcommand& c : commands_) {
    names.push_back(c.name);
    listed += std::string(c.name) + ", ";
  }
  names.push_back("help");
  if (first == "--") {
    if (argv.size() == 2) {
      return top_error(
          "a subcommand is required but one was not provided\n  [subcommands: " + listed + "help]");
    }
    return top_error("unexpected argument '" + argv[2] + "' found");
  }
  if (looks_like_option(first)) {
    std::string hint;
    if (first.rfind("--", 0) == 0) {
      std::vector<std::string_view> long_names = {"help"};
      if (!version_.empty()) long_names.push_back("version");
      if (std::optional<std::string> s = similar(std::string_view(first).substr(2), long_names)) {
        hint = tip("a similar argument exists: '--" + *s + "'");
      }
    }
    std::string shown = first.rfind("--", 0) == 0 ? first : first.substr(0, 2);
    return top_error("unexpected argument '" + shown + "' found" + hint);
  }
  std::string message = "unrecognized subcommand '" + first + "'";
  if (std::optional<std::string> s = similar(first, names)) {
    message += tip("a similar subcommand exists: '" + *s + "'");
  }
  return top_error(message);
}

}  // namespace morvex::app
