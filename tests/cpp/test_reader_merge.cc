// Wall-clock anchors read back, `morvex merge` and the report of several
// traces: inputs placed by their anchors, pids kept apart, nothing lost.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "reader/chrome_json.h"
#include "reader/merge.h"
#include "reader_fixtures.h"

namespace morvex::test {
namespace {

using reader::Trace;

constexpr uint64_t kAnchor = 1'800'000'000'000'000'000;  // 2027, in ns
constexpr uint64_t kSecond = 1'000'000'000;

// One main() slice from 5 us to 9 us on MainThread, in a file of its own.
struct Input {
  explicit Input(Fmt fmt, std::optional<format::WallAnchor> anchor, int32_t pid = 100) : fmt(fmt) {
    FakeCode code;
    code.infos = {{0, {"main", "/app/app.py", 1}}, {1, {"f", "/app/app.py", 10}}};
    ProcessRun run{
        .pid = pid,
        .events = {at(5000, kMain, EventKind::Start, 0), at(6000, kMain, EventKind::Start, 1),
                   at(7000, kMain, EventKind::Return, 1), at(9000, kMain, EventKind::Return, 0)},
        .anchor = std::move(anchor)};
    write_runs(file, fmt, code, program_threads(), {run});
  }
  Fmt fmt;
  TraceFile file;
};

const reader::Process& process_on(const Trace& t, std::string_view host) {
  for (const reader::Process& p : t.processes) {
    if (p.host == host) return p;
  }
  ADD_FAILURE() << "no process on " << host;
  static reader::Process none;
  return none;
}

const reader::Thread& main_thread_of(const Trace& t, uint32_t pid) {
  for (const reader::Thread& th : t.threads) {
    if (th.pid == pid && th.name == "MainThread") return th;
  }
  ADD_FAILURE() << "no main thread in " << pid;
  static reader::Thread none;
  return none;
}

TEST(WallAnchor, EachFormatCarriesItAndAnOlderTraceHasNone) {
  for (Fmt fmt : {Fmt::Proto, Fmt::Json}) {
    SCOPED_TRACE(fmt_name(fmt));
    Input with(fmt, format::WallAnchor{kAnchor + 17, "node-7.example"});
    Trace t = read_ok(with.file.path());
    ASSERT_EQ(t.processes.size(), 1u);
    EXPECT_EQ(t.processes[0].realtime_ns, kAnchor + 17);
    EXPECT_EQ(t.processes[0].host, "node-7.example");

    Input without(fmt, std::nullopt);
    Trace old = read_ok(without.file.path());
    ASSERT_EQ(old.processes.size(), 1u);
    EXPECT_FALSE(old.processes[0].realtime_ns.has_value());
  }
}

TEST(WallAnchor, ProcessLabelsOtherThanOursAreNoAnchor) {
  const std::string bytes =
      Pb().msg(60, Pb().varint(1, 77).msg(
                       3, Pb().varint(1, 5).bytes(8, "realtime_ns=12x").bytes(8, "rank=3")))
          .packet();
  Trace t = read_bytes_ok(bytes);
  ASSERT_EQ(t.processes.size(), 1u);
  EXPECT_FALSE(t.processes[0].realtime_ns.has_value());
}

// The acceptance, without a clock: two runs whose anchors are a second
// apart show their main slices a second apart, whatever the formats, and
// the pid both hosts used stays two processes.
TEST(Merge, InputsArePlacedByTheirAnchorsAndKeepTheirProcessesApart) {
  for (auto [first, second] : {std::pair{Fmt::Proto, Fmt::Json}, std::pair{Fmt::Json, Fmt::Proto},
                               std::pair{Fmt::Proto, Fmt::Proto}}) {
    SCOPED_TRACE(std::string(fmt_name(first)) + "+" + fmt_name(second));
    Input later(first, format::WallAnchor{kAnchor + kSecond, "b"});
    Input earlier(second, format::WallAnchor{kAnchor, "a"});
    TraceFile out;
    auto merged = reader::merge({later.file.path(), earlier.file.path()}, out.path());
    ASSERT_TRUE(merged.ok()) << merged.error().text();
    const reader::MergeResult& r = merged.value();
    ASSERT_EQ(r.inputs.size(), 2u);
    EXPECT_EQ(r.inputs[0].offset_ns, kSecond);
    EXPECT_EQ(r.inputs[1].offset_ns, 0u);
    EXPECT_EQ(r.realtime_ns, kAnchor);
    EXPECT_TRUE(r.inputs[0].renumbered.empty());
    ASSERT_EQ(r.inputs[1].renumbered.size(), 1u);
    const uint32_t moved = r.inputs[1].renumbered[0].second;
    EXPECT_EQ(moved, 100u + (1u << 22));

    Trace t = read_ok(out.path());
    ASSERT_EQ(t.processes.size(), 2u);
    const reader::Process& a = process_on(t, "a");
    const reader::Process& b = process_on(t, "b");
    EXPECT_EQ(b.pid, 100u);
    EXPECT_EQ(a.pid, moved);
    EXPECT_NE(a.name.find(" on a ("), std::string::npos) << a.name;
    // The merged trace is anchored at its time 0, and merges again.
    EXPECT_EQ(a.realtime_ns, kAnchor);
    EXPECT_EQ(b.realtime_ns, kAnchor);

    const reader::Thread& ta = main_thread_of(t, a.pid);
    const reader::Thread& tb = main_thread_of(t, b.pid);
    EXPECT_EQ(ta.tid, kMain) << "a thread that is not its process's main keeps its tid";
    EXPECT_EQ(ta.first_ts, 5000u);
    EXPECT_EQ(tb.first_ts, 5000u + kSecond);
    EXPECT_EQ(tb.last_ts - tb.first_ts, 4000u);
    // Every slice, with its function and place, in both.
    EXPECT_EQ(t.events, 8u);
    for (const reader::Thread* th : {&ta, &tb}) {
      ASSERT_EQ(th->functions.size(), 2u);
      EXPECT_EQ(row_of(t, th->functions, "f").total_ns, 1000u);
      EXPECT_EQ(t.functions[row_of(t, th->functions, "main").function].line, 1u);
    }

    const std::string summary = reader::merge_summary(r);
    EXPECT_NE(summary.find("host b, +1.000000 s"), std::string::npos) << summary;
    EXPECT_NE(summary.find("pid 100 is " + std::to_string(moved)), std::string::npos) << summary;
    EXPECT_NE(summary.find("synchronised"), std::string::npos) << summary;
    EXPECT_EQ(summary.find("warning"), std::string::npos) << summary;
  }
}

TEST(Merge, AnInputWithoutAnAnchorStartsAtZeroAndIsSaidTo) {
  Input anchored(Fmt::Proto, format::WallAnchor{kAnchor, "a"}, 10);
  Input old(Fmt::Json, std::nullopt, 20);
  TraceFile out;
  auto merged = reader::merge({anchored.file.path(), old.file.path()}, out.path());
  ASSERT_TRUE(merged.ok()) << merged.error().text();
  EXPECT_EQ(merged.value().inputs[1].offset_ns, 0u);
  const std::string summary = reader::merge_summary(merged.value());
  EXPECT_NE(summary.find("warning: " + old.file.path() + " has no wall-clock anchor"),
            std::string::npos)
      << summary;
  Trace t = read_ok(out.path());
  EXPECT_EQ(main_thread_of(t, 20).first_ts, 5000u);
  EXPECT_FALSE(t.process(20)->realtime_ns.has_value());
}

TEST(Merge, BadInputsAreOneClearErrorAndWriteNothing) {
  Input good(Fmt::Proto, format::WallAnchor{kAnchor, "a"});
  TraceFile out;
  std::ofstream(out.path()) << "keep";
  auto missing = reader::merge({good.file.path(), "/nonexistent/t.pftrace"}, out.path());
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().text().find("/nonexistent/t.pftrace"), std::string::npos);
  auto onto_input = reader::merge({good.file.path()}, good.file.path());
  ASSERT_FALSE(onto_input.ok());
  EXPECT_NE(onto_input.error().text().find("one of the traces merged"), std::string::npos);
  EXPECT_FALSE(reader::merge({}, out.path()).ok());
  std::stringstream kept;
  kept << std::ifstream(out.path()).rdbuf();
  EXPECT_EQ(kept.str(), "keep");
}

TEST(Combine, SeveralTracesAreOneModelWithTheirProcessesApart) {
  Input one(Fmt::Json, format::WallAnchor{kAnchor + kSecond, "b"});
  Input two(Fmt::Proto, format::WallAnchor{kAnchor, "a"});
  std::vector<Trace> traces;
  traces.push_back(read_ok(one.file.path()));
  traces.push_back(read_ok(two.file.path()));
  Trace t = reader::combine(std::move(traces));
  ASSERT_EQ(t.processes.size(), 2u);
  EXPECT_EQ(t.threads.size(), 2u);
  // The same function of both is one function, so rows add up.
  EXPECT_EQ(t.functions.size(), 2u);
  EXPECT_EQ(row_of(t, all_rows(t), "f").calls, 2u);
  EXPECT_EQ(t.first_ts, 5000u);
  EXPECT_EQ(t.last_ts, 9000u + kSecond);
  EXPECT_EQ(main_thread_of(t, 100 + (1u << 22)).first_ts, 5000u);
}

}  // namespace
}  // namespace morvex::test
