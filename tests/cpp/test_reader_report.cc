// `morvex report`: the text and JSON renderings of a known program.
#include <gtest/gtest.h>

#include <sstream>

#include "reader/report.h"
#include "reader/text.h"
#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::ReportOptions;
using reader::SortKey;
using reader::Trace;

Trace known(Fmt fmt, uint64_t dropped = 0) {
  TraceFile file;
  write_runs(file, fmt, program_code(), program_threads(),
             {ProcessRun{.events = program(), .dropped = dropped}}, 5);
  Trace t = read_ok(file.path());
  t.path = "app.trace";  // a fixed name for the expected text
  return t;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string text_of(const Trace& t, const ReportOptions& o) {
  auto r = reader::report_text(t, o);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : "";
}

TEST(ReportText, AKnownProgram) {
  EXPECT_EQ(text_of(known(Fmt::Json), {}),
            "Trace      app.trace (JSON)\n"
            "Span       300 ns, from 0 ns to 300 ns on the trace's clock\n"
            "Events     28\n"
            "Processes  pid 100 (2 threads)\n"
            "Threads\n"
            "  MainThread (pid 100, tid 1)  300 ns traced\n"
            "  worker-0 (pid 100, tid 2)    45 ns traced\n"
            "\n"
            "5 functions by self time, all threads:\n"
            "function  location        calls  resumes   total    self    mean     max\n"
            "main      /app/app.py:1       1        0  300 ns  140 ns  300 ns  300 ns\n"
            "fib       /app/app.py:30    5/1        0   80 ns   80 ns   80 ns   80 ns\n"
            "f         /app/app.py:10      3        0   80 ns   70 ns   26 ns   30 ns\n"
            "gen       /app/app.py:40      1        2   30 ns   30 ns   30 ns   10 ns\n"
            "g         /app/app.py:20      2        0   55 ns   25 ns   27 ns   45 ns\n"
            "\n"
            "Location: the file and first line of the function; a long path keeps its last "
            "parts.\n"
            "Resumes: slices begun by resuming a generator or coroutine (or by throwing into "
            "it);\n"
            "they are not calls, but their time counts in total, self, mean and max.\n"
            "Calls a/b: a calls in all, b of them not made inside a call of the same function;\n"
            "mean is total / b. Recursion counts once in total.\n");
}

TEST(ReportText, SortKeysTopAndPerThreadTables) {
  // Both formats order alike: gen's resumes are not calls in either.
  struct {
    SortKey sort;
    std::vector<std::string> order;
  } const cases[] = {
      {SortKey::Self, {"main", "fib", "f", "gen", "g"}},
      {SortKey::Total, {"main", "f", "fib", "g", "gen"}},
      {SortKey::Calls, {"fib", "f", "g", "main", "gen"}},
      {SortKey::Max, {"main", "fib", "g", "f", "gen"}},
  };
  for (Fmt fmt : {Fmt::Proto, Fmt::Json}) {
    Trace t = known(fmt);
    for (const auto& c : cases) {
      ReportOptions o;
      o.sort = c.sort;
      auto lines = lines_of(text_of(t, o));
      auto at = std::find_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.starts_with("function"); });
      ASSERT_NE(at, lines.end());
      for (size_t i = 0; i < c.order.size(); ++i) {
        EXPECT_TRUE(at[1 + i].starts_with(c.order[i] + " ")) << at[1 + i];
      }
    }
  }
  Trace t = known(Fmt::Proto);
  ReportOptions o;
  o.top = 2;
  o.per_thread = true;
  const std::string text = text_of(t, o);
  EXPECT_NE(text.find("MainThread (pid 100, tid 1): 300 ns traced\n"
                      "Top 2 of 5 functions by self time:\n"
                      "function  location        calls   total    self    mean     max\n"
                      "main      /app/app.py:1       1  300 ns  140 ns  300 ns  300 ns\n"
                      "fib       /app/app.py:30    5/1   80 ns   80 ns   80 ns   80 ns\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("worker-0 (pid 100, tid 2): 45 ns traced\n"
                      "2 functions by self time:\n"
                      "function  location        calls  total   self   mean    max\n"
                      "f         /app/app.py:10      1  30 ns  30 ns  30 ns  30 ns\n"
                      "g         /app/app.py:20      1  45 ns  15 ns  45 ns  45 ns\n"),
            std::string::npos)
      << text;
}

