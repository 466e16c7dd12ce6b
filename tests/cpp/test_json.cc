#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/output.h"
#include "core/sink.h"
#include "fakes.h"
#include "json/exporter.h"

namespace morvex::json {
namespace {

using core::CodeInfo;
using core::Event;
using core::EventKind;

// ---- helpers ----

using test::ev;
using test::FakeCode;
using test::FakeThreads;
using test::TraceFile;

// As the format opener does for a new file: truncate, then "[" at once.
core::SharedFile open_with_bracket(TraceFile& file) {
  core::SharedFile out = file.open();
  out.write_all(std::string_view("["));
  EXPECT_TRUE(out.flush().ok());
  return out;
}

constexpr uint32_t kPid = 4242;

struct Session {
  TraceFile file;
  FakeCode code;
  FakeThreads threads;
  JsonExporter exporter = JsonExporter::create(open_with_bracket(file), kPid);

  core::Status batch(const std::vector<Event>& events) {
    return exporter.write_batch(events, code, threads);
  }
  core::Status finish(uint64_t dropped) { return exporter.finish(code, threads, dropped); }
};

// ---- text writers ----

TEST(JsonText, TemplateHoldsTheEscapedPerCodeText) {
  struct {
    CodeInfo info;
    const char* head;
    const char* tail;
  } const cases[] = {
      {{"f", "/tmp/a.py", 3},
       R"({"name":"f","cat":"py","ph":")",
       R"(,"args":{"file":"/tmp/a.py","line":3,"kind":")"},
      {{"", "", 0},
       R"({"name":"<unknown>","cat":"py","ph":")",
       R"(,"args":{"file":"","line":0,"kind":")"},
      {{"A.<locals>.\"q\"", "C:\\x\t.py", 4294967295u},
       R"({"name":"A.<locals>.\"q\"","cat":"py","ph":")",
       R"(,"args":{"file":"C:\\x\t.py","line":4294967295,"kind":")"},
  };
  for (const auto& c : cases) {
    Template t = Template::of(c.info);
    EXPECT_EQ(t.head, c.head);
    EXPECT_EQ(t.tail, c.tail);
  }
}

TEST(JsonValue, ObjectsKeepKeysSortedAndSerializeCompactly) {
  Value v = Value::object();
  v.set("tid", uint64_t{1})
      .set("\xc3\xa9", "accent")  // byte 0xC3 sorts after every ASCII key
      .set("args", Value::object().set("z", uint64_t{0}).set("a\n", "x\"y"))
      .set("Name", "upper")
      .set("name", "first")
      .set("name", "replaced");
  std::string out;
  v.write_to(out);
  EXPECT_EQ(out, R"({"Name":"upper","args":{"a\n":"x\"y","z":0},"name":"replaced","tid":1,")"
                 "\xc3\xa9\":\"accent\"}");
  std::string empty;
  Value::object().write_to(empty);
  EXPECT_EQ(empty, "{}");
}

// ---- exporter ----

const std::string kOneCallOnANamedThread =
    R"([{"name":"f","cat":"py","ph":"B","ts":1234.567,"pid":4242,"tid":1,"args":{"file":"/tmp/a.py","line":3,"kind":"start"}},)"
    R"({"name":"f","cat":"py","ph":"E","ts":1240.001,"pid":4242,"tid":1,"args":{"file":"/tmp/a.py","line":3,"kind":"return"}},)"
    R"({"args":{"name":"MainThread"},"name":"thread_name","ph":"M","pid":4242,"tid":1},)";

void one_call_on_a_named_thread(Session& run) {
  run.code.infos[0] = CodeInfo{"f", "/tmp/a.py", 3};
  run.threads.names[1] = "MainThread";
  ASSERT_TRUE(
      run.batch({ev(1234567, 1, EventKind::Start, 0), ev(1240001, 1, EventKind::Return, 0)}).ok());
}

