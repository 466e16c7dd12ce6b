// The reader on damaged traces, on records it does not know, and on the
// extensions of the formats (shared sequences, user events, filters).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "reader/report.h"
#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::Damage;
using reader::Trace;

FakeCode code_table() {
  FakeCode code;
  code.infos = {
      {0, {"main", "/app/m.py", 1}}, {1, {"f", "/app/m.py", 5}}, {2, {"g", "/app/m.py", 9}}};
  return code;
}

// Two threads and two processes, a recursion and a dropped-events record.
std::string real_trace(Fmt fmt) {
  FakeThreads threads;
  threads.names = {{1, "MainThread"}, {2, "w"}};
  std::vector<core::Event> events = {
      at(0, 1, EventKind::Start, 0),   at(5, 1, EventKind::Start, 1),
      at(6, 1, EventKind::Start, 1),   at(8, 1, EventKind::Return, 1),
      at(9, 1, EventKind::Return, 1),  at(10, 2, EventKind::Start, 2),
      at(20, 2, EventKind::Yield, 2),  at(30, 2, EventKind::Resume, 2),
      at(40, 2, EventKind::Return, 2), at(50, 1, EventKind::Return, 0),
  };
  TraceFile file;
  write_runs(file, fmt, code_table(), threads,
             {ProcessRun{.pid = 10, .events = events, .dropped = 3},
              ProcessRun{.pid = 11, .sequence_base = 11, .events = events}},
             4);
  return file.contents();
}

uint64_t self_sum(const Trace& t, uint32_t thread) {
  uint32_t one[] = {thread};
  uint64_t sum = 0;
  for (const auto& r : reader::function_stats(t, one)) sum += r.self_ns;
  return sum;
}

class ReaderDamage : public ::testing::TestWithParam<Fmt> {};

TEST_P(ReaderDamage, EveryPrefixReadsAsACutOffTraceWithFewerEvents) {
  const std::string whole = real_trace(GetParam());
  const Trace full = read_bytes_ok(whole);
  ASSERT_EQ(full.damage, Damage::None);
  ASSERT_EQ(full.events, 20u);
  uint64_t previous = 0;
  size_t cut_off = 0;
  for (size_t n = 1; n < whole.size(); ++n) {
    SCOPED_TRACE(n);
    for (size_t chunk : {size_t{3}, size_t{1} << 20}) {
      reader::ReadOptions options;
      options.chunk_size = chunk;
      auto r = reader::read_trace_bytes(std::string_view(whole).substr(0, n), "cut", options);
      // Perfetto's first byte is a newline: alone, it is only whitespace.
      if (whole.find_first_not_of(" \t\r\n") >= n) {
        EXPECT_FALSE(r.ok());
        continue;
      }
      ASSERT_TRUE(r.ok()) << r.error().text();
      const Trace& t = r.value();
      // A cut is never mistaken for corruption, and what was read grows with
      // the prefix without passing the whole.
      EXPECT_NE(t.damage, Damage::Corrupt);
      if (t.damage == Damage::CutOff) {
        EXPECT_LT(t.damage_offset, n);
        ++cut_off;
      }
      EXPECT_GE(t.events, previous);
      EXPECT_LE(t.events, full.events);
      EXPECT_LE(t.dropped(), full.dropped());
      for (uint32_t i = 0; i < t.threads.size(); ++i) {
        EXPECT_EQ(self_sum(t, i), t.threads[i].traced_ns);
      }
      if (chunk != 3) previous = t.events;
    }
  }
  EXPECT_GT(cut_off, whole.size() / 2);
}

TEST_P(ReaderDamage, BytesThatAreNoRecordEndTheReadThere) {
  const std::string whole = real_trace(GetParam());
  const Trace full = read_bytes_ok(whole);
  // Garbage spliced in at the start of the second process's part.
  const size_t at = GetParam() == Fmt::Proto ? whole.size() / 2 : whole.find("\"pid\":11") - 28;
  size_t split = GetParam() == Fmt::Proto ? 0 : whole.rfind("},", at) + 2;
  if (GetParam() == Fmt::Proto) {
    // Walk the packets to a boundary near the middle.
    size_t p = 0;
    while (p < at) p += 2 + static_cast<uint8_t>(whole[p + 1]);
    split = p;
  }
  const std::string garbage = GetParam() == Fmt::Proto ? std::string("\x0f\x01\x02", 3) : "xyz";
  const std::string broken = whole.substr(0, split) + garbage + whole.substr(split);
  Trace t = read_bytes_ok(broken, 5);
  EXPECT_EQ(t.damage, Damage::Corrupt);
  EXPECT_EQ(t.damage_offset, split);
  EXPECT_GT(t.events, 0u);
  EXPECT_LT(t.events, full.events);
}

