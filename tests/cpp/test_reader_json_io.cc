// Chrome trace-event JSON both ways: the object form and complete ("X")
// events read, a trace converted to strict JSON that reads back the same,
// and what a long conversion tells its user (progress, outputs too big).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "reader/convert.h"
#include "reader/progress.h"
#include "format/json_text.h"
#include "reader/report.h"
#include "reader/speedscope.h"
#include "reader/text.h"
#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::Damage;
using reader::Trace;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The report with the trace's name and format made alike, so two traces
// compare by what they hold.
std::string report_of(Trace t, bool per_thread = false) {
  t.path = "trace";
  t.format = reader::Format::Json;
  reader::ReportOptions o;
  o.top = 0;
  o.per_thread = per_thread;
  auto r = reader::report_text(t, o);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : "";
}

// ---- the object form ----

const char* const kEvents =
    R"({"name":"main","cat":"py","ph":"B","ts":1.000,"pid":3,"tid":4,"args":{"file":"m.py","line":1,"kind":"start"}},
{"name":"f","cat":"py","ph":"B","ts":2.000,"pid":3,"tid":4,"args":{"file":"m.py","line":5,"kind":"start"}},
{"name":"f","cat":"py","ph":"E","ts":4.500,"pid":3,"tid":4},
{"name":"main","cat":"py","ph":"E","ts":9.000,"pid":3,"tid":4},
{"name":"thread_name","ph":"M","pid":3,"tid":4,"args":{"name":"MainThread"}})";

TEST(ReaderJsonObject, ReadsAsTheArrayWhateverItsOtherMembers) {
  const std::string array = std::string("[") + kEvents + "]";
  const std::string forms[] = {
      std::string(R"({"traceEvents":[)") + kEvents + "]}",
      // Members before and after, values that hold brackets, quotes and a
      // "traceEvents" of their own.
      std::string(R"( {"displayTimeUnit": "ns", "metadata": {"x": ["]}\"", {"traceEvents": 1}]},)"
                  "\n \"traceEvents\" : [\n") +
          kEvents + "\n ],\n \"otherData\": {\"v\": [1, 2.5e3, true, null]}\n}\n",
      std::string(R"({"displayTimeUnit":"ms","traceEvents":[)") + kEvents + "],\"stackFrames\":{}}",
  };
  const std::string want = report_of(read_bytes_ok(array));
  for (const std::string& text : forms) {
    for (size_t chunk : {size_t{3}, size_t{64}, size_t{1} << 20}) {
      SCOPED_TRACE(text + " in chunks of " + std::to_string(chunk));
      Trace t = read_bytes_ok(text, chunk);
      EXPECT_EQ(t.damage, Damage::None);
      EXPECT_EQ(report_of(std::move(t)), want);
    }
  }
}