TEST(JsonExporter, OneCallOnANamedThread) {
  Session run;
  one_call_on_a_named_thread(run);
  ASSERT_TRUE(run.finish(0).ok());
  EXPECT_EQ(run.file.contents(), kOneCallOnANamedThread);
}

TEST(JsonExporter, OneCallThenSeventeenDroppedEvents) {
  Session run;
  one_call_on_a_named_thread(run);
  ASSERT_TRUE(run.finish(17).ok());
  EXPECT_EQ(
      run.file.contents(),
      kOneCallOnANamedThread +
          R"({"args":{"count":17},"name":"morvex_dropped_events","ph":"M","pid":4242,"tid":0},)");
}

TEST(JsonExporter, EveryKindByteHasAPhaseAndAName) {
  struct {
    uint8_t kind;
    const char* ph;
    const char* name;
  } const cases[] = {{1, "B", "start"},  {2, "E", "return"}, {3, "E", "yield"},
                     {4, "B", "resume"}, {5, "E", "unwind"}, {6, "B", "throw"},
                     {0, "B", "start"},  {11, "B", "start"}, {12, "B", "c_call"},
                     {13, "E", "c_return"}, {14, "B", "start"}, {255, "B", "start"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.kind));
    Session run;
    run.code.infos[9] = CodeInfo{"g", "m.py", 2};
    ASSERT_TRUE(run.batch({ev(5, 3, c.kind, 9)}).ok());
    EXPECT_EQ(run.file.contents(),
              std::string(R"([{"name":"g","cat":"py","ph":")") + c.ph +
                  R"(","ts":0.005,"pid":4242,"tid":3,"args":{"file":"m.py","line":2,"kind":")" +
                  c.name + R"("}},)");
  }
}

TEST(JsonExporter, YieldAndResumeEndAndBeginSlices) {
  Session run;
  run.code.infos[0] = CodeInfo{"gen", "g.py", 1};
  ASSERT_TRUE(run.batch({ev(1000, 8, EventKind::Start, 0), ev(2000, 8, EventKind::Yield, 0),
                         ev(3000, 8, EventKind::Resume, 0), ev(4000, 8, EventKind::Return, 0)})
                  .ok());
  const std::string head = R"({"name":"gen","cat":"py","ph":")";
  const std::string tail = R"(,"pid":4242,"tid":8,"args":{"file":"g.py","line":1,"kind":")";
  EXPECT_EQ(run.file.contents(), "[" + head + R"(B","ts":1.000)" + tail + R"(start"}},)" + head +
                                     R"(E","ts":2.000)" + tail + R"(yield"}},)" + head +
                                     R"(B","ts":3.000)" + tail + R"(resume"}},)" + head +
                                     R"(E","ts":4.000)" + tail + R"(return"}},)");
}

TEST(JsonExporter, UnknownCodeIdsAndEmptyNames) {
  Session run;
  run.code.infos[2] = CodeInfo{"", "e.py", 7};
  ASSERT_TRUE(run.batch({ev(1, 4, EventKind::Start, 1), ev(2, 4, EventKind::Start, 2)}).ok());
  EXPECT_EQ(
      run.file.contents(),
      R"([{"name":"<unknown>","cat":"py","ph":"B","ts":0.001,"pid":4242,"tid":4,"args":{"file":"","line":0,"kind":"start"}},)"
      R"({"name":"<unknown>","cat":"py","ph":"B","ts":0.002,"pid":4242,"tid":4,"args":{"file":"e.py","line":7,"kind":"start"}},)");
}