TEST_P(ReaderDamage, FlippedBytesNeverBreakTheReader) {
  const std::string whole = real_trace(GetParam());
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = whole;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
      bytes[rng() % bytes.size()] = static_cast<char>(rng() % 256);
    }
    reader::ReadOptions options;
    options.chunk_size = 1 + rng() % 64;
    options.tree = true;
    options.callers = true;
    auto r = reader::read_trace_bytes(bytes, "flipped", options);
    if (!r.ok()) continue;  // a first byte that no longer says which format
    const Trace& t = r.value();
    for (uint32_t i = 0; i < t.threads.size(); ++i) {
      ASSERT_EQ(self_sum(t, i), t.threads[i].traced_ns) << round;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ReaderDamage, ::testing::Values(Fmt::Proto, Fmt::Json),
                         [](const auto& info) { return std::string(fmt_name(info.param)); });

// ---- Perfetto packets written by hand ----

constexpr uint64_t kProcessUuid = (uint64_t{100} << 32) + 1;

std::string process_packet() {
  return Pb()
      .varint(8, 0)
      .varint(10, 1)
      .msg(60, Pb().varint(1, kProcessUuid).msg(3, Pb().varint(1, 100).bytes(6, "python")))
      .varint(13, 1)
      .packet();
}

// A thread packet as the exporter writes one for a thread of its own.
std::string thread_packet(uint32_t seq, uint64_t uuid, int64_t tid, std::string_view name) {
  return Pb()
      .varint(8, 0)
      .varint(10, seq)
      .msg(60, Pb().varint(1, uuid)
                   .msg(4, Pb().varint(1, 100).sint(2, tid).bytes(5, name))
                   .varint(5, kProcessUuid))
      .msg(12, Pb().msg(1, Pb().varint(1, 1).bytes(2, "py")))
      .varint(13, 1)
      .msg(59, Pb().msg(11, Pb().varint(11, uuid)))
      .packet();
}

std::string name_packet(uint32_t seq, uint64_t iid, std::string_view name) {
  return Pb()
      .varint(8, 0)
      .varint(10, seq)
      .msg(12, Pb().msg(2, Pb().varint(1, iid).bytes(2, name)))
      .varint(13, 2)
      .packet();
}

// A slice begin by interned name (track 0: the sequence's default).
std::string begin_packet(uint32_t seq, uint64_t ts, uint64_t iid, uint64_t track = 0) {
  Pb event;
  event.varint(9, 1).varint(3, 1).varint(10, iid);
  if (track != 0) event.varint(11, track);
  return Pb().varint(8, ts).varint(10, seq).varint(13, 2).msg(11, event).packet();
}

std::string end_packet(uint32_t seq, uint64_t ts, uint64_t track = 0) {
  Pb event;
  event.varint(9, 2);
  if (track != 0) event.varint(11, track);
  return Pb().varint(8, ts).varint(10, seq).varint(13, 2).msg(11, event).packet();
}

Pb annotation(std::string_view name, std::string_view text) {
  return Pb().bytes(10, name).bytes(6, text);
}
Pb annotation(std::string_view name, int64_t value) { return Pb().bytes(10, name).sint(4, value); }

