// The reader's figures for programs whose call structure is known, written
// by morvex's own exporters in both formats.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::Trace;

Trace read_program(Fmt fmt, std::vector<ProcessRun> runs, size_t batch = 5) {
  TraceFile file;
  write_runs(file, fmt, program_code(), program_threads(), runs, batch);
  return read_ok(file.path());
}

class ReaderModel : public ::testing::TestWithParam<Fmt> {};

TEST_P(ReaderModel, ExactFiguresOfAKnownProgram) {
  const Fmt fmt = GetParam();
  Trace t = read_program(fmt, {ProcessRun{.events = program()}});
  EXPECT_EQ(t.format, fmt == Fmt::Proto ? reader::Format::Perfetto : reader::Format::Json);
  EXPECT_EQ(t.damage, reader::Damage::None);
  EXPECT_EQ(t.events, 28u);
  EXPECT_EQ(t.first_ts, 0u);
  EXPECT_EQ(t.last_ts, 300u);
  EXPECT_EQ(t.open_at_end, 0u);
  EXPECT_EQ(t.unmatched_ends, 0u);

  struct Want {
    const char* name;
    uint64_t calls, primitive, slices, total, self, max;
    uint32_t line;
  } const want[] = {
      {"main", 1, 1, 1, 300, 140, 300, 1},
      {"f", 3, 3, 3, 80, 70, 30, 10},
      {"g", 2, 2, 2, 55, 25, 45, 20},
      // Recursion: five calls, one primitive, total counted once.
      {"fib", 5, 1, 5, 80, 80, 80, 30},
      // The resume and the throw are slices, not calls, in both formats.
      {"gen", 1, 1, 3, 30, 30, 10, 40},
  };
  auto rows = all_rows(t);
  ASSERT_EQ(rows.size(), 5u);
  for (const Want& w : want) {
    SCOPED_TRACE(w.name);
    auto r = row_of(t, rows, w.name);
    EXPECT_EQ(r.calls, w.calls);
    EXPECT_EQ(r.primitive_calls, w.primitive);
    EXPECT_EQ(r.slices, w.slices);
    EXPECT_EQ(r.total_ns, w.total);
    EXPECT_EQ(r.self_ns, w.self);
    EXPECT_EQ(r.max_ns, w.max);
    EXPECT_LE(r.self_ns, r.total_ns);
    const auto& f = t.functions[r.function];
    EXPECT_EQ(f.file, "/app/app.py");
    EXPECT_EQ(f.line, w.line);
    EXPECT_FALSE(f.span);
  }
}

TEST_P(ReaderModel, SelfTimesOfEachThreadAddUpToItsTracedTime) {
  Trace t = read_program(GetParam(), {ProcessRun{.events = program()}});
  ASSERT_EQ(t.threads.size(), 2u);
  const std::map<std::string, uint64_t> traced = {{"MainThread", 300}, {"worker-0", 45}};
  for (uint32_t i = 0; i < t.threads.size(); ++i) {
    const auto& th = t.threads[i];
    SCOPED_TRACE(th.name);
    EXPECT_EQ(th.pid, 100u);
    EXPECT_EQ(th.traced_ns, traced.at(th.name));
    uint32_t one[] = {i};
    uint64_t self = 0;
    for (const auto& r : reader::function_stats(t, one)) {
      self += r.self_ns;
      EXPECT_LE(r.self_ns, r.total_ns);
    }
    EXPECT_EQ(self, th.traced_ns);
  }
  EXPECT_EQ(t.threads[0].tid, kMain);
  EXPECT_EQ(t.threads[1].tid, kWorker);
}