TEST(JsonExporter, TemplatesAreBuiltOncePerCode) {
  Session run;
  run.code.infos[0] = CodeInfo{"f", "a.py", 1};
  ASSERT_TRUE(run.batch({ev(1, 1, EventKind::Start, 0), ev(2, 1, EventKind::Start, 5),
                         ev(3, 1, EventKind::Return, 5), ev(4, 1, EventKind::Return, 0)})
                  .ok());
  // A later entry for id 5 changes nothing: templates are never refreshed.
  run.code.infos[5] = CodeInfo{"late", "b.py", 2};
  ASSERT_TRUE(run.batch({ev(5, 2, EventKind::Start, 5), ev(6, 2, EventKind::Start, 0)}).ok());
  EXPECT_EQ(run.code.calls, 2);
  EXPECT_EQ(run.file.contents().find("late"), std::string::npos);
}

TEST(JsonExporter, ThreadNamesFollowTheSnapshotOrderByTid) {
  Session run;
  run.threads.names = {{4000000000u, "last"}, {2, "Thread-1 \"w\""}, {1, "MainThread"}};
  ASSERT_TRUE(run.finish(0).ok());
  EXPECT_EQ(
      run.file.contents(),
      R"([{"args":{"name":"MainThread"},"name":"thread_name","ph":"M","pid":4242,"tid":1},)"
      R"({"args":{"name":"Thread-1 \"w\""},"name":"thread_name","ph":"M","pid":4242,"tid":2},)"
      R"({"args":{"name":"last"},"name":"thread_name","ph":"M","pid":4242,"tid":4000000000},)");
}

TEST(JsonExporter, EmptyRunsWriteNothingButTheOpeningBracket) {
  Session run;
  ASSERT_TRUE(run.batch({}).ok());
  ASSERT_TRUE(run.finish(0).ok());
  EXPECT_EQ(run.file.contents(), "[");
}

TEST(JsonExporter, EveryNonZeroDropCountWritesOneRecord) {
  Session run;
  ASSERT_TRUE(run.finish(std::numeric_limits<uint64_t>::max()).ok());
  EXPECT_EQ(
      run.file.contents(),
      R"([{"args":{"count":18446744073709551615},"name":"morvex_dropped_events","ph":"M","pid":4242,"tid":0},)");
}

TEST(JsonExporter, LargeBatchesGrowTheBuffer) {
  Session run;
  const std::string long_name(3000, 'n');
  run.code.infos[0] = CodeInfo{long_name, "x.py", 1};
  std::vector<Event> events;
  for (uint64_t i = 0; i < 1000; ++i) events.push_back(ev(i * 1001, 6, i % 2 ? 2 : 1, 0));
  ASSERT_TRUE(run.batch(events).ok());
  ASSERT_TRUE(run.batch({ev(7, 6, EventKind::Start, 0)}).ok());
  const std::string contents = run.file.contents();
  const std::string head = R"({"name":")" + long_name + R"(","cat":"py","ph":")";
  const std::string tail = R"(,"pid":4242,"tid":6,"args":{"file":"x.py","line":1,"kind":")";
  std::string expected = "[";
  for (uint64_t i = 0; i < 1000; ++i) {
    expected += head + (i % 2 ? "E" : "B") + R"(","ts":)";
    push_micros(expected, i * 1001);
    expected += tail + (i % 2 ? "return" : "start") + R"("}},)";
  }
  expected += head + R"(B","ts":0.007)" + tail + R"(start"}},)";
  ASSERT_GT(expected.size(), 4u * 256 * 1024);  // well past the initial buffer
  EXPECT_TRUE(contents == expected) << "sizes " << contents.size() << " vs " << expected.size();
}

TEST(JsonExporter, AppendingRunsAddRecordsWithTheirOwnPid) {
  TraceFile file;
  FakeCode code;
  code.infos[0] = CodeInfo{"f", "a.py", 1};
  FakeThreads threads;
  {
    auto parent = JsonExporter::create(open_with_bracket(file), 10);
    ASSERT_TRUE(
        parent.write_batch(std::vector<Event>{ev(1000, 1, EventKind::Start, 0)}, code, threads)
            .ok());
  }
  {
    auto child =
        JsonExporter::create(std::move(core::SharedFile::open(file.path(), false).value()), 11);
    ASSERT_TRUE(
        child.write_batch(std::vector<Event>{ev(2000, 1, EventKind::Start, 0)}, code, threads)
            .ok());
  }
  const std::string contents = file.contents();
  EXPECT_EQ(contents.substr(0, 2), "[{");
  EXPECT_NE(contents.find(R"("ts":1.000,"pid":10,)"), std::string::npos);
  EXPECT_NE(contents.find(R"("ts":2.000,"pid":11,)"), std::string::npos);
  EXPECT_EQ(contents.back(), ',');
}