TEST(ReaderPerfetto, ThreadsSharingOneSequenceAreRoutedByTrackUuid) {
  const uint64_t t1 = kProcessUuid + 126, t2 = kProcessUuid + 127, own = kProcessUuid + 1;
  std::string file = process_packet();
  file += thread_packet(2, own, 7, "own");
  // The shared sequence: the first descriptor clears the state and interns
  // the category but sets no default track; the next has neither.
  file += Pb().varint(8, 0)
              .varint(10, 127)
              .msg(60, Pb().varint(1, t1)
                           .msg(4, Pb().varint(1, 100).varint(2, 501).bytes(5, "t-125"))
                           .varint(5, kProcessUuid))
              .msg(12, Pb().msg(1, Pb().varint(1, 1).bytes(2, "py")))
              .varint(13, 1)
              .packet();
  file += Pb().varint(8, 0)
              .varint(10, 127)
              .msg(60, Pb().varint(1, t2)
                           .msg(4, Pb().varint(1, 100).varint(2, 502).bytes(5, "t-126"))
                           .varint(5, kProcessUuid))
              .packet();
  file += name_packet(127, 1, "work");
  file += name_packet(2, 1, "mine");
  file += begin_packet(127, 10, 1, t1);
  file += begin_packet(2, 11, 1);
  file += begin_packet(127, 12, 1, t2);
  file += end_packet(127, 20, t1);
  file += end_packet(2, 25);
  file += end_packet(127, 30, t2);
  Trace t = read_bytes_ok(file);
  ASSERT_EQ(t.damage, Damage::None);
  ASSERT_EQ(t.threads.size(), 3u);
  EXPECT_EQ(thread_named(t, "t-125")->traced_ns, 10u);
  EXPECT_EQ(thread_named(t, "t-126")->traced_ns, 18u);
  EXPECT_EQ(thread_named(t, "own")->traced_ns, 14u);
  EXPECT_EQ(thread_named(t, "t-126")->tid, 502u);
  auto rows = all_rows(t);
  EXPECT_EQ(row_of(t, rows, "work").total_ns, 28u);
  EXPECT_EQ(row_of(t, rows, "mine").calls, 1u);
}

TEST(ReaderPerfetto, SpansInstantsAndCountersAreUnderstood) {
  const uint64_t track = kProcessUuid + 1, counter = kProcessUuid + (uint64_t{1} << 31);
  std::string file = process_packet();
  file +=
      Pb().varint(8, 0)
          .varint(10, 1)
          .msg(60, Pb().varint(1, counter).bytes(2, "queue").msg(8, Pb()).varint(5, kProcessUuid))
          .packet();
  file += thread_packet(2, track, -5, "MainThread");  // tid 2^32 - 5
  file += name_packet(2, 1, "handler");
  file += begin_packet(2, 100, 1);
  auto user_event = [](uint64_t ts, uint64_t type, std::string_view name) {
    Pb event;
    event.varint(9, type).bytes(22, "user").bytes(23, name);
    event.msg(4, annotation("size", int64_t{3}));
    return Pb().varint(8, ts).varint(10, 2).varint(13, 2).msg(11, event).packet();
  };
  file += user_event(110, 1, "load");
  file += user_event(115, 3, "mark");
  file += Pb().varint(8, 116)
              .varint(10, 2)
              .varint(13, 2)
              .msg(11, Pb().varint(9, 4).varint(11, counter).sint(30, 5))
              .packet();
  file +=
      Pb().varint(8, 117)
          .varint(10, 2)
          .varint(13, 2)
          .msg(11, Pb().varint(9, 4).varint(11, counter).fixed64(44, 0x4004000000000000))  // 2.5
          .packet();
  file += begin_packet(2, 118, 1);  // a handler call inside the span
  file += end_packet(2, 119);
  file += end_packet(2, 130);  // the span
  file += end_packet(2, 150);
  Trace t = read_bytes_ok(file);
  ASSERT_EQ(t.damage, Damage::None);
  EXPECT_EQ(t.instants, 1u);
  EXPECT_EQ(t.events, 9u);
  ASSERT_EQ(t.threads.size(), 1u);
  EXPECT_EQ(t.threads[0].tid, 0xFFFFFFFBu);
  auto rows = all_rows(t);
  auto span = row_of(t, rows, "load", /*span=*/true);
  EXPECT_EQ(span.calls, 1u);
  EXPECT_EQ(span.total_ns, 20u);
  EXPECT_EQ(span.self_ns, 19u);
  auto handler = row_of(t, rows, "handler");
  EXPECT_EQ(handler.calls, 2u);
  EXPECT_EQ(handler.primitive_calls, 1u);
  EXPECT_EQ(handler.total_ns, 50u);
  EXPECT_EQ(handler.self_ns, 31u);
  ASSERT_EQ(t.counters.size(), 1u);
  EXPECT_EQ(t.counters[0].name, "queue");
  EXPECT_EQ(t.counters[0].pid, 100u);
  EXPECT_EQ(t.counters[0].samples, 2u);
  EXPECT_EQ(t.counters[0].min, 2.5);
  EXPECT_EQ(t.counters[0].max, 5.0);
  const std::string text = reader::report_text(t, {}).value();
  EXPECT_NE(text.find("Events     9 (1 instant event)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Counters\n  queue (pid 100): 2 samples, 2.5 to 5, last 2.5\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n[span] load "), std::string::npos) << text;
}