TEST(ReaderJsonObject, AnUnclosedObjectIsCutOffAndTrailingBytesCorrupt) {
  const std::string head = std::string(R"({"traceEvents":[)") + kEvents;
  struct {
    std::string text;
    Damage damage;
    uint64_t offset;
  } const cases[] = {
      {head, Damage::CutOff, head.size()},
      {head + "]", Damage::CutOff, head.size() + 1},
      {head + "], \"meta", Damage::CutOff, head.size() + 3},
      {head + "]}\n\n", Damage::None, 0},
      {head + "]} x", Damage::Corrupt, head.size() + 3},
      {head + "]},{}", Damage::Corrupt, head.size() + 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Trace t = read_bytes_ok(c.text, 16);
    EXPECT_EQ(t.damage, c.damage);
    if (c.damage != Damage::None) {
      EXPECT_EQ(t.damage_offset, c.offset);
    }
    ASSERT_EQ(t.threads.size(), 1u);
    EXPECT_EQ(t.threads[0].traced_ns, 8000u);  // what came before counts
  }
  // An empty event list is an empty trace.
  Trace empty = read_bytes_ok("{\"traceEvents\": []}");
  EXPECT_EQ(empty.damage, Damage::None);
  EXPECT_EQ(empty.events, 0u);
}

// ---- complete events ----

struct Slice {
  std::string name;
  uint64_t begin, end;  // ns
};

// Properly nested slices on a thread, the shapes writers make: siblings that
// touch, children that start or end with their parent, recursion, slices of
// no length.
std::vector<Slice> random_slices(std::mt19937& rng, uint64_t from, uint64_t to, int depth) {
  std::vector<Slice> out;
  uint64_t at = from;
  const char* names[] = {"a", "b", "c", "rec"};
  while (at < to && out.size() < 40) {
    const uint64_t len = std::uniform_int_distribution<uint64_t>(0, (to - at) / 2 + 1)(rng);
    const uint64_t end = std::min(to, at + len);
    // A child as long as its parent would leave which holds which to the
    // file's order.
    if (at == from && end == to && depth > 0) {
      at += 1;
      continue;
    }
    out.push_back({names[rng() % 4], at, end});
    if (depth < 4 && end > at + 2) {
      for (Slice& s : random_slices(rng, at, end, depth + 1)) out.push_back(std::move(s));
    }
    at = end + (rng() % 3 == 0 ? 0 : std::uniform_int_distribution<uint64_t>(1, 50)(rng));
  }
  return out;
}

std::string micros(uint64_t ns) {
  std::string s;
  format::push_micros(s, ns);
  return s;
}

std::string x_record(const Slice& s, int tid) {
  return R"({"name":")" + s.name + R"(","cat":"py","ph":"X","ts":)" + micros(s.begin) +
         R"(,"dur":)" + micros(s.end - s.begin) + R"(,"pid":1,"tid":)" + std::to_string(tid) +
         "}";
}

// The same slices as begins and ends in time order.
std::string begin_end_records(const std::vector<Slice>& slices, int tid) {
  struct Edge {
    uint64_t ts;
    size_t order;  // ends of inner slices first, then begins in file order
    std::string text;
  };
  std::vector<Edge> edges;
  for (size_t i = 0; i < slices.size(); ++i) {
    const Slice& s = slices[i];
    const std::string where = R"(,"pid":1,"tid":)" + std::to_string(tid) + "}";
    edges.push_back({s.begin, 2 * slices.size() + i,
                     R"({"name":")" + s.name + R"(","cat":"py","ph":"B","ts":)" +
                         micros(s.begin) + where});
    edges.push_back({s.end, slices.size() - i,
                     R"({"name":")" + s.name + R"(","cat":"py","ph":"E","ts":)" + micros(s.end) +
                         where});
  }
  // At one time: ends (innermost first) before begins, except that a slice
  // of no length begins before it ends.
  std::stable_sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
    return a.ts != b.ts ? a.ts < b.ts : a.order < b.order;
  });
  std::string out;
  for (const Edge& e : edges) out += e.text + ",\n";
  return out;
}

TEST(ReaderJsonComplete, EventsInAnyOrderNestAsTheirBeginsAndEndsWould) {
  for (uint32_t seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    std::vector<Slice> threads[2] = {random_slices(rng, 1000, 9000, 0),
                                     random_slices(rng, 500, 20000, 0)};
    // Zero-length slices at a parent's very end would nest under B/E but
    // not as X (nor would it change a figure); keep the reference simple.
    for (auto& slices : threads) {
      std::erase_if(slices, [&](const Slice& s) { return s.begin == s.end; });
    }
    std::string reference = "[";
    for (int t = 0; t < 2; ++t) reference += begin_end_records(threads[t], t + 1);
    const std::string want = report_of(read_bytes_ok(reference), true);

    auto x_file = [&](auto order) {
      std::vector<std::string> records;
      for (int t = 0; t < 2; ++t) {
        std::vector<Slice> s = threads[t];
        order(s);
        for (const Slice& one : s) records.push_back(x_record(one, t + 1));
      }
      std::string text = "{\"traceEvents\":[";
      for (size_t i = 0; i < records.size(); ++i) text += (i ? ",\n" : "") + records[i];
      return text + "]}";
    };
    const std::string orders[] = {
        x_file([](std::vector<Slice>&) {}),  // by start, as Chrome writes them
        x_file([](std::vector<Slice>& s) {   // by end, children first
          std::stable_sort(s.begin(), s.end(), [](const Slice& a, const Slice& b) {
            return a.end != b.end ? a.end < b.end : a.begin > b.begin;
          });
        }),
        x_file([&](std::vector<Slice>& s) { std::shuffle(s.begin(), s.end(), rng); }),
    };
    for (const std::string& text : orders) {
      Trace t = read_bytes_ok(text, 256);
      EXPECT_EQ(t.damage, Damage::None);
      EXPECT_EQ(t.open_at_end, 0u);
      EXPECT_EQ(report_of(std::move(t), true), want);
    }
  }
}

