#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "app/cli_args.h"

namespace morvex::app {
namespace {

using Argv = std::vector<std::string>;

template <class Args = RunArgs>
Args parsed(Argv argv) {
  argv.insert(argv.begin(), "morvex");
  auto r = parse_command_line(argv);
  if (auto* m = std::get_if<CliMessage>(&r)) {
    ADD_FAILURE() << "not parsed: " << m->text;
    return {};
  }
  const Args* args = std::get_if<Args>(&std::get<Command>(r));
  if (args == nullptr) {
    ADD_FAILURE() << "another subcommand";
    return {};
  }
  return *args;
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
      {{"help", "report"}, true, "[possible values: self, total, calls, max]"},
      {{"convert", "--help"}, true, "--to <KIND>"},
      {{"open", "-h"}, true, "--no-browser"},
      {{"--help"}, true, "report"},
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

TEST(CliArgs, RunTakesWhatToRecord) {
  RunArgs a = parsed({"run", "-o", "t", "--include", "app,lib.db", "--include=*/x/*", "--exclude",
                      ":stdlib", "--max-depth", "5", "--min-duration", "1.5ms", "--lossless",
                      "--open", "app.py", "a1", "--include", "y"});
  EXPECT_EQ(a.options.filters.include, (Argv{"app", "lib.db", "*/x/*"}));
  EXPECT_EQ(a.options.filters.exclude, (Argv{":stdlib"}));
  EXPECT_EQ(a.options.filters.max_depth, 5u);
  EXPECT_EQ(a.options.filters.min_duration_ns, 1'500'000u);
  EXPECT_TRUE(a.options.lossless);
  EXPECT_TRUE(a.open);
  EXPECT_EQ(a.script_args, (Argv{"a1", "--include", "y"})) << "after the script's first argument";
  RunArgs plain = parsed({"run", "-o", "t", "app.py"});
  EXPECT_FALSE(plain.options.any() || plain.open);
  // A depth no recursion reaches is the deepest kept, as Tracer keeps it;
  // UINT32_MAX itself would mean no limit to the callbacks.
  for (const char* deep : {"4294967294", "4294967295"}) {
    EXPECT_EQ(parsed({"run", "-o", "t", "--max-depth", deep, "app.py"}).options.filters.max_depth,
              morvex::core::kDeepestMaxDepth);
  }
}

TEST(CliArgs, AttachTakesRunsRecordingOptionsAndADuration) {
  AttachArgs a = parsed<AttachArgs>({"attach", "--exclude", ":stdlib,x", "4242", "-o", "t.json",
                                     "-f", "json", "--lossless", "--min-duration", "2us",
                                     "--duration", "1.5m"});
  EXPECT_EQ(a.pid, 4242u);
  EXPECT_EQ(a.output, "t.json");
  EXPECT_EQ(a.format, Format::Json);
  EXPECT_EQ(a.options.filters.exclude, (Argv{":stdlib", "x"}));
  EXPECT_EQ(a.options.filters.min_duration_ns, 2'000u);
  EXPECT_TRUE(a.options.lossless);
  EXPECT_EQ(a.duration_ns, 90'000'000'000u);
  EXPECT_FALSE(parsed<AttachArgs>({"attach", "1", "-o", "t"}).duration_ns.has_value());
  for (auto [text, ns] : {std::pair{"10s", 10'000'000'000ull}, std::pair{"500ms", 500'000'000ull},
                          std::pair{"2m", 120'000'000'000ull}, std::pair{"3", 3'000'000'000ull},
                          std::pair{"0.25", 250'000'000ull}}) {
    EXPECT_EQ(parsed<AttachArgs>({"attach", "1", "-o", "t", "--duration", text}).duration_ns, ns)
        << text;
  }
  for (const char* bad : {"0", "0m", "m", "xm", "2 m", "-1s", "1e30m", "2h", "s"}) {
    CliMessage m = message({"attach", "1", "-o", "t", "--duration", bad});
    EXPECT_EQ(m.exit_code(), 2) << bad;
    EXPECT_NE(m.text.find("'--duration <DURATION>'"), std::string::npos) << bad << m.text;
  }
  for (const char* bad : {"0", "x", "2147483648", "99999999999"}) {
    CliMessage m = message({"attach", bad, "-o", "t"});
    EXPECT_NE(m.text.find("for '<PID>': a process id"), std::string::npos) << bad << m.text;
  }
  // What starts a program is run's alone.
  for (const char* only_run : {"--open", "-m"}) {
    EXPECT_EQ(message({"attach", "1", "-o", "t", only_run, "x"}).exit_code(), 2) << only_run;
  }
}

TEST(CliArgs, AUsageErrorFoundLaterReadsAsTheParsersOwn) {
  // What the parser says of a bad --to, and what the command says of an
  // output name it cannot tell a kind from, are worded alike.
  CliMessage parser = message({"convert", "t", "-o", "x", "--to", "nope"});
  CliMessage later = usage_error("morvex", "convert", "cannot tell the output kind");
  EXPECT_EQ(later.exit_code(), parser.exit_code());
  EXPECT_EQ(later.text.rfind("error: cannot tell the output kind\n", 0), 0u) << later.text;
  const std::string usage = "Usage: morvex convert [OPTIONS] --output <OUT> <TRACE>";
  EXPECT_NE(parser.text.find(usage), std::string::npos) << parser.text;
  EXPECT_NE(later.text.find(usage), std::string::npos) << later.text;
}

TEST(CliArgs, TheOtherSubcommandsTakeOptionsAnywhere) {
  ReportArgs r = parsed<ReportArgs>(
      {"report", "t.pftrace", "--top", "5", "--sort=calls", "--threads", "--pid", "42", "--json"});
  EXPECT_EQ(r.traces, std::vector<std::string>{"t.pftrace"});
  EXPECT_EQ(r.top, 5u);
  EXPECT_EQ(r.sort, "calls");
  EXPECT_TRUE(r.threads && r.json);
  EXPECT_EQ(r.pid, 42u);
  ReportArgs d = parsed<ReportArgs>({"report", "--", "-odd-name"});
  EXPECT_EQ(d.traces, std::vector<std::string>{"-odd-name"});
  // Several traces, options before, between and after them.
  ReportArgs several = parsed<ReportArgs>({"report", "a.pb", "--top", "5", "b.json", "--threads"});
  EXPECT_EQ(several.traces, (std::vector<std::string>{"a.pb", "b.json"}));
  EXPECT_EQ(several.top, 5u);
  EXPECT_TRUE(several.threads);
  MergeArgs m = parsed<MergeArgs>({"merge", "a.pb", "b.json", "-o", "all.json", "c.pb"});
  EXPECT_EQ(m.traces, (std::vector<std::string>{"a.pb", "b.json", "c.pb"}));
  EXPECT_EQ(m.output, "all.json");
  EXPECT_EQ(d.top, 30u);
  EXPECT_EQ(d.sort, "self");
  ConvertArgs c = parsed<ConvertArgs>({"convert", "-o", "out.svg", "t.json"});
  EXPECT_EQ(c.output, "out.svg");
  EXPECT_EQ(c.to, std::nullopt);
  EXPECT_FALSE(c.svg_per_thread);
  EXPECT_EQ(parsed<ConvertArgs>({"convert", "t", "--to", "pstats", "-o", "x"}).to, "pstats");
  EXPECT_TRUE(
      parsed<ConvertArgs>({"convert", "--svg-per-thread", "t", "-o", "x.svg"}).svg_per_thread);
  OpenArgs o = parsed<OpenArgs>({"open", "t", "--no-browser", "--port", "8000"});
  EXPECT_EQ(o.port, 8000);
  EXPECT_FALSE(o.browser);
  EXPECT_TRUE(parsed<OpenArgs>({"open", "t"}).browser);
  EXPECT_FALSE(o.once);
  EXPECT_TRUE(parsed<OpenArgs>({"open", "t", "--once"}).once);
}

// Origins are compared with what browsers send: written the way they write it.
TEST(CliArgs, OriginsAreTakenAsBrowsersWriteThem) {
  OpenArgs o = parsed<OpenArgs>({"open", "t", "--origin", "HTTPS://Perfetto.Example.com:443/",
                                 "--origin=http://10.0.0.2:8080", "--origin", "http://[::1]:80",
                                 "--origin", "https://ui.example:0443"});
  EXPECT_EQ(o.origins,
            (std::vector<std::string>{"https://perfetto.example.com", "http://10.0.0.2:8080",
                                      "http://[::1]", "https://ui.example"}));
  EXPECT_TRUE(parsed<OpenArgs>({"open", "t"}).origins.empty());
  for (const char* bad : {"perfetto.example.com", "ftp://x", "https://", "https://x/ui",
                          "https://x:0", "https://x:70000", "https://x:", "https://a b",
                          "https://[::1", "https://[]", "https://x?y", "https://u@x"}) {
    CliMessage m = message({"open", "t", "--origin", bad});
    EXPECT_NE(m.text.find(std::string("invalid value '") + bad + "' for '--origin <URL>'"),
              std::string::npos)
        << m.text;
  }
}

TEST(CliArgs, BadValuesAreUsageErrorsNamingThem) {
  const std::pair<Argv, const char*> cases[] = {
      {{"run", "-o", "t", "--include", "a b", "x.py"}, "invalid value 'a b' for '--include"},
      {{"run", "-o", "t", "--exclude", "ok,", "x.py"}, "an empty pattern"},
      {{"run", "-o", "t", "--max-depth", "0", "x.py"}, "invalid value '0' for '--max-depth <N>'"},
      {{"run", "-o", "t", "--max-depth", "x", "x.py"}, "invalid value 'x'"},
      {{"run", "-o", "t", "--min-duration", "5 parsecs", "x.py"}, "'5 parsecs'"},
      {{"run", "-o", "t", "--lossless=yes", "x.py"}, "unexpected value 'yes' for '--lossless'"},
      {{"run", "-o", "t", "--lossless", "--lossless", "x.py"}, "cannot be used multiple times"},
      {{"report"}, "<TRACE>"},
      {{"report", "t", "--sort", "Self"}, "a similar value exists: 'self'"},
      {{"report", "t", "--top", "-1"}, "a value is required for '--top <N>'"},
      {{"merge", "t"}, "--output <OUT>"},
      {{"merge", "-o", "x"}, "<TRACE>..."},
      {{"merge", "a.pb", "-o", "all.PFTRACE"}, "merge writes Chrome trace-event JSON"},
      {{"convert", "t"}, "--output <OUT>"},
      {{"convert", "t", "-o", "x", "--to", "svgz"}, "[possible values: pstats, collapsed"},
      {{"convert", "t", "-o", "x.svg", "--svg-per-thread=1"},
       "unexpected value '1' for '--svg-per-thread'"},
      {{"open", "t", "--port", "70000"}, "invalid value '70000'"},
      {{"--"}, "[subcommands: run, attach, report, merge, convert, open, help]"},
  };
  for (const auto& [argv, words] : cases) {
    CliMessage m = message(argv);
    EXPECT_FALSE(m.requested);
    EXPECT_NE(m.text.find(words), std::string::npos) << m.text;
  }
}

// Patterns as the system may hand them over: not text, one bad among good
// ones, or a megabyte long. The message names the culprit in one short line.
TEST(CliArgs, BadPatternsAreNamedShortly) {
  const std::string huge = std::string(1 << 20, 'a') + " b";
  const std::pair<Argv, std::string> cases[] = {
      {{"run", "-o", "t", "--include", "a\xff", "x.py"},
       "invalid value 'a\xef\xbf\xbd' for '--include <PATTERN>': not UTF-8 text"},
      {{"run", "-o", "t", "--exclude", "app,*/\xc3(*", "x.py"}, "'*/\xef\xbf\xbd(*': not UTF-8"},
      {{"run", "-o", "t", "--include", "app,a b,x", "x.py"},
       "invalid value 'app,a b,x' for '--include <PATTERN>': 'a b': neither a dotted module name"},
      {{"run", "-o", "t", "--exclude", ":std", "x.py"},
       "invalid value ':std' for '--exclude <PATTERN>': not a named set (the named sets are "
       ":stdlib and :site-packages)"},
      {{"run", "-o", "t", "--exclude", huge, "x.py"},
       "invalid value '" + std::string(59, 'a') + "\u2026' for '--exclude <PATTERN>'"},
  };
  for (const auto& [argv, words] : cases) {
    CliMessage m = message(argv);
    EXPECT_NE(m.text.find(words), std::string::npos) << m.text;
    EXPECT_LT(m.text.size(), 600u);
  }
}

TEST(CliArgs, ProgramNameIsTheLastPathComponent) {
  EXPECT_EQ(program_name({"/usr/local/bin/morvex"}), "morvex");
  EXPECT_EQ(program_name({"python3.13 -m morvex"}), "python3.13 -m morvex");
  EXPECT_EQ(program_name({"dir/"}), "dir");
  EXPECT_EQ(program_name({"/"}), "morvex");
  EXPECT_EQ(program_name({}), "morvex");
}

TEST(CliArgs, VersionIsPrintedAsHelpIs) {
  for (const char* flag : {"--version", "-V"}) {
    CliMessage m = message({flag});
    EXPECT_TRUE(m.requested) << flag;
    EXPECT_EQ(m.exit_code(), 0);
    EXPECT_EQ(m.text, std::string("morvex ") + MORVEX_VERSION + "\n");
  }
  EXPECT_NE(message({"--help"}).text.find("-V, --version  Print version"), std::string::npos);
  CliMessage typo = message({"--versio"});
  EXPECT_FALSE(typo.requested);
  EXPECT_NE(typo.text.find("a similar argument exists: '--version'"), std::string::npos);
  // A subcommand's -V is none of ours.
  EXPECT_FALSE(message({"report", "-V", "t.json"}).requested);
}

TEST(CliArgs, ReportSummaryHasNoTables) {
  ReportArgs a = parsed<ReportArgs>({"report", "--summary", "--json", "t.pftrace"});
  EXPECT_TRUE(a.summary);
  EXPECT_TRUE(a.json);
  EXPECT_FALSE(parsed<ReportArgs>({"report", "t.pftrace"}).summary);
  const std::pair<Argv, const char*> refused[] = {
      {{"--top", "5"}, "'--top <N>'"},
      {{"--sort", "total"}, "'--sort <KEY>'"},
      {{"--threads"}, "'--threads'"},
      {{"--pid", "3"}, "'--pid <PID>'"},
  };
  for (const auto& [extra, shown] : refused) {
    Argv argv = {"report", "--summary", "t.pftrace"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    CliMessage m = message(argv);
    EXPECT_EQ(m.exit_code(), 2);
    EXPECT_NE(m.text.find(std::string("the argument ") + shown +
                          " cannot be used with '--summary'"),
              std::string::npos)
        << m.text;
  }
}

}  // namespace
}  // namespace morvex::app