// NaN compares false with everything: one sample of it once stuck in the
// range for good ("nan to nan").
TEST(ReaderPerfetto, NanSamplesStayOutOfACountersRange) {
  const uint64_t track = kProcessUuid + 1;
  auto counter_track = [](uint64_t uuid, std::string_view name) {
    return Pb().varint(8, 0)
        .varint(10, 1)
        .msg(60, Pb().varint(1, uuid).bytes(2, name).msg(8, Pb()).varint(5, kProcessUuid))
        .packet();
  };
  auto sample = [](uint64_t ts, uint64_t uuid, double v) {
    return Pb().varint(8, ts)
        .varint(10, 2)
        .varint(13, 2)
        .msg(11, Pb().varint(9, 4).varint(11, uuid).fixed64(44, std::bit_cast<uint64_t>(v)))
        .packet();
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const uint64_t mixed = kProcessUuid + 100, only_nan = kProcessUuid + 101,
                 one_nan = kProcessUuid + 102;
  std::string file = process_packet() + counter_track(mixed, "mixed") +
                     counter_track(only_nan, "only nan") + counter_track(one_nan, "one nan");
  file += thread_packet(2, track, 7, "MainThread");
  uint64_t ts = 10;
  for (double v : {nan, 2.5, nan, 5.0, -nan}) file += sample(ts++, mixed, v);
  for (double v : {nan, nan}) file += sample(ts++, only_nan, v);
  file += sample(ts++, one_nan, nan);
  Trace t = read_bytes_ok(file);
  ASSERT_EQ(t.counters.size(), 3u);
  EXPECT_EQ(t.counters[0].samples, 5u);
  EXPECT_EQ(t.counters[0].nan_samples, 3u);
  EXPECT_EQ(t.counters[0].min, 2.5);
  EXPECT_EQ(t.counters[0].max, 5.0);
  const std::string text = reader::report_text(t, {}).value();
  EXPECT_NE(text.find("Counters\n"
                      "  mixed (pid 100): 5 samples (3 NaN), 2.5 to 5, last NaN\n"
                      "  only nan (pid 100): 2 samples, all NaN\n"
                      "  one nan (pid 100): 1 sample, NaN\n"),
            std::string::npos)
      << text;
}

TEST(ReaderPerfetto, FiltersAndDroppedRecordsReachTheirProcess) {
  std::string file = process_packet();
  Pb filters;
  filters.varint(9, 3)
      .varint(11, kProcessUuid)
      .bytes(22, "py")
      .bytes(22, "filters")
      .bytes(23, "morvex: filters");
  filters.msg(4, annotation("include", "app.*,lib"))
      .msg(4, annotation("max_depth", int64_t{5}))
      .msg(4, annotation("min_duration_ns", int64_t{100000}))
      .msg(4, annotation("filtered_functions", int64_t{3}))
      .msg(4, annotation("max_depth_events", int64_t{42}))
      .msg(4, annotation("min_duration_events", int64_t{7}));
  file += Pb().varint(8, 0).varint(10, 1).msg(11, filters).packet();
  file += Pb().varint(8, 0)
              .varint(10, 1)
              .msg(11, Pb().varint(9, 3)
                           .varint(11, kProcessUuid)
                           .bytes(22, "py")
                           .bytes(22, "dropped")
                           .bytes(23, "morvex: 12288 events dropped"))
              .packet();
  Trace t = read_bytes_ok(file);
  ASSERT_EQ(t.processes.size(), 1u);
  const auto& p = t.processes[0];
  EXPECT_EQ(p.dropped, 12288u);
  ASSERT_TRUE(p.filters.has_value());
  EXPECT_EQ(p.filters->include, "app.*,lib");
  EXPECT_FALSE(p.filters->exclude.has_value());
  EXPECT_EQ(p.filters->max_depth, 5u);
  EXPECT_EQ(p.filters->min_duration_ns, 100000u);
  EXPECT_EQ(p.filters->filtered_functions, 3u);
  EXPECT_EQ(p.filters->max_depth_events, 42u);
  EXPECT_EQ(p.filters->min_duration_events, 7u);
  EXPECT_EQ(t.events, 0u);  // morvex's own records are no events
  EXPECT_EQ(t.instants, 0u);
  EXPECT_EQ(reader::trace_notes(t),
            (std::vector<std::string>{
                "12,288 events were dropped while tracing; figures are lower bounds.",
                "Filtered while recording: include \"app.*,lib\", max depth 5, min duration 100 us "
                "(3 functions left out by include/exclude, 42 events beyond max depth 5, 7 slices "
                "shorter than 100 us)."}));
}

TEST(ReaderPerfetto, UnknownPacketsFieldsAndTypesAreSkipped) {
  std::string file = process_packet();
  file += thread_packet(2, kProcessUuid + 1, 7, "main");
  // Unknown fields of every wire type in a packet, in a track event and in a
  // descriptor; a packet of another kind; an event type this reader ignores;
  // an unknown top-level field of the Trace message.
  file += Pb().varint(8, 0)
              .varint(10, 2)
              .varint(900, 1)
              .fixed64(901, 2)
              .bytes(902, "x")
              .msg(12, Pb().msg(2, Pb().varint(1, 1).bytes(2, "f").varint(77, 1)).msg(3, Pb()))
              .packet();
  file += Pb().varint(8, 5)
              .varint(10, 2)
              .varint(13, 2)
              .msg(11, Pb().varint(9, 1).varint(10, 1).bytes(99, "??").fixed64(98, 1).varint(97, 4))
              .packet();
  file += Pb().msg(2, Pb().varint(1, 1)).str();  // Trace field 2
  file += Pb().varint(8, 6).varint(10, 2).msg(11, Pb().varint(9, 77)).packet();
  file += Pb().varint(8, 7).varint(10, 2).msg(44, Pb().bytes(1, "clock snapshot")).packet();
  file += Pb().varint(8, 8)
              .varint(10, 2)
              .msg(60, Pb().varint(1, 999).bytes(2, "plain track").msg(50, Pb()))
              .packet();
  file += end_packet(2, 9);
  Trace t = read_bytes_ok(file);
  EXPECT_EQ(t.damage, Damage::None);
  auto rows = all_rows(t);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].total_ns, 4u);
  EXPECT_EQ(t.events, 2u);
}

