// `morvex convert`: pstats bytes, collapsed stacks, the speedscope document,
// the SVG flame graph, and the conversion itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

#include "reader/convert.h"
#include "reader/pstats.h"
#include "reader/sink.h"
#include "reader/speedscope.h"
#include "reader/stacks.h"
#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::Trace;

std::string hex_bytes(const std::string& s) {
  return hex(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

std::string hex_text(std::string_view s) {
  return hex(std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Trace known_trace(Fmt fmt, std::vector<ProcessRun> runs = {ProcessRun{.events = program()}}) {
  TraceFile file;
  write_runs(file, fmt, program_code(), program_threads(), runs, 5);
  return read_ok(file.path());
}

// ---- pstats ----

TEST(ConvertPstats, TwoFunctionsByteForByte) {
  // g (b.py:1) runs from 0 to 5 us and calls f (a.py:3) from 1 to 3 us.
  const std::string text =
      R"([{"name":"g","ph":"B","ts":0.000,"pid":1,"tid":1,"args":{"file":"b.py","line":1,"kind":"start"}},)"
      R"({"name":"f","ph":"B","ts":1.000,"pid":1,"tid":1,"args":{"file":"a.py","line":3,"kind":"start"}},)"
      R"({"name":"f","ph":"E","ts":3.000,"pid":1,"tid":1,"args":{"kind":"return"}},)"
      R"({"name":"g","ph":"E","ts":5.000,"pid":1,"tid":1,"args":{"kind":"return"}},)";
  Trace t = read_bytes_ok(text);
  const std::string key_g = "29 03 75 04 00 00 00 " + hex_text("b.py") +
                            " 69 01 00 00 00 75 01 00 00 00 " + hex_text("g");
  const std::string key_f = "29 03 75 04 00 00 00 " + hex_text("a.py") +
                            " 69 03 00 00 00 75 01 00 00 00 " + hex_text("f");
  const std::string us2 = "67 8d ed b5 a0 f7 c6 c0 3e", us3 = "67 54 e4 10 71 73 2a c9 3e",
                    us5 = "67 f1 68 e3 88 b5 f8 d4 3e", one = "69 01 00 00 00";
  const std::string want = "7b " +
                           // g: cc, nc, tt 3 us, ct 5 us, no callers
                           key_g + " 29 05 " + one + " " + one + " " + us3 + " " + us5 + " 7b 30 " +
                           // f: tt = ct = 2 us, called once by g: (nc, cc, tt, ct)
                           key_f + " 29 05 " + one + " " + one + " " + us2 + " " + us2 + " 7b " +
                           key_g + " 29 04 " + one + " " + one + " " + us2 + " " + us2 + " 30 " +
                           "30";
  EXPECT_EQ(hex_bytes(reader::render_pstats(t)), want);
}

// A Perfetto trace's functions are keyed by file and line as a JSON
// trace's are; only what has no file is a builtin, "~", and spans are marked.
TEST(ConvertPstats, FunctionsWithoutAFileAreBuiltinsAndSpansAreMarked) {
  for (Fmt fmt : {Fmt::Proto, Fmt::Json}) {
    Trace t = known_trace(fmt);
    const std::string bytes = reader::render_pstats(t);
    // ("/app/app.py", 30, "fib") as the key of fib, and as fib's own caller.
    const std::string fib_key = "29 03 75 0b 00 00 00 " + hex_text("/app/app.py") +
                                " 69 1e 00 00 00 75 03 00 00 00 " + hex_text("fib");
    const std::string all = hex_bytes(bytes);
    // fib: 1 primitive call of 5, 80 ns self and total, then its callers dict
    // (main once, fib four times of which one primitive).
    EXPECT_NE(all.find(fib_key + " 29 05 69 01 00 00 00 69 05 00 00 00"), std::string::npos);
    EXPECT_NE(all.find(fib_key + " 29 04 69 04 00 00 00 69 02 00 00 00"), std::string::npos)
        << all;
  }

  const std::string json =
      "[{\"name\":\"load\",\"cat\":\"user\",\"ph\":\"B\",\"ts\":1,\"pid\":1,\"tid\":1},"
      "{\"name\":\"f\",\"cat\":\"py\",\"ph\":\"B\",\"ts\":2,\"pid\":1,\"tid\":1},";
  Trace no_file = read_bytes_ok(json);
  const std::string all = hex_bytes(reader::render_pstats(no_file));
  EXPECT_NE(all.find("29 03 75 01 00 00 00 7e 69 00 00 00 00 75 0b 00 00 00 " +
                     hex_text("[span] load")),
            std::string::npos);
  EXPECT_NE(all.find("29 03 75 01 00 00 00 7e 69 00 00 00 00 75 01 00 00 00 " + hex_text("f")),
            std::string::npos);
}

// ---- collapsed stacks ----

std::string collapsed(const Trace& t) {
  reader::StringSink out;
  EXPECT_TRUE(reader::render_collapsed(t, out).ok());
  return out.text;
}

TEST(ConvertCollapsed, OneLinePerStackWithItsSelfTime) {
  EXPECT_EQ(collapsed(known_trace(Fmt::Json)),
            "MainThread;main (/app/app.py:1) 140\n"
            "MainThread;main (/app/app.py:1);f (/app/app.py:10) 40\n"
            "MainThread;main (/app/app.py:1);f (/app/app.py:10);g (/app/app.py:20) 10\n"
            "MainThread;main (/app/app.py:1);fib (/app/app.py:30) 30\n"
            "MainThread;main (/app/app.py:1);fib (/app/app.py:30);fib (/app/app.py:30) 35\n"
            "MainThread;main (/app/app.py:1);fib (/app/app.py:30);fib (/app/app.py:30);fib "
            "(/app/app.py:30) 15\n"
            "MainThread;main (/app/app.py:1);gen (/app/app.py:40) 30\n"
            "worker-0;g (/app/app.py:20) 15\n"
            "worker-0;g (/app/app.py:20);f (/app/app.py:10) 30\n");
}

// A sink that records what it was told to expect.
class ExpectingSink final : public reader::Sink {
 public:
  void write(std::string_view bytes) override { text.append(bytes); }
  core::Status expect(uint64_t bytes) override {
    expected.push_back(bytes);
    if (room < bytes) return core::IoError::other("no room");
    return {};
  }
  std::string text;
  std::vector<uint64_t> expected;
  uint64_t room = UINT64_MAX;
};

// Each distinct stack is one line however often it ran, and the size is
// known before the first byte: a line spells out its whole stack, so a
// deep recursion's lines grow with the square of its depth.
TEST(ConvertCollapsed, ADeepRecursionIsOneLinePerDepthAndItsSizeIsKnownFirst) {
  constexpr uint32_t kDepth = 300;
  std::vector<core::Event> events;
  uint64_t ts = 0;
  for (int run = 0; run < 3; ++run) {
    for (uint32_t d = 0; d < kDepth; ++d) events.push_back(at(ts += 2, kMain, EventKind::Start, 3));
    for (uint32_t d = 0; d < kDepth; ++d) events.push_back(at(ts += 1, kMain, EventKind::Return, 3));
  }
  TraceFile file;
  write_runs(file, Fmt::Proto, program_code(), program_threads(), {ProcessRun{.events = events}});
  const Trace t = read_ok(file.path());
  ExpectingSink out;
  ASSERT_TRUE(reader::render_collapsed(t, out).ok());
  ASSERT_EQ(out.expected, std::vector<uint64_t>{out.text.size()});
  std::istringstream lines(out.text);
  std::string line;
  uint32_t depth = 0;
  while (std::getline(lines, line)) {
    ++depth;
    std::string want = "MainThread";
    for (uint32_t d = 0; d < depth; ++d) want += ";fib (/app/app.py:30)";
    // Three runs through each depth: 2 ns before the call below and 1
    // after it, or 1 in all at the bottom.
    EXPECT_EQ(line, want + (depth == kDepth ? " 3" : " 9"));
  }
  EXPECT_EQ(depth, kDepth);

  // No room: nothing is written.
  ExpectingSink full;
  full.room = out.text.size() - 1;
  EXPECT_FALSE(reader::render_collapsed(t, full).ok());
  EXPECT_EQ(full.text, "");
}

TEST(ConvertCollapsed, SeveralProcessesNameThePidAndFramesLoseSeparators) {
  FakeCode code;
  code.infos = {{0, {"a;b\nc", "dir;x/m.py", 2}}, {1, {"zero", "z.py", 1}}};
  FakeThreads threads;
  threads.names = {{1, "main;thread"}};
  const std::vector<core::Event> events = {
      at(10, 1, EventKind::Start, 0), at(11, 1, EventKind::Start, 1),
      at(11, 1, EventKind::Return, 1), at(20, 1, EventKind::Return, 0)};
  TraceFile file;
  write_runs(file, Fmt::Json, code, threads,
             {ProcessRun{.pid = 5, .events = events}, ProcessRun{.pid = 6, .events = events}});
  // The zero-time stack of "zero" has no line.
  EXPECT_EQ(collapsed(read_ok(file.path())),
            "main,thread (pid 5);a,b c (dir,x/m.py:2) 10\n"
            "main,thread (pid 6);a,b c (dir,x/m.py:2) 10\n");
}

TEST(ConvertCollapsed, ThreadsOfOneNameMerge) {
  FakeThreads threads;
  threads.names = {{1, "pool"}, {2, "pool"}};
  TraceFile file;
  write_runs(
      file, Fmt::Proto, program_code(), threads,
      {ProcessRun{.events = {at(0, 1, EventKind::Start, 1), at(7, 1, EventKind::Return, 1),
                             at(0, 2, EventKind::Start, 1), at(5, 2, EventKind::Return, 1)}}});
  EXPECT_EQ(collapsed(read_ok(file.path())), "pool;f (/app/app.py:10) 12\n");
}

// ---- speedscope ----

struct Event {
  char type;
  uint32_t frame;
  uint64_t at;
};

struct Profile {
  std::string name;
  uint64_t start, end;
  std::vector<Event> events;
};

// The profiles of a document as the writer lays them out, one event a line.
std::vector<Profile> profiles_of(const std::string& doc) {
  std::vector<Profile> out;
  static const std::regex profile(
      R"re(\{"type":"evented","name":"([^"]*)","unit":"nanoseconds","startValue":(\d+),"endValue":(\d+),"events":\[)re");
  static const std::regex event(R"re(^\{"type":"([OC])","frame":(\d+),"at":(\d+)\}[,\]])re");
  std::istringstream in(doc);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, profile)) {
      out.push_back({m[1], std::stoull(m[2]), std::stoull(m[3]), {}});
    } else if (std::regex_search(line, m, event)) {
      EXPECT_FALSE(out.empty());
      out.back().events.push_back(
          {m[1].str()[0], static_cast<uint32_t>(std::stoul(m[2])), std::stoull(m[3])});
    }
  }
  return out;
}

// Nested, in time order, inside the profile's span, everything closed.
void expect_well_formed(const Profile& p) {
  std::vector<uint32_t> open;
  uint64_t last = p.start;
  for (const Event& e : p.events) {
    EXPECT_GE(e.at, last);
    EXPECT_LE(e.at, p.end);
    last = e.at;
    if (e.type == 'O') {
      open.push_back(e.frame);
    } else {
      ASSERT_FALSE(open.empty());
      EXPECT_EQ(open.back(), e.frame);
      open.pop_back();
    }
  }
  EXPECT_TRUE(open.empty());
}

std::string speedscope(const std::string& trace_path) {
  TraceFile out;
  auto r = reader::convert(trace_path, out.path() + ".speedscope.json");
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  std::string doc = slurp(out.path() + ".speedscope.json");
  ::unlink((out.path() + ".speedscope.json").c_str());
  return doc;
}

TEST(ConvertSpeedscope, OneEventedProfilePerThread) {
  TraceFile file;
  auto events = program();
  events.push_back(at(20, 3, EventKind::Start, 1));  // still open at the end
  write_runs(file, Fmt::Json, program_code(), program_threads(), {ProcessRun{.events = events}}, 5);
  const std::string doc = speedscope(file.path());
  EXPECT_TRUE(
      doc.starts_with("{\"$schema\":\"https://www.speedscope.app/"
                      "file-format-schema.json\",\n\"shared\":{\"frames\":["
                      "\n{\"name\":\"main\",\"file\":\"/app/app.py\",\"line\":1},"
                      "\n{\"name\":\"f\",\"file\":\"/app/app.py\",\"line\":10},"))
      << doc.substr(0, 300);
  EXPECT_NE(doc.find("\"activeProfileIndex\":0,\"exporter\":\"morvex\"}\n"), std::string::npos);
  auto profiles = profiles_of(doc);
  ASSERT_EQ(profiles.size(), 3u);
  EXPECT_EQ(profiles[0].name, "MainThread (pid 100, tid 1)");
  EXPECT_EQ(profiles[1].name, "worker-0 (pid 100, tid 2)");
  EXPECT_EQ(profiles[2].name, "thread 3 (pid 100, tid 3)");
  for (const Profile& p : profiles) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.start, 0u);
    EXPECT_EQ(p.end, 300u);
    expect_well_formed(p);
  }
  EXPECT_EQ(profiles[0].events.size(), 24u);
  const std::vector<Event>& w = profiles[1].events;
  ASSERT_EQ(w.size(), 4u);
  EXPECT_EQ(w[0].at, 50u);
  EXPECT_EQ(w[3].at, 95u);
  // The slice left open closes at the end of the trace.
  ASSERT_EQ(profiles[2].events.size(), 2u);
  EXPECT_EQ(profiles[2].events[1].type, 'C');
  EXPECT_EQ(profiles[2].events[1].at, 300u);
}

TEST(ConvertSpeedscope, LongTimelinesGoThroughTheSpillFile) {
  // Deep recursion and many calls on three threads: far more than a spill
  // block per thread, interleaved in batches.
  std::vector<core::Event> events;
  uint64_t ts = 1000;
  for (int round = 0; round < 300; ++round) {
    for (uint32_t tid = 1; tid <= 3; ++tid) {
      for (int d = 0; d < 40; ++d) events.push_back(at(ts++, tid, EventKind::Start, d % 5));
      for (int d = 0; d < 40; ++d) events.push_back(at(ts++, tid, EventKind::Return, 0));
    }
  }
  TraceFile file;
  write_runs(file, Fmt::Proto, program_code(), program_threads(), {ProcessRun{.events = events}},
             1024);
  auto profiles = profiles_of(speedscope(file.path()));
  ASSERT_EQ(profiles.size(), 3u);
  for (const Profile& p : profiles) {
    EXPECT_EQ(p.events.size(), 300u * 80u);
    expect_well_formed(p);
  }
}

// ---- SVG ----

TEST(ConvertSvg, OneTitledRectanglePerFrameUnderAHeadingPerThread) {
  Trace t = known_trace(Fmt::Json);
  const std::string svg = reader::render_svg(t);
  EXPECT_TRUE(
      svg.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n<svg "));
  EXPECT_TRUE(svg.ends_with("</svg>\n"));
  auto count = [&](std::string_view what) {
    size_t n = 0;
    for (size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1)) ++n;
    return n;
  };
  // Seven stacks on MainThread, two on the worker, each a group with one
  // title, one rectangle and (wide enough here) one label; plus the page,
  // and the groups of the controls and of the graphs. A graph per thread:
  // two threads are not many.
  EXPECT_EQ(count("<g><title>"), 9u);
  EXPECT_EQ(count("</title><rect "), 9u);
  EXPECT_EQ(count("<rect "), 10u);
  EXPECT_EQ(count("</g>"), 11u);
  EXPECT_EQ(count("<svg class=\"graph\""), 2u);
  EXPECT_EQ(count("<text"), count("</text>"));
  EXPECT_NE(svg.find(">MainThread (pid 100, tid 1): 300 ns traced, 12 slices</text>"),
            std::string::npos);
  EXPECT_NE(svg.find(">worker-0 (pid 100, tid 2): 45 ns traced, 2 slices</text>"),
            std::string::npos);
  EXPECT_NE(
      svg.find("<g><title>fib\n/app/app.py:30\ntotal 50 ns (16.7%), self 35 ns, calls 2</title>"),
      std::string::npos);
  EXPECT_NE(svg.find("<g><title>gen\n/app/app.py:40\ntotal 30 ns (10.0%), self 30 ns, calls 1, "
                     "resumes 2</title>"),
            std::string::npos);
  // main spans its graph's whole width, on the graph's top row.
  EXPECT_NE(svg.find("</title><rect x=\"0%\" y=\"0.0\" width=\"100%\" height=\"16.0\""),
            std::string::npos)
      << svg.substr(0, 2000);
  EXPECT_EQ(svg.find("id=\"merged\""), std::string::npos);  // nothing too narrow here
}

TEST(ConvertSvg, NamesAreEscapedAndNarrowFramesLeftOut) {
  FakeCode code;
  code.infos = {{0, {"<A & B>", "x.py", 1}}, {1, {"tiny", "x.py", 2}}};
  TraceFile file;
  write_runs(file, Fmt::Json, code, FakeThreads{},
             {ProcessRun{.events = {at(0, 1, EventKind::Start, 0), at(10, 1, EventKind::Start, 1),
                                    at(11, 1, EventKind::Return, 1),
                                    at(100000, 1, EventKind::Return, 0)}}});
  const std::string svg = reader::render_svg(read_ok(file.path()));
  EXPECT_NE(svg.find("<g><title>&lt;A &amp; B&gt;\n"), std::string::npos);
  EXPECT_NE(svg.find(">&lt;A &amp; B&gt;</text>"), std::string::npos);
  EXPECT_EQ(svg.find("tiny"), std::string::npos);  // 1 ns of 100 us
  EXPECT_EQ(svg.find("<A"), std::string::npos);
  EXPECT_NE(svg.find("<text x=\"10.0\" y=\"62.0\" class=\"s\" id=\"merged\">1 stack narrower "
                     "than 0.1% of the width is drawn as part of its caller: 1 ns (0.0%) of the "
                     "time.</text>"),
            std::string::npos)
      << svg.substr(0, 3000);
  EXPECT_NE(svg.find("calls 1\nwith 1 callee too narrow to draw: 1 ns</title>"), std::string::npos);
}

TEST(ConvertSvg, ATitleLineIsOneField) {
  // The script reads a tooltip's first line as the name, its second as the
  // location: a name or path that breaks a line stays on its own.
  const Trace t = read_bytes_ok(
      R"([{"name":"two\nlines","cat":"user","ph":"B","ts":1,"pid":1,"tid":1},)"
      R"({"name":"f","ph":"B","ts":2,"pid":1,"tid":1,"args":{"file":"a\rb.py","line":3}},)"
      R"({"name":"f","ph":"E","ts":3,"pid":1,"tid":1},)"
      R"({"name":"two\nlines","cat":"user","ph":"E","ts":4,"pid":1,"tid":1}])");
  const std::string svg = reader::render_svg(t);
  EXPECT_NE(svg.find("<g><title>[span] two lines\ntotal 3.00 us (100.0%)"), std::string::npos)
      << svg;
  EXPECT_NE(svg.find("<g><title>f\na b.py:3\ntotal 1.00 us (33.3%)"), std::string::npos);
  EXPECT_NE(svg.find(">[span] two lines</text>"), std::string::npos);
}

// A JSON trace of one process (pid 1) from rows "tid ts B|E name line",
// every function in /app/x.py.
using Row = std::tuple<int, uint64_t, char, std::string, int>;
std::string json_trace(std::initializer_list<Row> rows) {
  std::string s = "[";
  for (const auto& [tid, ts, ph, name, line] : rows) {
    s += "{\"name\":\"" + name + "\",\"ph\":\"" + ph + "\",\"ts\":" + std::to_string(ts) +
         "e-3,\"pid\":1,\"tid\":" + std::to_string(tid) + ",\"args\":{";
    s += ph == 'B'
             ? "\"file\":\"/app/x.py\",\"line\":" + std::to_string(line) + ",\"kind\":\"start\""
             : "\"kind\":\"return\"";
    s += "}},\n";
  }
  return s;
}

size_t occurrences(const std::string& s, std::string_view what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

TEST(ConvertSvg, PlacesArePercentagesOfTheGraphWithCalleesUnderTheirCaller) {
  // main [0, 300) calls a [0, 100) and b [100, 300); b calls c later in its
  // run, drawn from b's start all the same.
  const Trace t = read_bytes_ok(json_trace({{1, 0, 'B', "main", 1},
                                            {1, 0, 'B', "a", 2},
                                            {1, 100, 'E', "a", 0},
                                            {1, 100, 'B', "b", 3},
                                            {1, 250, 'B', "c", 4},
                                            {1, 260, 'E', "c", 0},
                                            {1, 300, 'E', "b", 0},
                                            {1, 300, 'E', "main", 0}}));
  const std::string svg = reader::render_svg(t);
  EXPECT_NE(svg.find("<svg class=\"graph\" x=\"0.8%\" y=\"32.0\" width=\"98.4%\" height=\"51.0\" "
                     "data-total=\"300\">\n<g><title>main\n"),
            std::string::npos)
      << svg;
  for (const char* frame : {
           "<rect x=\"0%\" y=\"0.0\" width=\"100%\" height=\"16.0\" fill=\"#",
           "<rect x=\"0%\" y=\"17.0\" width=\"33.33333%\" height=\"16.0\" fill=\"#",
           "<rect x=\"33.33333%\" y=\"17.0\" width=\"66.66667%\" height=\"16.0\" fill=\"#",
           "<rect x=\"33.33333%\" y=\"34.0\" width=\"3.33333%\" height=\"16.0\" fill=\"#",
       }) {
    EXPECT_EQ(occurrences(svg, frame), 1u) << frame;
  }
  // Labels sit where their frames start, cut for the width given.
  EXPECT_NE(svg.find("<text x=\"33.33333%\" dx=\"3.0\" y=\"29.0\">b</text>"), std::string::npos);
  reader::SvgOptions narrow;
  narrow.width = 300;  // c: 3.3% of 295 px, too little for three characters
  EXPECT_EQ(occurrences(reader::render_svg(t, narrow), "\">c</text>"), 0u);
  EXPECT_EQ(occurrences(svg, "\">c</text>"), 1u);
}

TEST(ConvertSvg, ManyThreadsMakeOneGraphOfMergedStacksUnlessPerThread) {
  // Each of threads 1..5 runs main for 100 ns * tid, calling work for half
  // of that; thread 9 has an instant and no slice.
  auto trace_of = [](int threads) {
    std::string text = "[";
    for (int tid = 1; tid <= threads; ++tid) {
      const uint64_t end = 100 * tid, half = 50 * tid;
      text += json_trace({{tid, 0, 'B', "main", 1},
                          {tid, 10, 'B', "work", 2},
                          {tid, 10 + half, 'E', "work", 0},
                          {tid, end, 'E', "main", 0}})
                  .substr(1);
    }
    text += R"({"name":"mark","ph":"i","ts":0.001,"pid":1,"tid":9,"s":"t"},)";
    return read_bytes_ok(text);
  };
  const Trace five = trace_of(5);
  const std::string merged = reader::render_svg(five);
  EXPECT_EQ(occurrences(merged, "<svg class=\"graph\""), 1u);
  EXPECT_EQ(occurrences(merged, "<g><title>"), 3u);
  EXPECT_NE(merged.find(">All 5 threads (pid 1): 1.50 us traced, 10 slices</text>"),
            std::string::npos)
      << merged;
  EXPECT_NE(merged.find("<g><title>all threads\ntotal 1.50 us (100.0%), 5 threads</title><rect "
                        "x=\"0%\" y=\"0.0\" width=\"100%\""),
            std::string::npos);
  EXPECT_NE(merged.find("<g><title>main\n/app/x.py:1\ntotal 1.50 us (100.0%), self 750 ns, calls "
                        "5</title><rect x=\"0%\" y=\"17.0\" width=\"100%\""),
            std::string::npos);
  EXPECT_NE(merged.find("<g><title>work\n/app/x.py:2\ntotal 750 ns (50.0%), self 750 ns, calls "
                        "5</title><rect x=\"0%\" y=\"34.0\" width=\"50%\""),
            std::string::npos);
  EXPECT_NE(merged.find("One icicle for all 5 threads"), std::string::npos);

  reader::SvgOptions per_thread;
  per_thread.per_thread = true;
  const std::string apart = reader::render_svg(five, per_thread);
  EXPECT_EQ(occurrences(apart, "<svg class=\"graph\""), 5u);
  EXPECT_EQ(occurrences(apart, "<g><title>"), 10u);
  EXPECT_EQ(apart.find("all threads"), std::string::npos);
  EXPECT_NE(apart.find(">thread 5 (pid 1, tid 5): 500 ns traced, 2 slices</text>"),
            std::string::npos)
      << apart;
  EXPECT_NE(apart.find("<g><title>work\n/app/x.py:2\ntotal 250 ns (50.0%), self 250 ns, calls "
                       "1</title>"),
            std::string::npos);

  // Four threads with slices (the fifth has none) are drawn apart unasked.
  const std::string four = reader::render_svg(trace_of(4));
  EXPECT_EQ(occurrences(four, "<svg class=\"graph\""), 4u);
  EXPECT_EQ(four.find("all threads"), std::string::npos);
}

TEST(ConvertSvg, FramesUnderAThousandthMergeIntoTheirCaller) {
  // main [0, 1 ms) calls 3,000 functions of 100 ns, each calling one of
  // 50 ns, then one of exactly a thousandth (drawn) and one just under.
  std::string text = "[";
  uint64_t ts = 0;
  auto row = [&](char ph, const std::string& name, int line) {
    text += "{\"name\":\"" + name + "\",\"ph\":\"" + ph + "\",\"ts\":" + std::to_string(ts) +
            "e-3,\"pid\":1,\"tid\":1,\"args\":{\"file\":\"/app/x.py\",\"line\":" +
            std::to_string(line) + "}},\n";
  };
  row('B', "main", 1);
  for (int i = 0; i < 3000; ++i) {
    row('B', "f" + std::to_string(i), 10 + i);
    ts += 20;
    row('B', "g", 5);
    ts += 50;
    row('E', "g", 5);
    ts += 30;
    row('E', "f" + std::to_string(i), 10 + i);
  }
  row('B', "edge", 2);
  ts += 1000;
  row('E', "edge", 2);
  row('B', "under", 3);
  ts += 999;
  row('E', "under", 3);
  ts = 1000000;
  row('E', "main", 1);
  const std::string svg = reader::render_svg(read_bytes_ok(text));
  EXPECT_EQ(occurrences(svg, "<g><title>"), 2u);
  EXPECT_NE(svg.find("<g><title>edge\n"), std::string::npos);
  EXPECT_EQ(svg.find("under"), std::string::npos);
  EXPECT_NE(svg.find(">6,001 stacks narrower than 0.1% of the width are drawn as part of their "
                     "callers: 301 us (30.1%) of the time.</text>"),
            std::string::npos)
      << svg.substr(0, 2500);
  EXPECT_NE(svg.find("\nwith 3,001 callees too narrow to draw: 301 us</title>"), std::string::npos);
  EXPECT_LT(svg.size(), 20000u);
}

TEST(ConvertSvg, TheScriptIsInsideAndNothingIsFetched) {
  const std::string svg = reader::render_svg(known_trace(Fmt::Proto));
  // Without the script, an image of the width asked for, scaling as one.
  static const std::regex root(
      "\n<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"1200.0\" "
      "height=\"([0-9.]+)\" viewBox=\"0 0 1200.0 ([0-9.]+)\">\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(svg, m, root)) << svg.substr(0, 300);
  EXPECT_EQ(m[1], m[2]);
  const size_t script = svg.find(
      "<script type=\"text/ecmascript\"><![CDATA[\nvar ROW = 17.0, "
      "PAD = 3.0, BASELINE = 12.0, MIN_CHARS = 3.0;");
  ASSERT_NE(script, std::string::npos);
  const size_t end = svg.find("]]></script>\n</svg>\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(end + 20, svg.size());
  EXPECT_EQ(svg.find("]]>"), end);  // the script never ends its own CDATA section
  for (const char* id : {"id=\"controls\" display=\"none\"", "id=\"search\"", "id=\"reset\"",
                         "id=\"matched\"", "id=\"details\""}) {
    EXPECT_EQ(occurrences(svg, id), 1u) << id;
  }
  // The namespaces are the only addresses: no link, image, font or fetch.
  EXPECT_EQ(occurrences(svg, "http"), 2u);
  EXPECT_EQ(occurrences(svg, "xmlns=\"http://www.w3.org/2000/svg\""), 1u);
  EXPECT_EQ(occurrences(svg, "xmlns=\"http://www.w3.org/1999/xhtml\""), 1u);
  for (const char* fetches : {"href", "url(", "@import", "fetch(", "XMLHttpRequest", "src="}) {
    EXPECT_EQ(svg.find(fetches), std::string::npos) << fetches;
  }
}

// ---- the conversion ----

TEST(Convert, KindsFromTheOutputName) {
  using reader::ConvertKind;
  struct {
    const char* path;
    ConvertKind kind;
  } const cases[] = {
      {"out.prof", ConvertKind::Pstats},
      {"a/b.PSTATS", ConvertKind::Pstats},
      {"x.folded", ConvertKind::Collapsed},
      {"x.collapsed", ConvertKind::Collapsed},
      {"x.speedscope.json", ConvertKind::Speedscope},
      {"flame.svg", ConvertKind::Svg},
      {"x.json", ConvertKind::Json},
      {"x.trace.JSON", ConvertKind::Json},
  };
  for (const auto& c : cases) EXPECT_EQ(reader::convert_kind_for(c.path).value(), c.kind) << c.path;
  for (const char* bad : {"x", "x.svg.txt", "x.jsonl"}) {
    auto r = reader::convert_kind_for(bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(),
              std::string("cannot tell the output kind from the name ") + bad +
                  " (use .prof or .pstats for pstats, .folded or .collapsed for collapsed stacks, "
                  ".speedscope.json for speedscope, .svg for a flame graph, .json for Chrome "
                  "trace-event JSON, or give the kind)");
  }
  EXPECT_EQ(reader::parse_convert_kind("speedscope").value(), ConvertKind::Speedscope);
  EXPECT_EQ(reader::parse_convert_kind("json").value(), ConvertKind::Json);
  EXPECT_EQ(reader::parse_convert_kind("flamegraph").error().text(),
            "unknown output kind \"flamegraph\" (choose pstats, collapsed, speedscope, svg or "
            "json)");
}

TEST(Convert, WritesTheOutputOnlyWhenEverythingWorked) {
  TraceFile trace;
  write_runs(trace, Fmt::Proto, program_code(), program_threads(),
             {ProcessRun{.events = program()}});
  const std::string dir = ::testing::TempDir() + "morvex_convert_" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  const std::string out = dir + "/out.txt";
  // An explicit kind overrides the name.
  auto done = reader::convert(trace.path(), out, reader::ConvertKind::Collapsed);
  ASSERT_TRUE(done.ok()) << done.error().text();
  EXPECT_EQ(done.value().events, 28u);
  EXPECT_EQ(slurp(out), collapsed(read_ok(trace.path())));

  // A failed read leaves the earlier output and nothing else.
  auto failed = reader::convert(dir + "/missing.pftrace", out, reader::ConvertKind::Svg);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text(),
            "cannot read " + dir + "/missing.pftrace: No such file or directory");
  EXPECT_EQ(slurp(out), collapsed(read_ok(trace.path())));
  // The trace itself is never the output.
  auto self = reader::convert(trace.path(), trace.path(), reader::ConvertKind::Svg);
  ASSERT_FALSE(self.ok());
  EXPECT_EQ(self.error().text(),
            "cannot write " + trace.path() + ": it is the trace being converted");
  EXPECT_FALSE(reader::read_trace(trace.path()).value().threads.empty());
  auto to_dir = reader::convert(trace.path(), dir, reader::ConvertKind::Svg);
  ASSERT_FALSE(to_dir.ok());
  EXPECT_EQ(to_dir.error().text(), "cannot write " + dir + ": Is a directory");

  ASSERT_EQ(::unlink(out.c_str()), 0);
  EXPECT_EQ(::rmdir(dir.c_str()), 0);  // no temporary or spill files left
}

std::vector<std::string> files_in(const std::string& dir);

// pstats.Stats(path) refuses a profile without entries ("Cannot create or
// construct a pstats.Stats object"): no such file is written.
TEST(Convert, PstatsOfATraceWithoutSlicesIsRefused) {
  TraceFile trace;
  { std::ofstream(trace.path(), std::ios::binary) << "["; }
  const std::string dir = ::testing::TempDir() + "morvex_pstats_" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  auto r = reader::convert(trace.path(), dir + "/out.prof");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "cannot write " + dir + "/out.prof: " + trace.path() +
                                  " holds no function slices, and pstats cannot load an empty "
                                  "profile");
  EXPECT_TRUE(files_in(dir).empty());
  // Other kinds of an empty trace are fine, if empty.
  ASSERT_TRUE(reader::convert(trace.path(), dir + "/out.folded").ok());
  EXPECT_EQ(slurp(dir + "/out.folded"), "");
  std::filesystem::remove_all(dir);
}

// A file system without room for the output: the conversion fails before
// writing, in one line, and leaves nothing (a full disk part way, ENOSPC,
// ends the same: tests/python/test_cli_tools.py).
TEST(Convert, AnOutputWithoutRoomFailsBeforeWriting) {
  const std::string dir = ::testing::TempDir() + "morvex_room_" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  {
    auto made = reader::OutputFile::create(dir + "/out.folded");
    ASSERT_TRUE(made.ok());
    reader::OutputFile& out = made.value();
    EXPECT_TRUE(out.expect(4096).ok());
    auto none = out.expect(uint64_t{1} << 62);
    ASSERT_FALSE(none.ok());
    EXPECT_TRUE(std::regex_match(
        none.error().text(),
        std::regex("cannot write " + dir +
                   "/out\\.folded: it would take 4\\.00 EiB, and its file system has "
                   "[0-9.]+ (bytes|KiB|MiB|GiB|TiB|PiB) free")))
        << none.error().text();
    // A device takes what comes.
    auto null = reader::OutputFile::create("/dev/null");
    ASSERT_TRUE(null.ok());
    EXPECT_TRUE(null.value().expect(uint64_t{1} << 62).ok());
  }
  EXPECT_TRUE(files_in(dir).empty());
  std::filesystem::remove_all(dir);
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Ctrl-C: the CLI's StopCheck answers true once a KeyboardInterrupt is
// pending. Wherever it comes, reading or writing, nothing is left behind.
TEST(Convert, AStopAnywhereLeavesNoOutput) {
  TraceFile trace;
  write_runs(trace, Fmt::Json, program_code(), program_threads(),
             {ProcessRun{.events = program()}});
  const std::string dir = ::testing::TempDir() + "morvex_stop_" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  const std::string out = dir + "/out.folded";
  bool stopped_reading = false, stopped_writing = false;
  for (int at = 1;; ++at) {
    SCOPED_TRACE(at);
    int asked = 0;
    auto done = reader::convert(trace.path(), out, std::nullopt, [&] { return ++asked >= at; });
    if (done.ok()) {
      EXPECT_EQ(slurp(out), collapsed(read_ok(trace.path())));
      break;
    }
    const std::string text = done.error().text();
    if (text == "cannot read " + trace.path() + ": Interrupted system call") {
      stopped_reading = true;
    } else {
      EXPECT_EQ(text, "cannot write " + out + ": Interrupted system call");
      stopped_writing = true;
    }
    EXPECT_TRUE(files_in(dir).empty());
  }
  EXPECT_TRUE(stopped_reading);
  EXPECT_TRUE(stopped_writing);
  std::filesystem::remove_all(dir);
}

// What a handler of SIGTERM calls before the process dies of it: the
// temporary file goes, a committed output stays.
TEST(Convert, TemporaryFilesAreRemovedForAFatalSignal) {
  const std::string dir = ::testing::TempDir() + "morvex_fatal_" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  {
    auto made = reader::OutputFile::create(dir + "/a.folded");
    ASSERT_TRUE(made.ok());
    reader::OutputFile moved = std::move(made.value());
    auto other = reader::OutputFile::create(dir + "/b.folded");
    ASSERT_TRUE(other.ok());
    other.value().write("b 1\n");
    ASSERT_TRUE(other.value().commit().ok());
    moved.write("a 1\n");
    ASSERT_EQ(files_in(dir).size(), 2u);  // b.folded and a's temporary file
    reader::remove_temporary_files();
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"b.folded"});
    EXPECT_EQ(slurp(dir + "/b.folded"), "b 1\n");
  }
  EXPECT_EQ(files_in(dir), std::vector<std::string>{"b.folded"});
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace morvex::test