TEST(ReaderJsonComplete, AChildThatOutlivesItsParentEndsWithIt) {
  const std::string text = R"([
    {"name":"outer","ph":"X","ts":0,"dur":10,"pid":1,"tid":1},
    {"name":"inner","ph":"X","ts":5,"dur":10,"pid":1,"tid":1},
    {"name":"span","cat":"user","ph":"B","ts":20,"pid":1,"tid":1},
    {"name":"x","ph":"X","ts":22,"dur":100,"pid":1,"tid":1},
    {"name":"span","cat":"user","ph":"E","ts":30,"pid":1,"tid":1},
    {"name":"after","ph":"X","ts":40,"dur":1,"pid":1,"tid":1}
  ])";
  Trace t = read_bytes_ok(text);
  auto rows = all_rows(t);
  EXPECT_EQ(row_of(t, rows, "outer").self_ns, 5000u);
  EXPECT_EQ(row_of(t, rows, "inner").total_ns, 5000u);
  // An end closes its begin and what it holds.
  EXPECT_EQ(row_of(t, rows, "x").total_ns, 8000u);
  EXPECT_EQ(row_of(t, rows, "span", true).total_ns, 10000u);
  EXPECT_EQ(row_of(t, rows, "after").total_ns, 1000u);
  EXPECT_EQ(t.threads[0].traced_ns, 21000u);
  EXPECT_EQ(t.unmatched_ends, 0u);
}

TEST(ReaderJsonComplete, EventsWithoutADurationAreSkippedAndCounted) {
  const std::string text = R"([
    {"name":"ok","ph":"X","ts":1,"dur":0,"pid":1,"tid":1},
    {"name":"none","ph":"X","ts":1,"pid":1,"tid":1},
    {"name":"negative","ph":"X","ts":1,"dur":-2,"pid":1,"tid":1},
    {"name":"text","ph":"X","ts":1,"dur":"5","pid":1,"tid":1},
    {"name":"null","ph":"X","ts":1,"dur":null,"pid":1,"tid":1},
  ])";
  Trace t = read_bytes_ok(text);
  EXPECT_EQ(t.skipped_complete, 4u);
  EXPECT_EQ(t.events, 2u);
  ASSERT_EQ(all_rows(t).size(), 1u);
  EXPECT_EQ(t.functions[all_rows(t)[0].function].name, "ok");
  const auto notes = reader::trace_notes(t);
  EXPECT_NE(std::find(notes.begin(), notes.end(),
                      "4 complete (\"X\") events had no valid duration and were skipped."),
            notes.end());
}

// ---- converting to JSON ----

std::string convert_to_json(const std::string& source, const std::string& out) {
  auto r = reader::convert(source, out);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return slurp(out);
}

class ConvertJson : public ::testing::TestWithParam<Fmt> {};