TEST(ReaderPerfetto, ClearedStateForgetsNamesAndEndsCloseOnTheirTrack) {
  std::string file = process_packet();
  file += thread_packet(2, kProcessUuid + 1, 7, "main");
  file += name_packet(2, 1, "before");
  file += begin_packet(2, 10, 1);
  file += end_packet(2, 20);
  // The same sequence starts again (another writer, same ids): iid 1 now
  // names something else, and an iid never interned reads as <unknown>.
  file += thread_packet(2, kProcessUuid + 1, 7, "main");
  file += name_packet(2, 1, "after");
  file += begin_packet(2, 30, 1);
  file += begin_packet(2, 35, 9);
  file += end_packet(2, 36);
  file += end_packet(2, 40);
  Trace t = read_bytes_ok(file);
  auto rows = all_rows(t);
  EXPECT_EQ(row_of(t, rows, "before").total_ns, 10u);
  EXPECT_EQ(row_of(t, rows, "after").total_ns, 10u);
  EXPECT_EQ(row_of(t, rows, "<unknown>").total_ns, 1u);
}

// A name and a location interned together under one iid, as the exporter
// writes them.
std::string located_name_packet(uint32_t seq, uint64_t iid, std::string_view name,
                                std::string_view file, uint64_t line) {
  return Pb()
      .varint(8, 0)
      .varint(10, seq)
      .msg(12, Pb().msg(2, Pb().varint(1, iid).bytes(2, name))
                   .msg(4, Pb().varint(1, iid).bytes(2, file).bytes(3, name).varint(4, line)))
      .varint(13, 2)
      .packet();
}

// A begin with a category iid and, unless 0, a source location iid.
std::string located_begin(uint32_t seq, uint64_t ts, uint64_t category, uint64_t name_iid,
                          uint64_t location_iid) {
  Pb event;
  event.varint(9, 1).varint(3, category).varint(10, name_iid);
  if (location_iid != 0) event.varint(34, location_iid);
  return Pb().varint(8, ts).varint(10, seq).varint(13, 2).msg(11, event).packet();
}

struct Row {
  std::string name, file;
  uint32_t line;
  uint64_t calls, slices;
  bool operator==(const Row&) const = default;
};