TEST_P(ReaderModel, CallTreeKeepsDistinctStacks) {
  Trace t = read_program(GetParam(), {ProcessRun{.events = program()}});
  // MainThread: main -> {f -> g, fib -> fib -> fib, gen}.
  auto name = [&](uint32_t n) { return t.functions[t.nodes[n].function].name; };
  const auto& root = t.nodes[t.threads[0].root];
  uint32_t main = root.first_child;
  ASSERT_NE(main, reader::kNone);
  EXPECT_EQ(name(main), "main");
  EXPECT_EQ(t.nodes[main].next_sibling, reader::kNone);
  std::vector<std::string> children;
  for (uint32_t c = t.nodes[main].first_child; c != reader::kNone; c = t.nodes[c].next_sibling)
    children.push_back(name(c));
  EXPECT_EQ(children, (std::vector<std::string>{"f", "fib", "gen"}));
  uint32_t fib = t.nodes[t.nodes[main].first_child].next_sibling;
  uint32_t fib2 = t.nodes[fib].first_child;
  uint32_t fib3 = t.nodes[fib2].first_child;
  EXPECT_EQ(t.nodes[fib].slices, 1u);
  EXPECT_EQ(t.nodes[fib2].slices, 2u);
  EXPECT_EQ(t.nodes[fib3].slices, 2u);
  EXPECT_EQ(t.nodes[fib2].total_ns, 40u + 10u);
  EXPECT_EQ(t.nodes[fib2].self_ns, 25u + 10u);
}

TEST(ReaderModel, BothFormatsGiveTheSameFigures) {
  std::vector<ProcessRun> runs = {ProcessRun{.events = program(), .dropped = 7}};
  Trace p = read_program(Fmt::Proto, runs);
  Trace j = read_program(Fmt::Json, runs);
  auto prows = all_rows(p), jrows = all_rows(j);
  ASSERT_EQ(prows.size(), jrows.size());
  for (const auto& jr : jrows) {
    const std::string& name = j.functions[jr.function].name;
    SCOPED_TRACE(name);
    auto pr = row_of(p, prows, name);
    EXPECT_EQ(pr.slices, jr.slices);
    EXPECT_EQ(pr.total_ns, jr.total_ns);
    EXPECT_EQ(pr.self_ns, jr.self_ns);
    EXPECT_EQ(pr.max_ns, jr.max_ns);
    EXPECT_EQ(pr.calls, jr.calls);
    EXPECT_EQ(pr.primitive_calls, jr.primitive_calls);
    EXPECT_EQ(p.functions[pr.function].file, j.functions[jr.function].file);
    EXPECT_EQ(p.functions[pr.function].line, j.functions[jr.function].line);
  }
  EXPECT_EQ(p.dropped(), 7u);
  EXPECT_EQ(j.dropped(), 7u);
  EXPECT_EQ(p.events, j.events);
}

TEST_P(ReaderModel, OpenSlicesCloseAtTheEndAndStrayEndsAreDropped) {
  auto events = program();
  // Thread 3: an end whose begin came before the trace, then a call that
  // never returns; the trace's last time is main's return at 300.
  events.push_back(at(5, 3, EventKind::Return, 0));
  events.push_back(at(20, 3, EventKind::Start, 1));
  events.push_back(at(25, 3, EventKind::Start, 2));
  events.push_back(at(28, 3, EventKind::Unwind, 2));
  events.push_back(at(29, 3, EventKind::Return, 1));
  events.push_back(at(29, 3, EventKind::Unwind, 1));  // nothing open any more
  events.push_back(at(40, 3, EventKind::Start, 2));
  Trace t = read_program(GetParam(), {ProcessRun{.events = events}});
  EXPECT_EQ(t.unmatched_ends, 2u);
  EXPECT_EQ(t.open_at_end, 1u);
  const reader::Thread* th = nullptr;
  for (const auto& x : t.threads) {
    if (x.tid == 3) th = &x;
  }
  ASSERT_NE(th, nullptr);
  EXPECT_EQ(th->name, "");
  EXPECT_EQ(th->traced_ns, 9u + 260u);
  EXPECT_EQ(th->last_ts, 300u);
  auto g = row_of(t, all_rows(t), "g");
  EXPECT_EQ(g.max_ns, 260u);
  EXPECT_EQ(g.total_ns, 10u + 45u + 3u + 260u);
}