TEST(JsonExporter, ReadsItsOwnPidByDefault) {
  TraceFile file;
  auto exporter = JsonExporter::create(open_with_bracket(file));
  EXPECT_EQ(exporter.pid(), static_cast<uint32_t>(::getpid()));
}

// ---- the record renderer against a plain one ----

// JSON string escaping as the format documents it, written independently of
// push_string.
std::string plain_string(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

// One function event's record, built field by field from the documented
// layout.
std::string plain_record(const Event& e, const std::optional<CodeInfo>& info, uint32_t pid) {
  static const char* const kNames[] = {"start",  "start",  "return", "yield",
                                       "resume", "unwind", "throw"};
  const uint8_t kind = e.kind();
  const bool ends = kind == 2 || kind == 3 || kind == 5 || kind == 13;
  const CodeInfo c = info.value_or(CodeInfo{});
  char frac[8];
  std::snprintf(frac, sizeof frac, "%03u", static_cast<unsigned>(e.ts % 1000));
  return "{\"name\":" + plain_string(c.qualname.empty() ? "<unknown>" : c.qualname) +
         ",\"cat\":\"py\",\"ph\":\"" + (ends ? "E" : "B") +
         "\",\"ts\":" + std::to_string(e.ts / 1000) + "." + frac +
         ",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(e.tid) +
         ",\"args\":{\"file\":" + plain_string(c.filename) +
         ",\"line\":" + std::to_string(c.first_line) + ",\"kind\":\"" +
         (kind < 7 ? kNames[kind] : kind == 12 ? "c_call" : kind == 13 ? "c_return" : "start") +
         "\"}},";
}

std::string plain_instant(uint64_t ts, uint32_t tid, uint32_t pid) {
  char frac[8];
  std::snprintf(frac, sizeof frac, "%03u", static_cast<unsigned>(ts % 1000));
  return R"({"name":"mark","cat":"user","ph":"i","s":"t","ts":)" + std::to_string(ts / 1000) + "." +
         frac + ",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(tid) +
         R"(,"args":{}},)";
}

// Where two long texts part, with a little of each, rather than megabytes.
std::string first_difference(const std::string& got, const std::string& want) {
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  if (at == got.size() && at == want.size()) return "";
  const size_t from = at < 80 ? 0 : at - 80;
  return "at byte " + std::to_string(at) + " of " + std::to_string(got.size()) + " vs " +
         std::to_string(want.size()) + "\n got: " + got.substr(from, 200) +
         "\nwant: " + want.substr(from, 200);
}

// Names and files of every length around the block sizes the renderer
// copies, with bytes that need escaping; dense ids, ids far apart, and ids
// the lookup does not know.
FakeCode varied_code(std::mt19937_64& rng) {
  static constexpr char kBytes[] = "abcXYZ_.<>/ 0123456789\"\\\n\t\x01\x1f\x7f\xc3\xa9";
  auto text = [&](size_t len) {
    std::string s;
    for (size_t i = 0; i < len; ++i) s += kBytes[rng() % (sizeof kBytes - 1)];
    return s;
  };
  FakeCode code;
  for (uint32_t id = 0; id < 400; ++id) {
    if (id % 50 == 7) continue;  // unknown
    code.infos[id] = CodeInfo{text(id % 141), text(id * 7 % 161),
                              id % 3 == 0 ? UINT32_MAX : static_cast<uint32_t>(rng() % 100000)};
  }
  for (uint32_t id : {5000u, 70000u, 1u << 23, core::kCodeIdMask})
    code.infos[id] = CodeInfo{text(rng() % 200), text(rng() % 200), id};
  return code;
}

TEST(JsonExporter, RecordsMatchAPlainRendererOnRandomBatches) {
  const uint32_t tids[] = {0, 1, 77, 123456, 4000000000u, UINT32_MAX};
  const uint32_t far_ids[] = {5000, 70000, 1u << 23, core::kCodeIdMask, 9000000};
  const uint64_t starts[] = {
      0, 999, 999'999, 1'000'000, 1'234'567'890'123, UINT64_MAX - 10'000'000'000'000};
  for (uint32_t pid : {0u, kPid, UINT32_MAX}) {
    for (uint64_t seed = 1; seed <= 3; ++seed) {
      SCOPED_TRACE("pid " + std::to_string(pid) + " seed " + std::to_string(seed));
      std::mt19937_64 rng(seed);
      TraceFile file;
      FakeCode code = varied_code(rng);
      FakeThreads threads;
      JsonExporter exporter = JsonExporter::create(open_with_bracket(file), pid);
      std::map<uint32_t, uint64_t> clock;
      for (uint32_t tid : tids) clock[tid] = starts[rng() % std::size(starts)];
      uint32_t tid = tids[0];

      std::string want = "[";
      for (int b = 0; b < 8; ++b) {
        std::vector<Event> batch;
        const size_t n = b == 0 ? 0 : rng() % 6000;
        while (batch.size() < n) {
          if (rng() % 300 == 0) tid = tids[rng() % std::size(tids)];
          uint64_t& ts = clock[tid];
          // Mostly nanoseconds apart, now and then across many milliseconds,
          // and once at the very end of the clock.
          ts += rng() % 20 == 0 ? rng() % 5'000'000'000 : rng() % 3000;
          if (batch.size() == 4321) ts = UINT64_MAX;
          if (rng() % 500 == 0) {
            test::append(batch, test::user_event(ts, tid, EventKind::Instant, "mark"));
            want += plain_instant(ts, tid, pid);
            continue;
          }
          const uint32_t id = rng() % 40 == 0 ? far_ids[rng() % std::size(far_ids)] : rng() % 420;
          uint8_t kind = static_cast<uint8_t>(rng() % 7);
          if (rng() % 100 == 0) kind = static_cast<uint8_t>(11 + rng() % 245);
          batch.push_back(test::ev(ts, tid, kind, id));
          auto info = code.infos.find(id);
          want += plain_record(
              batch.back(),
              info == code.infos.end() ? std::nullopt : std::optional<CodeInfo>(info->second), pid);
        }
        ASSERT_TRUE(exporter.write_batch(batch, code, threads).ok());
      }
      const std::string got = file.contents();
      EXPECT_TRUE(got == want) << first_difference(got, want);
    }
  }
}

// ---- write failures ----

core::SharedFile dev_full() {
  int fd = ::open("/dev/full", O_WRONLY | O_APPEND | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  return core::SharedFile(fd);
}

TEST(JsonExporter, UserEventsAreSpansInstantsAndCounters) {
  Session run;
  run.code.infos[0] = CodeInfo{"f", "a.py", 1};
  using T = core::UserValue::Type;
  std::vector<Event> events{ev(1000, 7, EventKind::Start, 0)};
  test::append(events, test::user_event(2000, 7, EventKind::SpanBegin, "lo\"ad",
                                        {{"path", {T::Str, 0, 0, "/x\n"}},
                                         {"n", {T::Int, -3}},
                                         {"r", {T::Double, 0, 0.5}},
                                         {"big", {T::Double, 0, 1e300}},
                                         {"whole", {T::Double, 0, 2.0}},
                                         {"nan", {T::Double, 0, std::nan("")}},
                                         {"ok", {T::Bool, 1}},
                                         {"none", {T::None}}}));
  test::append(events, test::user_event(2500, 7, EventKind::Instant, "mark"));
  test::append(events,
               test::user_event(3000, 7, EventKind::Counter, "queue", {{"", {T::Int, 42}}}));
  test::append(events,
               test::user_event(3100, 7, EventKind::Counter, "busy", {{"", {T::Bool, 1}}}));
  test::append(events,
               test::user_event(3200, 7, EventKind::Counter, "busy", {{"", {T::Bool, 0}}}));
  test::append(events,
               test::user_event(3300, 7, EventKind::Counter, "load", {{"", {T::Double, 0, 2.0}}}));
  test::append(events, test::user_event(3500, 7, EventKind::SpanEnd, "lo\"ad"));
  ASSERT_TRUE(run.batch(events).ok());
  std::string text = run.file.contents();
  const std::string expected =
      R"([{"name":"f","cat":"py","ph":"B","ts":1.000,"pid":4242,"tid":7,"args":{"file":"a.py","line":1,"kind":"start"}},)"
      R"({"name":"lo\"ad","cat":"user","ph":"B","ts":2.000,"pid":4242,"tid":7,"args":{"path":"/x\n","n":-3,"r":0.5,"big":1e+300,"whole":2.0,"nan":null,"ok":true,"none":null}},)"
      R"({"name":"mark","cat":"user","ph":"i","s":"t","ts":2.500,"pid":4242,"tid":7,"args":{}},)"
      R"({"name":"queue","cat":"user","ph":"C","ts":3.000,"pid":4242,"tid":7,"args":{"value":42}},)"
      R"({"name":"busy","cat":"user","ph":"C","ts":3.100,"pid":4242,"tid":7,"args":{"value":1}},)"
      R"({"name":"busy","cat":"user","ph":"C","ts":3.200,"pid":4242,"tid":7,"args":{"value":0}},)"
      R"({"name":"load","cat":"user","ph":"C","ts":3.300,"pid":4242,"tid":7,"args":{"value":2.0}},)"
      R"({"name":"lo\"ad","cat":"user","ph":"E","ts":3.500,"pid":4242,"tid":7},)";
  EXPECT_EQ(text, expected);
}