std::vector<Row> rows_by_function(const Trace& t) {
  std::vector<Row> out;
  for (const auto& r : all_rows(t)) {
    const auto& f = t.functions[r.function];
    out.push_back({f.name, f.file, f.line, r.calls, r.slices});
  }
  std::sort(out.begin(), out.end(), [](const Row& a, const Row& b) {
    return std::tie(a.name, a.file, a.line) < std::tie(b.name, b.file, b.line);
  });
  return out;
}

// Same-named functions of two files stay two; a resume is a slice but no
// call; and other writers' pairings (a location under another iid, a name
// used without its location, a location interned after its name, a
// resume category spelled inline) read by what they say.
TEST(ReaderPerfetto, SourceLocationsAndResumeCategories) {
  std::string file = process_packet();
  // The thread packet interns both categories as the exporter does.
  file += Pb().varint(8, 0)
              .varint(10, 2)
              .msg(60, Pb().varint(1, kProcessUuid + 1)
                           .msg(4, Pb().varint(1, 100).varint(2, 7).bytes(5, "main"))
                           .varint(5, kProcessUuid))
              .msg(12, Pb().msg(1, Pb().varint(1, 1).bytes(2, "py"))
                           .msg(1, Pb().varint(1, 2).bytes(2, "py.resume")))
              .varint(13, 1)
              .msg(59, Pb().msg(11, Pb().varint(11, kProcessUuid + 1)))
              .packet();
  file += located_name_packet(2, 1, "parse", "/lib/ast.py", 30);
  file += located_name_packet(2, 2, "parse", "/lib/re/_parser.py", 970);
  file += located_name_packet(2, 3, "tokens", "/app/lex.py", 5);
  uint64_t ts = 0;
  for (uint64_t iid : {1, 2, 2}) {
    file += located_begin(2, ++ts, 1, iid, iid);
    file += end_packet(2, ++ts);
  }
  // A generator: started once, resumed twice.
  for (uint64_t category : {1, 2, 2}) {
    file += located_begin(2, ++ts, category, 3, 3);
    file += end_packet(2, ++ts);
  }
  // parse's name with tokens' location; parse's name with no location.
  file += located_begin(2, ++ts, 1, 1, 3);
  file += end_packet(2, ++ts);
  file += located_begin(2, ++ts, 1, 1, 0);
  file += end_packet(2, ++ts);
  // iid 9's name first, its location later.
  file += name_packet(2, 9, "late");
  file += Pb().varint(10, 2)
              .msg(12, Pb().msg(4, Pb().varint(1, 9).bytes(2, "/app/late.py").varint(4, 7)))
              .varint(13, 2)
              .packet();
  file += located_begin(2, ++ts, 1, 9, 9);
  file += end_packet(2, ++ts);
  // An inline resume category.
  file += Pb().varint(8, ++ts)
              .varint(10, 2)
              .varint(13, 2)
              .msg(11, Pb().varint(9, 1).bytes(22, "py.resume").varint(10, 3).varint(34, 3))
              .packet();
  file += end_packet(2, ++ts);
  Trace t = read_bytes_ok(file);
  ASSERT_EQ(t.damage, Damage::None);
  EXPECT_EQ(rows_by_function(t), (std::vector<Row>{
                                     {"late", "/app/late.py", 7, 1, 1},
                                     {"parse", "", 0, 1, 1},
                                     {"parse", "/app/lex.py", 5, 1, 1},
                                     {"parse", "/lib/ast.py", 30, 1, 1},
                                     {"parse", "/lib/re/_parser.py", 970, 2, 2},
                                     {"tokens", "/app/lex.py", 5, 1, 4},
                                 }));
}

// ---- JSON written by hand ----

