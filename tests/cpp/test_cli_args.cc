#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "app/cli_args.h"

namespace morvex::app {
namespace {

using Argv = std::vector<std::string>;

RunArgs parsed(Argv argv) {
  argv.insert(argv.begin(), "morvex");
  auto r = parse_command_line(argv);
  if (auto* m = std::get_if<CliMessage>(&r)) {
    ADD_FAILURE() << "not parsed: " << m->text;
    return {};
  }
  return std::get<RunArgs>(r);
}

CliMessage message(Argv argv) {
  argv.insert(argv.begin(), "morvex");
  auto r = parse_command_line(argv);
  if (!std::holds_alternative<CliMessage>(r)) {
    ADD_FAILURE() << "parsed, but a message was expected";
    return {};
  }
  return std::get<CliMessage>(r);
}

TEST(CliArgs, RunSplitsOurOptionsFromTheTargets) {
  struct Case {
    Argv argv;
    std::string output;
    Format format;
    Argv module;
    std::optional<std::string> script;
    Argv script_args;
  };
  const Case cases[] = {
      {{"run", "-o", "t.pb", "app.py"}, "t.pb", Format::Protobuf, {}, "app.py", {}},
      {{"run", "-o", "t.json", "-f", "json", "app.py", "--verbose", "-x", "1"},
       "t.json",
       Format::Json,
       {},
       "app.py",
       {"--verbose", "-x", "1"}},
      // Everything after -m belongs to the module, even our own options.
      {{"run", "-o", "t.pb", "-m", "pkg.tool", "-v", "--output", "x"},
       "t.pb",
       Format::Protobuf,
       {"pkg.tool", "-v", "--output", "x"},
       std::nullopt,
       {}},
      // Whole option words between the script and its first argument are ours.
      {{"run", "app.py", "-o", "t.pb", "a"}, "t.pb", Format::Protobuf, {}, "app.py", {"a"}},
      // ... but not a script's "-oops", and nothing after its first argument.
      {{"run", "-o=t.pb", "app.py", "-oops", "-o", "x"},
       "t.pb",
       Format::Protobuf,
       {},
       "app.py",
       {"-oops", "-o", "x"}},
      {{"run", "--output=t.pb", "--", "-m"}, "t.pb", Format::Protobuf, {}, "-m", {}},
      {{"run", "-ot.pb", "-fjson", "app.py"}, "t.pb", Format::Json, {}, "app.py", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.argv));
    RunArgs a = parsed(c.argv);
    EXPECT_EQ(a.output, c.output);
    EXPECT_EQ(a.format, c.format);
    EXPECT_EQ(a.module, c.module);
    EXPECT_EQ(a.script, c.script);
    EXPECT_EQ(a.script_args, c.script_args);
  }
}

TEST(CliArgs, HelpIsRequestedUsageErrorsAreNot) {
  struct Case {
    Argv argv;
    bool requested;
    std::string contains;
  };
  const Case cases[] = {
      {{}, false, "Usage: morvex <COMMAND>"},
      {{"--help"}, true, "Commands:"},
      {{"help", "run"}, true, "--output <OUTPUT>"},
      {{"run", "--help"}, true, "[possible values: json, protobuf]"},
      {{"run", "app.py"}, false, "--output <OUTPUT>"},
      {{"run", "-o", "t", "-f", "JSON", "app.py"}, false, "a similar value exists: 'json'"},
      {{"run", "-o", "t", "app.py", "-m", "pkg"}, false, "cannot be used with"},
      {{"run", "-o", "t", "--outptu", "x", "app.py"}, false, "similar argument exists: '--output'"},
      {{"run", "-o", "t", "-m"}, false, "a value is required for '--module <MODULE>...'"},
      {{"rum"}, false, "a similar subcommand exists: 'run'"},
      {{"run", "-o", "a", "-o", "b", "x.py"}, false, "cannot be used multiple times"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.argv));
    CliMessage m = message(c.argv);
    EXPECT_EQ(m.requested, c.requested);
    EXPECT_EQ(m.exit_code(), c.requested ? 0 : 2);
    EXPECT_NE(m.text.find(c.contains), std::string::npos) << m.text;
  }
}

TEST(CliArgs, ProgramNameIsTheLastPathComponent) {
  EXPECT_EQ(program_name({"/usr/local/bin/morvex"}), "morvex");
  EXPECT_EQ(program_name({"python3.13 -m morvex"}), "python3.13 -m morvex");
  EXPECT_EQ(program_name({"dir/"}), "dir");
  EXPECT_EQ(program_name({"/"}), "morvex");
  EXPECT_EQ(program_name({}), "morvex");
}

}  // namespace
}  // namespace morvex::app