TEST(JsonExporter, FilterRecordStatesTheOptionsAndCounts) {
  Session run;
  core::RunEnd end{0, core::FilterReport{{{}, {"*/v/*", "x"}, 3, std::nullopt}, 2, 11, 0}};
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, end).ok());
  EXPECT_EQ(
      run.file.contents(),
      R"([{"args":{"exclude":"*/v/*,x","filtered_functions":2,"max_depth":3,"max_depth_events":11},)"
      R"("name":"morvex_filters","ph":"M","pid":4242,"tid":0},)");
}

TEST(JsonExporterFailure, FailedFlushesAreReported) {
  FakeCode code;
  FakeThreads threads;
  threads.names = {{1, "MainThread"}};
  auto exporter = JsonExporter::create(dev_full(), kPid);

  core::Status batch =
      exporter.write_batch(std::vector<Event>{ev(1, 1, EventKind::Start, 0)}, code, threads);
  ASSERT_FALSE(batch.ok());
  EXPECT_EQ(batch.error().text(), "No space left on device (os error 28)");

  core::Status finish = exporter.finish(code, threads, 3);
  ASSERT_FALSE(finish.ok());
  EXPECT_EQ(finish.error().os_code(), ENOSPC);
}

TEST(JsonExporterFailure, AnEmptyBatchOrFinishNeedsNoWrite) {
  FakeCode code;
  FakeThreads threads;
  auto exporter = JsonExporter::create(dev_full(), kPid);
  EXPECT_TRUE(exporter.write_batch({}, code, threads).ok());
  EXPECT_TRUE(exporter.finish(code, threads, 0).ok());
}

}  // namespace
}  // namespace morvex::json