TEST_P(ConvertJson, ReadsBackWithTheSameFiguresInEveryView) {
  struct Program {
    FakeCode code;
    std::vector<ProcessRun> runs;
  } const programs[] = {
      {program_code(),
       {ProcessRun{.pid = 100, .events = program(), .dropped = 7},
        ProcessRun{.pid = 200, .sequence_base = 1000, .events = program()}}},
      {twins_code(), {ProcessRun{.events = twins()}}},
  };
  for (const Program& p : programs) {
    TraceFile source, out;
    write_runs(source, GetParam(), p.code, program_threads(), p.runs, 5);
    const std::string json = convert_to_json(source.path(), out.path() + ".json");
    EXPECT_EQ(json.rfind("{\"traceEvents\":[\n{", 0), 0u);
    EXPECT_TRUE(json.ends_with("\n],\"displayTimeUnit\":\"ns\"}\n"));
    // As the JSON writer puts them: the function's file and line in args.
    const std::string first = json.substr(0, json.find('\n', 17));
    EXPECT_NE(
        first.find(R"(,"cat":"py","ph":"B","ts":0.000,"pid":100,"tid":1,"args":{"file":"/app/)"),
        std::string::npos)
        << first;
    EXPECT_TRUE(first.ends_with(R"(.py","line":1,"kind":"start"}},)")) << first;
    Trace a = read_ok(source.path());
    Trace b = read_ok(out.path() + ".json");
    ::unlink((out.path() + ".json").c_str());
    EXPECT_EQ(report_of(a), report_of(b));
    EXPECT_EQ(report_of(a, true), report_of(b, true));
    EXPECT_EQ(b.dropped(), a.dropped());
    EXPECT_EQ(b.events, a.events);
    EXPECT_EQ(b.threads.size(), a.threads.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ConvertJson, ::testing::Values(Fmt::Proto, Fmt::Json),
                         [](const auto& info) { return std::string(fmt_name(info.param)); });

TEST(ConvertJsonText, AnyBytesInNamesBecomeValidJsonText) {
  // Raw invalid UTF-8, a control character, quotes and a backslash.
  const std::string text =
      "[{\"name\":\"bad \xff\xfe name\",\"cat\":\"py\",\"ph\":\"B\",\"ts\":1,\"pid\":1,\"tid\":1,"
      "\"args\":{\"file\":\"d\\u0001ir/\\\"q\\\"\\\\x.py\",\"line\":4,\"kind\":\"start\"}},"
      "{\"name\":\"bad \xff\xfe name\",\"cat\":\"py\",\"ph\":\"E\",\"ts\":2,\"pid\":1,\"tid\":1},"
      "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":1,"
      "\"args\":{\"name\":\"t\\n\xc0\"}}";
  TraceFile source, out;
  { std::ofstream(source.path(), std::ios::binary) << text; }
  const std::string json = convert_to_json(source.path(), out.path() + ".json");
  EXPECT_TRUE(reader::is_valid_utf8(json));
  for (unsigned char c : json) EXPECT_TRUE(c >= 0x20 || c == '\n') << int{c};
  EXPECT_NE(json.find(R"("file":"d\u0001ir/\"q\"\\x.py","line":4)"), std::string::npos) << json;
  Trace a = read_ok(source.path());
  Trace b = read_ok(out.path() + ".json");
  ::unlink((out.path() + ".json").c_str());
  ASSERT_EQ(b.functions.size(), 1u);
  EXPECT_EQ(b.functions[0].name, "bad \xef\xbf\xbd\xef\xbf\xbd name");
  EXPECT_EQ(b.functions[0].file, a.functions[0].file);
  EXPECT_EQ(b.threads[0].name, "t\n\xef\xbf\xbd");
  EXPECT_EQ(report_of(a), report_of(b));
}

TEST(ConvertJsonText, OpenSlicesCountersInstantsAndFiltersSurvive) {
  const std::string text = R"([
    {"name":"open","cat":"py","ph":"B","ts":1,"pid":5,"tid":9,"args":{"file":"o.py","line":1,"kind":"start"}},
    {"name":"gen","cat":"py","ph":"B","ts":2,"pid":5,"tid":9,"args":{"file":"g.py","line":2,"kind":"resume"}},
    {"name":"gen","cat":"py","ph":"E","ts":3,"pid":5,"tid":9},
    {"name":"stray","cat":"py","ph":"E","ts":4,"pid":5,"tid":8},
    {"name":"queue","cat":"user","ph":"C","ts":5,"pid":5,"tid":9,"args":{"value":2.25}},
    {"name":"queue","cat":"user","ph":"C","ts":6,"pid":5,"tid":9,"args":{"value":-7}},
    {"name":"mark","cat":"user","ph":"i","s":"t","ts":7,"pid":5,"tid":9},
    {"args":{"include":"app","max_depth":3,"filtered_functions":2,"max_depth_events":1,"min_duration_events":0},"name":"morvex_filters","ph":"M","pid":5,"tid":0},
    {"args":{"name":"server"},"name":"process_name","ph":"M","pid":5,"tid":0},
    {"args":{"count":3},"name":"morvex_dropped_events","ph":"M","pid":5,"tid":0},
    {"name":"late","cat":"py","ph":"B","ts":8,"pid":5,"tid":9,"args":{"file":"o.py","line":9,"kind":"start"}}
  ])";
  TraceFile source, out;
  { std::ofstream(source.path(), std::ios::binary) << text; }
  convert_to_json(source.path(), out.path() + ".json");
  Trace a = read_ok(source.path());
  Trace b = read_ok(out.path() + ".json");
  ::unlink((out.path() + ".json").c_str());
  EXPECT_EQ(b.open_at_end, 2u);
  EXPECT_EQ(b.unmatched_ends, 1u);
  EXPECT_EQ(b.instants, 1u);
  ASSERT_EQ(b.counters.size(), 1u);
  EXPECT_EQ(b.counters[0].min, -7.0);
  EXPECT_EQ(b.counters[0].last, -7.0);
  EXPECT_EQ(b.processes[0].name, "server");
  EXPECT_EQ(b.processes[0].filters->include, "app");
  EXPECT_EQ(b.processes[0].filters->max_depth, 3u);
  EXPECT_EQ(b.processes[0].filters->filtered_functions, 2u);
  EXPECT_EQ(b.events, a.events);
  EXPECT_EQ(b.last_ts, a.last_ts);
  EXPECT_EQ(reader::trace_notes(b), reader::trace_notes(a));
  EXPECT_EQ(report_of(a), report_of(b));
}