TEST(ReportText, NotesComeFirstInPlainWords) {
  Trace t = known(Fmt::Json, 12288);
  t.processes[0].filters = reader::FilterInfo{.include = "app.*",
                                              .max_depth = 5,
                                              .min_duration_ns = 100000,
                                              .filtered_functions = 3,
                                              .max_depth_events = 42,
                                              .min_duration_events = 1};
  t.damage = reader::Damage::CutOff;
  t.damage_offset = 4000;
  t.file_size = 4100;
  t.open_at_end = 2;
  auto lines = lines_of(text_of(t, {}));
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "12,288 events were dropped while tracing; figures are lower bounds.");
  EXPECT_EQ(lines[1],
            "Filtered while recording: include \"app.*\", max depth 5, min duration 100 us "
            "(3 functions left out by include/exclude, 42 events beyond max depth 5, 1 slice "
            "shorter than 100 us).");
  EXPECT_EQ(lines[2],
            "The trace is cut off at byte 4,000 of 4,100 (was the writing process killed?); "
            "figures cover what comes before.");
  EXPECT_EQ(lines[3],
            "2 slices were still open when the trace ended; they are counted up to the trace's "
            "last event.");
  EXPECT_EQ(lines[4], "");
  EXPECT_TRUE(lines[5].starts_with("Trace "));
}

TEST(ReportText, FiltersOfSeveralProcessesAddUpOrGoPerProcess) {
  Trace t = known(Fmt::Json);
  t.processes.push_back(reader::Process{.pid = 200});
  const reader::FilterInfo a{.exclude = "x", .filtered_functions = 2};
  t.processes[0].filters = a;
  t.processes[1].filters = a;
  EXPECT_EQ(reader::trace_notes(t),
            std::vector<std::string>{"Filtered while recording: exclude \"x\" (4 functions left "
                                     "out by include/exclude)."});
  t.processes[1].filters->exclude = "y";
  EXPECT_EQ(reader::trace_notes(t),
            (std::vector<std::string>{
                "Filtered while recording in pid 100: exclude \"x\" (2 functions left out by "
                "include/exclude).",
                "Filtered while recording in pid 200: exclude \"y\" (2 functions left out by "
                "include/exclude)."}));
  EXPECT_EQ(reader::trace_notes(t, 200u).size(), 1u);
}

TEST(ReportText, LongNamesAreShortenedToTheWidth) {
  TraceFile file;
  FakeCode code;
  const std::string name = "package.subpackage.module.OuterClass.<locals>.InnerClass.method_name";
  const std::string path = "/home/someone/projects/service/src/package/subpackage/module.py";
  code.infos = {{0, {name, path, 1234}}, {1, {"short", "s.py", 1}}};
  write_runs(file, Fmt::Json, code, FakeThreads{},
             {ProcessRun{.events = {at(0, 1, EventKind::Start, 0), at(5, 1, EventKind::Start, 1),
                                    at(9, 1, EventKind::Return, 1),
                                    at(1'000'000, 1, EventKind::Return, 0)}}});
  Trace t = read_ok(file.path());
  for (size_t width : {120u, 100u, 80u}) {
    SCOPED_TRACE(width);
    ReportOptions o;
    o.width = width;
    auto lines = lines_of(text_of(t, o));
    auto at = std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.starts_with("function"); });
    ASSERT_NE(at, lines.end());
    const size_t header = reader::display_width(*at);
    EXPECT_LE(header, width);
    for (auto row = at + 1; row != at + 3; ++row) {
      EXPECT_EQ(reader::display_width(*row), header) << *row;  // columns line up
    }
    // The end of the name and the file name survive.
    EXPECT_NE(at[1].find("method_name"), std::string::npos) << at[1];
    EXPECT_NE(at[1].find("module.py:1234"), std::string::npos) << at[1];
  }
}