TEST(ReaderJson, UserEventsFiltersAndForeignRecords) {
  const std::string text = R"([
    {"name":"handle","cat":"py","ph":"B","ts":1.000,"pid":5,"tid":9,"args":{"file":"h.py","line":3,"kind":"start"}},
    {"name":"x","ph":"X","ts":1,"dur":5,"pid":5,"tid":9},
    {"name":"load \"db\"","cat":"user","ph":"B","ts":2.000,"pid":5,"tid":9,"args":{"rows":12,"ok":true,"ratio":null,"tags":["a",{"b":[1,2]}],"file":"ignored.py"}},
    {"name":"mark","cat":"user","ph":"i","s":"t","ts":2.500,"pid":5,"tid":9,"args":{"note":"x"}},
    {"name":"queue","cat":"user","ph":"C","ts":2.600,"pid":5,"tid":9,"args":{"value":4.5}},
    {"name":"queue","cat":"user","ph":"C","ts":2.700,"pid":5,"tid":9,"args":{"value":null}},
    {"name":"queue","cat":"user","ph":"C","ts":2.800,"pid":5,"tid":9,"args":{"value":-1}},
    {"name":"load \"db\"","cat":"user","ph":"E","ts":4.000,"pid":5,"tid":9},
    {"unknown":{"deep":[[[]]]},"ph":"P"},
    {},
    {"name":"handle","cat":"py","ph":"E","ts":10.000,"pid":5,"tid":9,"args":{"file":"h.py","line":3,"kind":"return"}},
    {"args":{"include":"app.*","exclude":"app.vendor.*","max_depth":5,"min_duration_ns":100000,"filtered_functions":3,"max_depth_events":42,"min_duration_events":7},"name":"morvex_filters","ph":"M","pid":5,"tid":0},
    {"args":{"name":"Main \u00e9"},"name":"thread_name","ph":"M","pid":5,"tid":9},
    {"args":{"count":12288},"name":"morvex_dropped_events","ph":"M","pid":5,"tid":0}
  ])";
  Trace t = read_bytes_ok(text, 16);
  ASSERT_EQ(t.damage, Damage::None);
  EXPECT_EQ(t.instants, 1u);
  EXPECT_EQ(t.events, 9u);  // the X event is a begin and an end
  ASSERT_EQ(t.threads.size(), 1u);
  EXPECT_EQ(t.threads[0].name, "Main \xc3\xa9");
  auto rows = all_rows(t);
  ASSERT_EQ(rows.size(), 3u);
  auto span = row_of(t, rows, "load \"db\"", true);
  EXPECT_EQ(span.total_ns, 2000u);
  EXPECT_EQ(t.functions[span.function].file, "");
  // The X event begins with handle, inside it, and holds the span.
  auto handle = row_of(t, rows, "handle");
  EXPECT_EQ(handle.total_ns, 9000u);
  EXPECT_EQ(handle.self_ns, 4000u);
  auto x = row_of(t, rows, "x");
  EXPECT_EQ(x.total_ns, 5000u);
  EXPECT_EQ(x.self_ns, 3000u);
  ASSERT_EQ(t.counters.size(), 1u);
  EXPECT_EQ(t.counters[0].samples, 2u);
  EXPECT_EQ(t.counters[0].min, -1.0);
  EXPECT_EQ(t.counters[0].max, 4.5);
  const auto& p = t.processes[0];
  EXPECT_EQ(p.dropped, 12288u);
  ASSERT_TRUE(p.filters.has_value());
  EXPECT_EQ(p.filters->include, "app.*");
  EXPECT_EQ(p.filters->exclude, "app.vendor.*");
  EXPECT_EQ(p.filters->max_depth, 5u);
  EXPECT_EQ(p.filters->min_duration_ns, 100000u);
  EXPECT_EQ(p.filters->filtered_functions, 3u);
  EXPECT_EQ(p.filters->max_depth_events, 42u);
  EXPECT_EQ(p.filters->min_duration_events, 7u);
}

TEST(ReaderJson, NamesAreUnescapedAndInvalidUtf8Replaced) {
  struct {
    std::string raw;   // as in the file, between the quotes
    std::string name;  // in the model
  } const cases[] = {
      {R"(plain)", "plain"},
      {R"(a\"b\\c\/d\te)", "a\"b\\c/d\te"},
      {R"(caf\u00e9)", "caf\xc3\xa9"},
      {R"(\ud83d\ude00)", "\xf0\x9f\x98\x80"},
      {R"(lone \ud800!)", "lone \xef\xbf\xbd!"},
      {"raw \xff\xfe", "raw \xef\xbf\xbd\xef\xbf\xbd"},
      {"cut \xe2\x82", "cut \xef\xbf\xbd\xef\xbf\xbd"},
      {"", "<unknown>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    const std::string text =
        "[{\"name\":\"" + c.raw +
        R"(","cat":"py","ph":"B","ts":1.5,"pid":1,"tid":1,"args":{"file":"f.py","line":2,"kind":"start"}},)";
    Trace t = read_bytes_ok(text);
    ASSERT_EQ(t.functions.size(), 1u);
    EXPECT_EQ(t.functions[0].name, c.name);
    EXPECT_EQ(t.threads[0].first_ts, 1500u);
  }
}