TEST_P(ReaderModel, TimesThatGoBackwardsOnAThreadAreRaised) {
  // A skewed clock: the inner call ends before it began.
  Trace t = read_program(
      GetParam(),
      {ProcessRun{.events = {at(100, 1, EventKind::Start, 0), at(150, 1, EventKind::Start, 1),
                             at(120, 1, EventKind::Return, 1), at(200, 1, EventKind::Return, 0)}}});
  auto rows = all_rows(t);
  EXPECT_EQ(row_of(t, rows, "f").total_ns, 0u);
  EXPECT_EQ(row_of(t, rows, "main").self_ns, 100u);
  EXPECT_EQ(t.threads[0].traced_ns, 100u);
}

TEST_P(ReaderModel, ProcessesAppendingToOneFileStayApart) {
  const Fmt fmt = GetParam();
  std::vector<ProcessRun> runs = {
      ProcessRun{.pid = 100, .events = program(), .dropped = 12288},
      ProcessRun{.pid = 200, .sequence_base = 200, .events = program(), .dropped = 5},
      ProcessRun{
          .pid = 300,
          .sequence_base = 300,
          .events = {at(400, kHigh, EventKind::Start, 1), at(500, kHigh, EventKind::Return, 1)}},
  };
  Trace t = read_program(fmt, runs, 7);
  ASSERT_EQ(t.processes.size(), 3u);
  EXPECT_EQ(t.processes[0].pid, 100u);
  EXPECT_EQ(t.processes[1].pid, 200u);
  EXPECT_EQ(t.processes[0].dropped, 12288u);
  EXPECT_EQ(t.processes[1].dropped, 5u);
  EXPECT_EQ(t.dropped(), 12293u);
  ASSERT_EQ(t.threads.size(), 5u);
  const uint32_t pids[] = {100, 100, 200, 200, 300};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(t.threads[i].pid, pids[i]) << i;
  // A tid of 2^31 and more is negative in Perfetto's int32 and comes back.
  EXPECT_EQ(t.threads[4].tid, kHigh);
  EXPECT_EQ(t.threads[4].name, "high");
  EXPECT_EQ(t.last_ts, 500u);

  auto pid200 = reader::threads_of(t, 200u);
  auto rows = reader::function_stats(t, pid200);
  EXPECT_EQ(row_of(t, rows, "main").self_ns, 140u);
  auto all = all_rows(t);
  EXPECT_EQ(row_of(t, all, "fib").total_ns, 160u);
  EXPECT_EQ(row_of(t, all, "f").calls, 7u);
  if (fmt == Fmt::Proto) {
    EXPECT_EQ(t.processes[0].name, "python");
  }
}