TEST(ReportText, APidFilterAndAnUnknownPid) {
  TraceFile file;
  write_runs(
      file, Fmt::Proto, program_code(), program_threads(),
      {ProcessRun{.pid = 100, .events = program()},
       ProcessRun{.pid = 200, .sequence_base = 200, .events = {at(1, 1, EventKind::Start, 1)}}});
  Trace t = read_ok(file.path());
  ReportOptions o;
  o.pid = 200;
  const std::string text = text_of(t, o);
  EXPECT_NE(text.find("Processes  pid 200 python (1 thread); showing this process only, of 2\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("1 function by self time, this process:\nfunction"), std::string::npos);
  o.pid = 7;
  auto bad = reader::report_text(t, o);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text(), "pid 7 is not in " + file.path() + " (its pids: 100, 200)");
  EXPECT_FALSE(reader::report_json(t, o).ok());
}

TEST(ReportText, LongListsOfProcessesAndThreadsAreCut) {
  std::vector<ProcessRun> runs;
  for (int32_t p = 0; p < 8; ++p) {
    std::vector<core::Event> events;
    for (uint32_t tid = 1; tid <= 2; ++tid) {
      events.push_back(at(10, tid, EventKind::Start, 1));
      events.push_back(at(20, tid, EventKind::Return, 1));
    }
    runs.push_back(
        ProcessRun{.pid = 100 + p, .sequence_base = p == 0 ? 0u : 100u + p, .events = events});
  }
  TraceFile file;
  write_runs(file, Fmt::Json, program_code(), FakeThreads{}, runs);
  const std::string text = text_of(read_ok(file.path()), {});
  EXPECT_NE(
      text.find("Processes  pid 100 (2 threads), pid 101 (2 threads), pid 102 (2 threads), "
                "pid 103 (2 threads), pid 104 (2 threads), pid 105 (2 threads), and 2 more\n"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("  thread 1 (pid 104, tid 1)  10 ns traced\n"
                      "  thread 2 (pid 104, tid 2)  10 ns traced\n"
                      "  ... and 6 more threads\n"),
            std::string::npos)
      << text;
}

TEST(ReportText, AnEmptyTrace) {
  const Trace t = read_bytes_ok("[");
  EXPECT_EQ(text_of(t, {}),
            "Trace      mem (JSON)\n"
            "Span       no timed events\n"
            "Events     0\n"
            "Processes  none\n"
            "\n"
            "No function slices were recorded.\n");
}

TEST(ReportJson, RowsWithTheirKeys) {
  Trace t = known(Fmt::Json);
  ReportOptions o;
  o.top = 2;
  EXPECT_EQ(reader::report_json(t, o).value(),
            "[\n"
            "  {\"function\":\"main\",\"file\":\"/app/app.py\",\"line\":1,\"kind\":\"function\","
            "\"calls\":1,\"primitive_calls\":1,\"resumes\":0,\"total_ns\":300,\"self_ns\":140,"
            "\"max_ns\":300},\n"
            "  {\"function\":\"fib\",\"file\":\"/app/app.py\",\"line\":30,\"kind\":\"function\","
            "\"calls\":5,\"primitive_calls\":1,\"resumes\":0,\"total_ns\":80,\"self_ns\":80,"
            "\"max_ns\":80}\n"
            "]\n");
  o.per_thread = true;
  o.top = 1;
  EXPECT_EQ(reader::report_json(t, o).value(),
            "[\n"
            "  {\"function\":\"main\",\"file\":\"/app/app.py\",\"line\":1,\"kind\":\"function\","
            "\"calls\":1,\"primitive_calls\":1,\"resumes\":0,\"total_ns\":300,\"self_ns\":140,"
            "\"max_ns\":300,"
            "\"pid\":100,\"tid\":1,\"thread\":\"MainThread\"},\n"
            "  {\"function\":\"f\",\"file\":\"/app/app.py\",\"line\":10,\"kind\":\"function\","
            "\"calls\":1,\"primitive_calls\":1,\"resumes\":0,\"total_ns\":30,\"self_ns\":30,"
            "\"max_ns\":30,"
            "\"pid\":100,\"tid\":2,\"thread\":\"worker-0\"}\n"
            "]\n");
}

TEST(ReportJson, SpansAndNamesThatNeedEscaping) {
  const std::string text =
      "[{\"name\":\"q\\\"x\\u0001\xff\",\"cat\":\"user\",\"ph\":\"B\",\"ts\":1,\"pid\":1,\"tid\":1}"
      ","
      "{\"ph\":\"E\",\"ts\":2,\"pid\":1,\"tid\":1},";
  Trace t = read_bytes_ok(text);
  EXPECT_EQ(reader::report_json(t, {}).value(),
            "[\n  {\"function\":\"q\\\"x\\u0001\xef\xbf\xbd\",\"file\":\"\",\"line\":0,"
            "\"kind\":\"span\",\"calls\":1,\"primitive_calls\":1,\"resumes\":0,"
            "\"total_ns\":1000,\"self_ns\":1000,\"max_ns\":1000}\n]\n");
  EXPECT_EQ(reader::report_json(Trace{}, {}).value(), "[]\n");
}

TEST(ReportOptions, SortKeysByName) {
  EXPECT_EQ(reader::parse_sort_key("calls").value(), SortKey::Calls);
  EXPECT_EQ(reader::parse_sort_key("max").value(), SortKey::Max);
  auto bad = reader::parse_sort_key("cumtime");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text(), "unknown sort key \"cumtime\" (choose self, total, calls or max)");
}

}  // namespace
}  // namespace morvex::test