// ---- what a long conversion tells its user ----

TEST(ProgressLine, ShowsLateRarelyAndLeavesNothingBehind) {
  uint64_t now = 1000;
  std::string screen;
  reader::ProgressLine line([&](std::string_view s) { screen += s; }, [&] { return now; });
  line.read(1 << 20, 4 << 20);
  EXPECT_EQ(screen, "");  // a quick conversion shows nothing
  now += reader::ProgressLine::kDelay;
  line.read(2 << 20, 4 << 20);
  EXPECT_EQ(screen, "\rmorvex: read 2.00 MiB of 4.00 MiB (50%)");
  screen.clear();
  now += reader::ProgressLine::kInterval - 1;
  line.read(3 << 20, 4 << 20);
  line.wrote(5);
  EXPECT_EQ(screen, "");
  now += 1;
  line.wrote(uint64_t{3} << 30);
  EXPECT_EQ(screen, "\rmorvex: read 3.00 MiB of 4.00 MiB (75%), wrote 3.00 GiB");
  screen.clear();
  // A shorter line blanks what the longer one left.
  now += reader::ProgressLine::kInterval;
  line.read(10, 0);
  EXPECT_EQ(screen, "\rmorvex: read 10 bytes, wrote 3.00 GiB" + std::string(18, ' '));
  screen.clear();
  line.clear();
  EXPECT_EQ(screen, "\r" + std::string(37, ' ') + "\r");
  screen.clear();
  line.clear();
  EXPECT_EQ(screen, "");
}

TEST(ConvertWarnings, OutputsTooBigForTheirViewerSayWhatMakesThemSmaller) {
  using reader::ConvertKind;
  const uint64_t json = reader::kBrowserJsonBytes, svg = reader::kBrowserSvgBytes;
  EXPECT_EQ(reader::too_big_warning("o", ConvertKind::Speedscope, json, false), "");
  EXPECT_EQ(reader::too_big_warning("o", ConvertKind::Json, json, true), "");
  EXPECT_EQ(reader::too_big_warning("o", ConvertKind::Svg, svg, true), "");
  EXPECT_EQ(reader::too_big_warning("o", ConvertKind::Collapsed, ~uint64_t{0}, true), "");
  EXPECT_EQ(reader::too_big_warning("o", ConvertKind::Pstats, ~uint64_t{0}, true), "");
  const std::string speedscope =
      reader::too_big_warning("t.speedscope.json", ConvertKind::Speedscope, 11ull << 30, false);
  EXPECT_EQ(speedscope.rfind("t.speedscope.json will take about 11.0 GiB, and browsers load no "
                             "JSON file over about 512 MiB: speedscope will not open it.",
                             0),
            0u)
      << speedscope;
  for (const std::string& w :
       {speedscope, reader::too_big_warning("t.json", ConvertKind::Json, json + 1, false),
        reader::too_big_warning("t.svg", ConvertKind::Svg, svg + 1, true)}) {
    EXPECT_NE(w.find("`morvex run --min-duration 100us` (or --max-depth, --include, --exclude)"),
              std::string::npos)
        << w;
    EXPECT_EQ(w.find('\n'), std::string::npos);
  }
}