TEST_P(ReaderModel, ChunkSizeDoesNotChangeTheResult) {
  const Fmt fmt = GetParam();
  TraceFile file;
  write_runs(file, fmt, program_code(), program_threads(),
             {ProcessRun{.events = program(), .dropped = 3},
              ProcessRun{.pid = 200, .sequence_base = 200, .events = program()}},
             3);
  auto describe = [](const Trace& t) {
    std::ostringstream s;
    s << t.events << " " << t.dropped() << " " << t.threads.size() << "\n";
    for (const auto& r : all_rows(t)) {
      s << t.functions[r.function].name << " " << r.calls << " " << r.total_ns << " " << r.self_ns
        << " " << r.max_ns << "\n";
    }
    return s.str();
  };
  const std::string whole = describe(read_ok(file.path()));
  for (size_t chunk : {1, 2, 7, 64, 1000}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(describe(read_ok(file.path(), chunk)), whole);
    EXPECT_EQ(describe(read_bytes_ok(file.contents(), chunk)), whole);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ReaderModel, ::testing::Values(Fmt::Proto, Fmt::Json),
                         [](const auto& info) { return std::string(fmt_name(info.param)); });

// ---- errors ----

TEST(ReaderErrors, FilesThatAreNoTraceSaySoInOneSentence) {
  TraceFile file;
  const std::string p = file.path();
  struct {
    std::string contents;
    std::string message;
  } const cases[] = {
      {"", p + " is empty: it holds no trace"},
      {"hello world\n", p + " is not a morvex trace (neither a Perfetto trace nor a Chrome "
                            "trace-event JSON file)"},
      {"  \n\t ", p + " is not a morvex trace (neither a Perfetto trace nor a Chrome "
                      "trace-event JSON file)"},
      // JSON objects, but without trace events.
      {"{\"displayTimeUnit\": \"ns\"}", p + " is not a morvex trace (neither a Perfetto trace "
                                          "nor a Chrome trace-event JSON file)"},
      {"{\"traceEvents\": [1, 2]}", p + " is not a morvex trace (neither a Perfetto trace nor "
                                        "a Chrome trace-event JSON file)"},
      // 0x0A then a length, but the bytes are no message (wire type 7).
      {"\n\x05\x0f\x01\x02\x03\x04", p + " is not a morvex trace (neither a Perfetto trace nor "
                                         "a Chrome trace-event JSON file)"},
      {"\nhello world", p + " is not a morvex trace (neither a Perfetto trace nor a Chrome "
                            "trace-event JSON file)"},
      // Whitespace alone, though a newline is also 0x0A, a Perfetto packet's
      // tag, and 10 a length.
      {"\n\n\n", p + " is not a morvex trace (neither a Perfetto trace nor a Chrome "
                    "trace-event JSON file)"},
      {std::string(5000, '\n'), p + " is not a morvex trace (neither a Perfetto trace nor a "
                                   "Chrome trace-event JSON file)"},
      // JSON, but its first element is no record.
      {"[1,2,3]", p + " is not a morvex trace (neither a Perfetto trace nor a Chrome "
                      "trace-event JSON file)"},
      {"[\n  \"x\", {\"name\":\"f\"}]", p + " is not a morvex trace (neither a Perfetto "
                                          "trace nor a Chrome trace-event JSON file)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents);
    { std::ofstream(p, std::ios::binary) << c.contents; }
    auto r = reader::read_trace(p);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), c.message);
  }
}

// What morvex's own writers leave for a run that recorded nothing, or little,
// reads as a trace, however bare.
TEST(ReaderErrors, TheWritersEmptyTracesAreTraces) {
  struct {
    std::string contents;
    uint64_t events;
    reader::Damage damage;
  } const cases[] = {
      {"[", 0, reader::Damage::None},  // a JSON run with no events
      {"[]\n", 0, reader::Damage::None},
      {R"([{"args":{"filtered_functions":0,"include":"app"},"name":"morvex_filters","ph":"M","pid":7,"tid":0},)",
       0, reader::Damage::None},
      // Cut inside the first record: a trace whose writer was killed.
      {R"([{"name":"f","cat":"py","ph":"B","ts":1.0)", 0, reader::Damage::CutOff},
      // A record, then bytes that are none: damage, not "no trace".
      {R"([{"name":"f","cat":"py","ph":"B","ts":1.0,"pid":1,"tid":1},7,)", 1,
       reader::Damage::Corrupt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contents);
    Trace t = read_bytes_ok(c.contents);
    EXPECT_EQ(t.events, c.events);
    EXPECT_EQ(t.damage, c.damage);
  }
  // A protobuf run with only its filters record.
  TraceFile file;
  core::SharedFile out = std::move(core::SharedFile::open(file.path(), true).value());
  auto e = proto::ProtoExporter::create(std::move(out), 7);
  core::FilterReport filters;
  filters.settings.include = {"app"};
  ASSERT_TRUE(e.finish(FakeCode(), FakeThreads(), core::RunEnd{.filters = filters}).ok());
  Trace t = read_ok(file.path());
  EXPECT_EQ(t.events, 0u);
  ASSERT_EQ(t.processes.size(), 1u);
  EXPECT_TRUE(t.processes[0].filters.has_value());
}

TEST(ReaderErrors, UnreadableFilesNameTheFileAndTheReason) {
  auto missing = reader::read_trace(::testing::TempDir() + "no/such.pftrace");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text(),
            "cannot read " + ::testing::TempDir() + "no/such.pftrace: No such file or directory");
  auto dir = reader::read_trace(::testing::TempDir());
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().text(), "cannot read " + ::testing::TempDir() + ": Is a directory");
}

}  // namespace
}  // namespace morvex::test