TEST(ReaderJson, TimestampsInEveryNumberForm) {
  struct {
    const char* ts;
    uint64_t ns;
  } const cases[] = {
      {"0", 0},         {"1.000", 1000}, {"1234.567", 1234567},
      {"2", 2000},      {"1.5", 1500},   {"1.2346", 1235},
      {"1e3", 1000000}, {"-5", 0},       {"18446744073709551.615", 18446744073709551615u}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ts);
    const std::string text =
        std::string(R"([{"name":"f","cat":"py","ph":"B","ts":)") + c.ts + R"(,"pid":1,"tid":1},)";
    Trace t = read_bytes_ok(text);
    ASSERT_EQ(t.threads.size(), 1u);
    EXPECT_EQ(t.threads[0].first_ts, c.ns);
  }
}

TEST(ReaderJson, AClosedArrayAndTrailingWhitespaceAreFine) {
  const std::string text =
      " \n[{\"name\":\"f\",\"ph\":\"B\",\"ts\":1,\"pid\":1,\"tid\":1},"
      "{\"name\":\"f\",\"ph\":\"E\",\"ts\":3,\"pid\":1,\"tid\":1}]\n\n";
  Trace t = read_bytes_ok(text);
  EXPECT_EQ(t.damage, Damage::None);
  EXPECT_EQ(t.threads[0].traced_ns, 2000u);
}

// A record longer than the window once made the reader ask for one byte
// more at a time, each time parsing the record again: a 1.1 MB record took
// half a minute. The window doubles instead, so a record is parsed again a
// few times, whatever its length.
TEST(ReaderInput, AWindowAskedForAByteMoreDoubles) {
  const std::string bytes(size_t{10} << 20, 'x');
  reader::Input in = reader::Input::memory(bytes, 4096);
  size_t asked = 0;
  while (in.avail() < bytes.size()) {
    ASSERT_TRUE(in.ensure(in.avail() + 1));
    ++asked;
  }
  EXPECT_LE(asked, 13u);  // 4 KiB doubled to 10 MiB
  EXPECT_FALSE(in.ensure(in.avail() + 1));
}

TEST(ReaderJson, RecordsLongerThanTheWindowAreRead) {
  for (size_t pad : {size_t{1100} * 1000, size_t{6} << 20}) {
    SCOPED_TRACE(pad);
    const std::string text =
        R"([{"name":"f","cat":"py","ph":"B","ts":1.000,"pid":1,"tid":1,"args":{"pad":")" +
        std::string(pad, 'x') + R"(","kind":"start"}},)" +
        R"({"name":"f","cat":"py","ph":"E","ts":3.000,"pid":1,"tid":1},)";
    TraceFile file;
    { std::ofstream(file.path(), std::ios::binary) << text; }
    for (const Trace& t : {read_ok(file.path()), read_bytes_ok(text, 4096)}) {
      EXPECT_EQ(t.damage, Damage::None);
      EXPECT_EQ(t.events, 2u);
      ASSERT_EQ(t.threads.size(), 1u);
      EXPECT_EQ(t.threads[0].traced_ns, 2000u);
    }
  }
}

// Past Input::kMaxRecord a record is taken for a damaged file (a stray
// bracket or quote swallows the rest), and the read fails saying so.
TEST(ReaderJson, ARecordPastTheLimitFailsTheReadInOneLine) {
  const std::string head = R"([{"name":"f","cat":"py","ph":"B","ts":1.000,"pid":1,"tid":1},)";
  const std::string text = head + R"({"name":"g","args":{"pad":")" +
                           std::string(reader::Input::kMaxRecord + 10, 'x') + R"("}},)";
  for (size_t chunk : {size_t{1} << 20, size_t{7}}) {
    SCOPED_TRACE(chunk);
    reader::ReadOptions options;
    options.chunk_size = chunk;
    auto r = reader::read_trace_bytes(text, "big.json", options);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(),
              "cannot read big.json: the record at byte " + std::to_string(head.size()) +
                  " is longer than 64 MiB, the most the reader takes for one record (a stray "
                  "bracket or quote makes the rest of a file look like one record)");
  }
  // Just under the limit is fine.
  const std::string fits = head + R"({"name":"g","args":{"pad":")" +
                           std::string(reader::Input::kMaxRecord - 64, 'x') + R"("}},)";
  EXPECT_EQ(read_bytes_ok(fits).events, 1u);
}

}  // namespace
}  // namespace morvex::test