TEST(ConvertWarnings, EachKindWarnsOnceAndStillWrites) {
  TraceFile source, out;
  write_runs(source, Fmt::Proto, program_code(), program_threads(),
             {ProcessRun{.events = program()}});
  struct {
    const char* suffix;
    const char* start;  // of the warning, after the output's name
  } const cases[] = {
      {".speedscope.json", " will take about "},  // estimated before writing
      {".svg", " takes "},                        // rendered before writing
      {".json", " is over 100 bytes"},            // found while writing
      {".folded", nullptr},
      {".prof", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suffix);
    const std::string name = out.path() + c.suffix;
    std::vector<std::string> warnings;
    reader::ConvertWatch watch;
    watch.limits = {.json = 100, .svg = 100};
    watch.warn = [&](const std::string& w) { warnings.push_back(w); };
    ASSERT_TRUE(reader::convert(source.path(), name, std::nullopt, {}, watch).ok());
    const std::string doc = slurp(name);
    ::unlink(name.c_str());
    EXPECT_GT(doc.size(), 100u);
    if (c.start == nullptr) {
      EXPECT_TRUE(warnings.empty());
      continue;
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(name + c.start, 0), 0u) << warnings[0];
  }
}

TEST(ConvertWarnings, SpeedscopesSizeIsEstimatedBeforeItIsWritten) {
  // Enough events that the estimate is about the events, not the head.
  std::vector<core::Event> events;
  for (uint64_t i = 0; i < 20000; ++i) {
    events.push_back(at(1'000'000'000 + i * 100, kMain, EventKind::Start, i % 4));
    events.push_back(at(1'000'000'000 + i * 100 + 50, kMain, EventKind::Return, i % 4));
  }
  TraceFile source, out;
  write_runs(source, Fmt::Proto, program_code(), program_threads(),
             {ProcessRun{.events = events}});
  const std::string name = out.path() + ".speedscope.json";
  uint64_t read = 0, written = 0;
  std::vector<std::string> warnings;
  reader::ConvertWatch watch;
  watch.read = [&](uint64_t r, uint64_t size) {
    EXPECT_EQ(size, slurp(source.path()).size());
    read = r;
  };
  watch.wrote = [&](uint64_t w) { written = w; };
  watch.warn = [&](const std::string& w) { warnings.push_back(w); };
  ASSERT_TRUE(reader::convert(source.path(), name, std::nullopt, {}, watch).ok());
  const std::string doc = slurp(name);
  ::unlink(name.c_str());
  EXPECT_EQ(read, slurp(source.path()).size());
  EXPECT_GT(written, 0u);
  EXPECT_LE(written, doc.size());
  EXPECT_TRUE(warnings.empty());  // far below the limit

  // The estimate the warning is made from.
  reader::ReadOptions options;
  auto spill = reader::SpeedscopeSpill::create(::testing::TempDir());
  ASSERT_TRUE(spill.ok());
  options.observer = &spill.value();
  auto t = reader::read_trace(source.path(), options);
  ASSERT_TRUE(t.ok());
  const double ratio =
      static_cast<double>(spill.value().estimate(t.value())) / static_cast<double>(doc.size());
  EXPECT_GT(ratio, 0.85);
  EXPECT_LT(ratio, 1.15);
}

}  // namespace
}  // namespace morvex::test
