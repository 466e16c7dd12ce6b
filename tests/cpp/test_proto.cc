#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/output.h"
#include "core/sink.h"
#include "fakes.h"
#include "proto/exporter.h"
#include "proto/pb.h"

namespace morvex::proto {
namespace {

using core::CodeInfo;
using core::Event;
using core::EventKind;

// ---- helpers ----

using test::ev;
using test::FakeCode;
using test::FakeThreads;
using test::hex;
using test::TraceFile;

// Joins hex pieces, dropping the line breaks and spaces inside them.
std::string hex_of(std::initializer_list<std::string_view> pieces) {
  std::string compact;
  for (auto piece : pieces) {
    for (char c : piece) {
      if (c != ' ' && c != '\n') compact += c;
    }
  }
  std::string s;
  for (size_t i = 0; i < compact.size(); i += 2) {
    if (!s.empty()) s += ' ';
    s += compact.substr(i, 2);
  }
  return s;
}

std::string hex_text(std::string_view text) {
  return hex(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// A minimal protobuf reader, independent of the encoder under test.
struct Field {
  uint32_t number;
  uint8_t type;
  uint64_t value;              // varint fields
  std::vector<uint8_t> bytes;  // length-delimited fields
};

uint64_t read_varint(std::span<const uint8_t> in, size_t& pos) {
  uint64_t v = 0;
  for (int shift = 0; pos < in.size() && shift < 64; shift += 7) {
    uint8_t b = in[pos++];
    v |= uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) return v;
  }
  ADD_FAILURE() << "truncated varint";
  return v;
}

std::vector<Field> fields(std::span<const uint8_t> in) {
  std::vector<Field> out;
  size_t pos = 0;
  while (pos < in.size()) {
    uint64_t tag = read_varint(in, pos);
    Field f{static_cast<uint32_t>(tag >> 3), static_cast<uint8_t>(tag & 7), 0, {}};
    if (f.type == 0) {
      f.value = read_varint(in, pos);
    } else if (f.type == 1 && pos + 8 <= in.size()) {
      std::memcpy(&f.value, in.data() + pos, 8);  // fixed64, little-endian like this machine
      pos += 8;
    } else if (f.type == 2) {
      uint64_t n = read_varint(in, pos);
      if (pos + n > in.size()) {
        ADD_FAILURE() << "field overruns its message";
        return out;
      }
      f.bytes.assign(in.begin() + pos, in.begin() + pos + n);
      pos += n;
    } else {
      ADD_FAILURE() << "unexpected wire type " << int(f.type);
      return out;
    }
    out.push_back(std::move(f));
  }
  return out;
}

const Field* field(const std::vector<Field>& fs, uint32_t number) {
  for (const Field& f : fs) {
    if (f.number == number) return &f;
  }
  return nullptr;
}

std::string text(const Field* f) {
  return f ? std::string(f->bytes.begin(), f->bytes.end()) : "<absent>";
}

// The file as a list of packets, each checked to be framed as Trace.packet.
std::vector<std::vector<Field>> packets(const std::vector<uint8_t>& file) {
  std::vector<std::vector<Field>> out;
  for (const Field& f : fields(file)) {
    EXPECT_EQ(f.number, 1u);
    EXPECT_EQ(f.type, 2);
    out.push_back(fields(f.bytes));
  }
  return out;
}

// ---- exporter ----

constexpr int32_t kPid = 4242;
// The process track packet of process 4242 on sequence 1.
constexpr std::string_view kProcessPacket =
    "0a 2b 40 00 50 01 e2 03 22 08 81 80 80 80 a0 92 04 12 0b 70 79 74 68 6f 6e 3a 34 32 34 32"
    " 1a 0b 08 92 21 32 06 70 79 74 68 6f 6e 68 01";

struct Session {
  TraceFile file;
  FakeCode code;
  FakeThreads threads;
  ProtoExporter exporter = ProtoExporter::create(file.open(), kPid);

  core::Status batch(const std::vector<Event>& events) {
    return exporter.write_batch(events, code, threads);
  }
};

// One thread 7 named MainThread calls f once.
void one_call_on_a_named_thread(Session& run) {
  run.code.infos[0] = CodeInfo{"f", "/tmp/a.py", 3};
  run.threads.names[7] = "MainThread";
  ASSERT_TRUE(
      run.batch({ev(1234567, 7, EventKind::Start, 0), ev(1240001, 7, EventKind::Return, 0)}).ok());
}

// The thread packet interns both function categories, calls' and resumes';
// the name packet interns f with its source location under the same iid,
// which the begin event names after the name (field 34).
const std::string kOneCallOnANamedThread = hex_of({
    kProcessPacket,
    "0a 52 40 00 50 02 e2 03 23 08 82 80 80 80 a0 92 04 22 11 08 92 21 10 07 2a 0a 4d 61 69 6e 54"
    "68 72 65 61 64 28 81 80 80 80 a0 92 04 62 17 0a 06 08 01 12 02 70 79 0a 0d 08 02 12 09",
    hex_text("py.resume"),
    "68 01 da 03 0a 5a 08 58 82 80 80 80 a0 92 04",
    "0a 23 40 00 50 02 62 1b 12 05 08 01 12 01 66 22 12 08 01 12 09",
    hex_text("/tmp/a.py"),
    "1a 01 66 20 03 68 02",
    "0a 13 40 87 ad 4b 50 02 68 02 5a 09 48 01 18 01 50 01 90 02 01",
    "0a 0c 40 c1 d7 4b 50 02 68 02 5a 02 48 02",
});

TEST(ProtoExporter, OneCallOnANamedThread) {
  Session run;
  one_call_on_a_named_thread(run);
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, 0).ok());
  EXPECT_EQ(run.file.bytes().size(), 201u);
  EXPECT_EQ(run.file.hex_contents(), kOneCallOnANamedThread);
}

TEST(ProtoExporter, OneCallThenSeventeenDroppedEvents) {
  Session run;
  one_call_on_a_named_thread(run);
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, 17).ok());
  std::string dropped =
      hex_of({"0a 3b 40 00 50 01 5a 35 48 03 58 81 80 80 80 a0 92 04", "b2 01 02", hex_text("py"),
              "b2 01 07", hex_text("dropped"), "ba 01 19", hex_text("morvex: 17 events dropped")});
  EXPECT_EQ(run.file.hex_contents(), kOneCallOnANamedThread + " " + dropped);
}

TEST(ProtoExporter, EmptyFirstBatchWritesTheProcessPacketOnce) {
  Session run;
  ASSERT_TRUE(run.batch({}).ok());
  EXPECT_EQ(run.file.hex_contents(), hex_of({kProcessPacket}));  // already flushed
  ASSERT_TRUE(run.batch({}).ok());
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, 0).ok());
  EXPECT_EQ(run.file.hex_contents(), hex_of({kProcessPacket}));
}

TEST(ProtoExporter, NoBatchAndNothingDroppedLeavesTheFileEmpty) {
  TraceFile file;
  {
    FakeCode code;
    FakeThreads threads;
    auto exporter = ProtoExporter::create(file.open(), kPid);
    ASSERT_TRUE(exporter.finish(code, threads, 0).ok());
  }
  EXPECT_TRUE(file.bytes().empty());
}

TEST(ProtoExporter, DropsWithoutBatchesWriteProcessPacketThenInstant) {
  Session run;
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, 1).ok());
  auto ps = packets(run.file.bytes());
  ASSERT_EQ(ps.size(), 2u);
  EXPECT_NE(field(ps[0], 60), nullptr);
  auto event = fields(field(ps[1], 11)->bytes);
  EXPECT_EQ(text(field(event, 23)), "morvex: 1 events dropped");
  EXPECT_EQ(field(event, 11)->value, run.exporter.process_uuid());
  EXPECT_EQ(field(ps[1], 13), nullptr);  // no sequence flags
  EXPECT_EQ(field(ps[1], 12), nullptr);  // no interned data
}

TEST(ProtoExporter, ThreadWithoutNameHasNoThreadName) {
  Session run;
  ASSERT_TRUE(run.batch({ev(10, 9, EventKind::Return, 0)}).ok());
  auto ps = packets(run.file.bytes());
  ASSERT_EQ(ps.size(), 3u);  // process, thread, end event: an end needs no name
  auto track = fields(field(ps[1], 60)->bytes);
  auto thread = fields(field(track, 4)->bytes);
  EXPECT_EQ(field(thread, 2)->value, 9u);
  EXPECT_EQ(field(thread, 5), nullptr);
  EXPECT_EQ(run.code.calls, 0);
}

// Both read as the JSON writer shows them.
TEST(ProtoExporter, UnknownAndEmptyNamesAreInternedAsUnknown) {
  Session run;
  run.code.infos[1] = CodeInfo{"", "/x.py", 1};
  ASSERT_TRUE(run.batch({ev(1, 7, EventKind::Start, 5), ev(2, 7, EventKind::Start, 1)}).ok());
  auto ps = packets(run.file.bytes());
  ASSERT_EQ(ps.size(), 6u);
  // Code 5 is unknown altogether: a name, no location.
  EXPECT_EQ(hex(field(ps[2], 12)->bytes), hex_of({"12 0d 08 01 12 09", hex_text("<unknown>")}));
  // Code 1 has a file but no name.
  EXPECT_EQ(hex(field(ps[3], 12)->bytes),
            hex_of({"12 0d 08 02 12 09", hex_text("<unknown>"), "22 16 08 02 12 05",
                    hex_text("/x.py"), "1a 09", hex_text("<unknown>"), "20 01"}));
  // Only the located one's begin names a location.
  EXPECT_EQ(hex(field(ps[4], 11)->bytes), "48 01 18 01 50 01");
  EXPECT_EQ(hex(field(ps[5], 11)->bytes), "48 01 18 01 50 02 90 02 02");
}

TEST(ProtoExporter, AllEndEventsOfAThreadShareOneFragment) {
  Session run;
  run.code.infos = {{0, {"f", "", 1}}, {1, {"g", "", 2}}};
  ASSERT_TRUE(run.batch({ev(1, 7, EventKind::Start, 0), ev(2, 7, EventKind::Start, 1),
                         ev(3, 7, EventKind::Unwind, 1), ev(4, 7, EventKind::Yield, 0),
                         ev(5, 7, EventKind::Resume, 0), ev(6, 7, EventKind::Return, 0)})
                  .ok());
  auto file = run.file.bytes();
  auto all = fields(file);
  ASSERT_EQ(all.size(), 2u + 2u + 6u);
  // The resume begins with the resume category, iid 2.
  const char* expected[] = {
      "40 01 50 02 68 02 5a 09 48 01 18 01 50 01 90 02 01",
      "40 02 50 02 68 02 5a 09 48 01 18 01 50 02 90 02 02",
      "40 03 50 02 68 02 5a 02 48 02",
      "40 04 50 02 68 02 5a 02 48 02",
      "40 05 50 02 68 02 5a 09 48 01 18 02 50 01 90 02 01",
      "40 06 50 02 68 02 5a 02 48 02",
  };
  for (int i = 0; i < 6; ++i) EXPECT_EQ(hex(all[4 + i].bytes), expected[i]) << i;
}

// A begin is a call's unless it is a resume or a throw into a generator.
TEST(ProtoExporter, KindBytesMapToBeginOrEndAndCallOrResume) {
  struct {
    uint8_t kind;
    bool begin;
    uint64_t category = 0;
  } const cases[] = {{1, true, 1}, {2, false},    {3, false},    {4, true, 2},   {5, false},
                     {6, true, 2}, {0, true, 1},  {11, true, 1}, {12, true, 1},  {13, false},
                     {255, true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.kind));
    Session run;
    ASSERT_TRUE(run.batch({ev(1, 7, c.kind, 0)}).ok());
    auto ps = packets(run.file.bytes());
    auto event = fields(field(ps.back(), 11)->bytes);
    EXPECT_EQ(field(event, 9)->value, c.begin ? 1u : 2u);
    EXPECT_EQ(field(event, 10) != nullptr, c.begin);
    if (c.begin) {
      EXPECT_EQ(field(event, 3)->value, c.category);
    }
    EXPECT_EQ(ps.size(), c.begin ? 4u : 3u);
  }
}

TEST(ProtoExporter, NamesAreInternedPerThreadSequence) {
  Session run;
  run.code.infos = {{0, {"f", "", 1}}, {1, {"g", "", 2}}};
  run.threads.names = {{7, "a"}, {8, "b"}};
  ASSERT_TRUE(run.batch({ev(1, 7, EventKind::Start, 0), ev(2, 8, EventKind::Start, 1),
                         ev(3, 8, EventKind::Start, 0), ev(4, 7, EventKind::Start, 1)})
                  .ok());
  ASSERT_TRUE(run.batch({ev(5, 7, EventKind::Start, 0), ev(6, 8, EventKind::Start, 0)}).ok());
  auto ps = packets(run.file.bytes());
  ASSERT_EQ(ps.size(), 1u + 6u + 4u + 2u);
  // Thread and interning packets, in the order first needed, before events.
  struct Expect {
    uint64_t seq;
    const char* kind;
    std::string name;
    uint64_t iid;
  } const want[] = {{2, "thread", "a", 0}, {2, "name", "f", 1}, {3, "thread", "b", 0},
                    {3, "name", "g", 1},   {3, "name", "f", 2}, {2, "name", "g", 2}};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const auto& p = ps[1 + i];
    EXPECT_EQ(field(p, 10)->value, want[i].seq);
    if (std::string(want[i].kind) == "thread") {
      auto thread = fields(field(fields(field(p, 60)->bytes), 4)->bytes);
      EXPECT_EQ(text(field(thread, 5)), want[i].name);
    } else {
      auto name = fields(field(fields(field(p, 12)->bytes), 2)->bytes);
      EXPECT_EQ(field(name, 1)->value, want[i].iid);
      EXPECT_EQ(text(field(name, 2)), want[i].name);
    }
  }
  const uint64_t event_iids[] = {1, 1, 2, 2, 1, 2};
  const uint64_t event_seqs[] = {2, 3, 3, 2, 2, 3};
  for (int i = 0; i < 6; ++i) {
    const auto& p = ps[7 + i];
    EXPECT_EQ(field(p, 8)->value, uint64_t(i + 1));
    EXPECT_EQ(field(p, 10)->value, event_seqs[i]);
    EXPECT_EQ(field(fields(field(p, 11)->bytes), 10)->value, event_iids[i]) << i;
  }
  // Each name was looked up once per sequence, each thread once.
  EXPECT_EQ(run.code.calls, 4);
  EXPECT_EQ(run.threads.calls, 2);
}

TEST(ProtoExporter, SequenceBaseOffsetsEverySequenceId) {
  struct {
    uint32_t base;
    uint64_t process, first, second;
  } const cases[] = {{0, 1, 2, 3}, {1000, 128001, 128002, 128003}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base);
    Session run;
    run.exporter.set_sequence_base(c.base);
    ASSERT_TRUE(run.batch({ev(1, 7, EventKind::Return, 0), ev(2, 8, EventKind::Return, 0)}).ok());
    ASSERT_TRUE(run.exporter.finish(run.code, run.threads, 3).ok());
    auto ps = packets(run.file.bytes());
    ASSERT_EQ(ps.size(), 6u);
    const uint64_t seqs[] = {c.process, c.first, c.second, c.first, c.second, c.process};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(field(ps[i], 10)->value, seqs[i]) << i;
    // Track uuids come from the pid alone.
    EXPECT_EQ(field(fields(field(ps[2], 60)->bytes), 1)->value, (uint64_t{kPid} << 32) + 3);
  }
  Session run;
  run.exporter.set_sequence_base(1000);
  ASSERT_TRUE(run.batch({ev(1, 7, EventKind::Return, 0)}).ok());
  auto file = run.file.bytes();
  EXPECT_EQ(hex(std::span(file).last(14)), "0a 0c 40 01 50 82 e8 07 68 02 5a 02 48 02");
}

TEST(ProtoExporter, HighThreadIdsAreNegativeInt32ButKeyedUnsigned) {
  Session run;
  run.code.infos[0] = CodeInfo{"f", "", 1};
  const uint32_t high = 0x80000005u;
  ASSERT_TRUE(run.batch({ev(1, high, EventKind::Start, 0), ev(2, 5, EventKind::Start, 0),
                         ev(3, high, EventKind::Return, 0)})
                  .ok());
  ASSERT_TRUE(run.batch({ev(4, high, EventKind::Start, 0), ev(5, 5, EventKind::Return, 0)}).ok());
  auto ps = packets(run.file.bytes());
  ASSERT_EQ(ps.size(), 1u + 4u + 3u + 2u);  // no new thread or name packets in batch 2
  auto thread = hex(field(fields(field(ps[1], 60)->bytes), 4)->bytes);
  EXPECT_EQ(thread, "08 92 21 10 85 80 80 80 f8 ff ff ff ff 01");
  EXPECT_EQ(hex(field(fields(field(ps[3], 60)->bytes), 4)->bytes), "08 92 21 10 05");
  const uint64_t seqs[] = {2, 3, 2, 2, 3};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(field(ps[5 + i], 10)->value, seqs[i]) << i;
}

TEST(ProtoExporter, TimestampLengthsSetThePacketLength) {
  struct {
    uint64_t ts;
    const char* hex;
  } const cases[] = {
      {0, "0a 0a 40 00 50 02 68 02 5a 02 48 02"},
      {127, "0a 0a 40 7f 50 02 68 02 5a 02 48 02"},
      {uint64_t{1} << 56, "0a 12 40 80 80 80 80 80 80 80 80 01 50 02 68 02 5a 02 48 02"},
      {std::numeric_limits<uint64_t>::max(),
       "0a 13 40 ff ff ff ff ff ff ff ff ff 01 50 02 68 02 5a 02 48 02"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ts);
    Session run;
    ASSERT_TRUE(run.batch({ev(c.ts, 7, EventKind::Return, 0)}).ok());
    auto file = run.file.bytes();
    std::string tail = hex(std::span(file).last((std::string(c.hex).size() + 1) / 3));
    EXPECT_EQ(tail, c.hex);
  }
}

TEST(ProtoExporter, LargeBatchesGrowTheBuffers) {
  Session run;
  for (uint32_t c = 0; c < 500; ++c)
    run.code.infos[c] = CodeInfo{std::string(c % 50 + 1, 'n'), "", c};
  std::vector<Event> events;
  uint64_t ts = uint64_t{1} << 40;
  for (uint32_t i = 0; i < 40000; ++i) {
    uint32_t tid = 1000 + i / 1024 % 6;
    events.push_back(ev(ts += 37, tid, i % 2 ? EventKind::Return : EventKind::Start, i / 2 % 500));
  }
  ASSERT_TRUE(run.batch(events).ok());
  auto ps = packets(run.file.bytes());
  size_t event_packets = 0;
  for (const auto& p : ps) {
    const Field* te = field(p, 11);
    if (te == nullptr) continue;
    ASSERT_LT(event_packets, events.size());
    const Event& e = events[event_packets++];
    EXPECT_EQ(field(p, 8)->value, e.ts);
    EXPECT_EQ(field(fields(te->bytes), 9)->value, e.kind() == 1 ? 1u : 2u);
  }
  EXPECT_EQ(event_packets, events.size());
}

TEST(ProtoExporter, WritePacketFramesLongPackets) {
  Session run;
  pb::TracePacket p;
  p.data = pb::TrackEvent{.name = std::string(200, 'x')};
  run.exporter.write_packet(p);
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, 0).ok());
  auto file = run.file.bytes();
  ASSERT_EQ(file.size(), 3u + 207u);
  EXPECT_EQ(hex(std::span(file).first(6)), "0a cf 01 5a cc 01");
}

TEST(ProtoExporter, AppendKeepsWhatIsThereAndReportsOpenErrors) {
  TraceFile file;
  { std::ofstream(file.path(), std::ios::binary) << "abc"; }
  {
    auto appended = ProtoExporter::append(file.path());
    ASSERT_TRUE(appended.ok());
    FakeCode code;
    FakeThreads threads;
    ASSERT_TRUE(appended.value().write_batch({}, code, threads).ok());
  }
  auto bytes = file.bytes();
  ASSERT_GT(bytes.size(), 3u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "abc");
  EXPECT_EQ(bytes[3], 0x0A);

  auto missing_dir = ProtoExporter::append(::testing::TempDir() + "no/such/dir/t.pftrace");
  ASSERT_FALSE(missing_dir.ok());
  EXPECT_EQ(missing_dir.error().os_code(), ENOENT);

  const std::string fresh = file.path() + ".new";
  ASSERT_TRUE(ProtoExporter::append(fresh).ok());
  EXPECT_EQ(::access(fresh.c_str(), F_OK), 0);  // created, empty until a batch
  ::unlink(fresh.c_str());
}

// ---- write failures ----

// A run whose file descriptor can be pointed at /dev/full (every write fails
// with ENOSPC) and back at a real file, under the exporter's feet.
struct FailingSession {
  TraceFile good;
  FakeCode code;
  FakeThreads threads;
  int fd;
  ProtoExporter exporter;

  FailingSession() : fd(-1), exporter(make()) {}
  ProtoExporter make() {
    auto file = good.open();
    fd = file.fd();
    return ProtoExporter::create(std::move(file), kPid);
  }
  void point_at(const char* path) {
    int other = ::open(path, O_WRONLY | O_APPEND);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::dup2(other, fd), fd);
    ::close(other);
  }
  core::Status batch(const std::vector<Event>& events) {
    return exporter.write_batch(events, code, threads);
  }
};

TEST(ProtoExporterFailure, FailedFirstBatchIsWrittenWholeByTheNext) {
  FailingSession run;
  run.code.infos[0] = CodeInfo{"f", "/tmp/a.py", 3};
  run.threads.names[7] = "MainThread";
  run.point_at("/dev/full");
  core::Status failed = run.batch({ev(1, 7, EventKind::Start, 0)});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text(), "No space left on device (os error 28)");

  run.point_at(run.good.path().c_str());
  ASSERT_TRUE(
      run.batch({ev(1234567, 7, EventKind::Start, 0), ev(1240001, 7, EventKind::Return, 0)}).ok());
  // The process, thread and interning packets lost with the first flush are
  // written again, with the ids they had.
  EXPECT_EQ(run.good.hex_contents(), kOneCallOnANamedThread);
}

TEST(ProtoExporterFailure, LostDescriptorsAndNamesAreRewrittenWhenNeeded) {
  FailingSession run;
  run.code.infos = {{0, {"f", "", 1}}, {1, {"g", "", 2}}};
  run.threads.names = {{7, "a"}, {8, "b"}};
  ASSERT_TRUE(run.batch({ev(1, 7, EventKind::Start, 0)}).ok());
  const size_t first = run.good.bytes().size();

  run.point_at("/dev/full");
  ASSERT_FALSE(run.batch({ev(2, 7, EventKind::Start, 1), ev(3, 8, EventKind::Start, 0)}).ok());

  run.point_at(run.good.path().c_str());
  ASSERT_TRUE(run.batch({ev(4, 8, EventKind::Start, 0), ev(5, 7, EventKind::Start, 1),
                         ev(6, 7, EventKind::Start, 0)})
                  .ok());
  auto bytes = run.good.bytes();
  auto ps = packets(std::vector<uint8_t>(bytes.begin() + first, bytes.end()));
  ASSERT_EQ(ps.size(), 6u);
  // Thread 8 keeps sequence 3 and g keeps iid 2 on sequence 2; f on sequence
  // 2 was delivered before the failure and is not repeated.
  EXPECT_EQ(field(ps[0], 10)->value, 3u);
  EXPECT_NE(field(ps[0], 60), nullptr);
  // Each name again with its location (no file, its line) under its iid.
  EXPECT_EQ(hex(field(ps[1], 12)->bytes), "12 05 08 01 12 01 66 22 09 08 01 12 00 1a 01 66 20 01");
  EXPECT_EQ(field(ps[1], 10)->value, 3u);
  EXPECT_EQ(hex(field(ps[2], 12)->bytes), "12 05 08 02 12 01 67 22 09 08 02 12 00 1a 01 67 20 02");
  EXPECT_EQ(field(ps[2], 10)->value, 2u);
  const uint64_t seqs[] = {3, 2, 2}, iids[] = {1, 2, 1};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(field(ps[3 + i], 10)->value, seqs[i]);
    EXPECT_EQ(field(fields(field(ps[3 + i], 11)->bytes), 10)->value, iids[i]);
  }
}

TEST(ProtoExporterFailure, FinishReportsAFailedFlush) {
  FailingSession run;
  ASSERT_TRUE(run.batch({}).ok());
  run.point_at("/dev/full");
  core::Status failed = run.exporter.finish(run.code, run.threads, 17);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().os_code(), ENOSPC);
}

// ---- past 125 threads, user events, the filter record ----

// Where each event of a file lands: (sequence id, track uuid), the track
// being the event's own track_uuid or its sequence's default.
std::vector<std::pair<uint64_t, uint64_t>> event_places(const std::vector<uint8_t>& file) {
  std::map<uint64_t, uint64_t> defaults;
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const auto& p : packets(file)) {
    uint64_t seq = field(p, 10)->value;
    if (const Field* d = field(p, 59))
      defaults[seq] = field(fields(field(fields(d->bytes), 11)->bytes), 11)->value;
    if (const Field* te = field(p, 11)) {
      auto e = fields(te->bytes);
      const Field* own = field(e, 11);
      out.push_back({seq, own ? own->value : defaults.at(seq)});
    }
  }
  return out;
}

TEST(ProtoExporter, ThreadsPastTheOwnSequencesShareOneAndNameTheirTracks) {
  Session run;
  run.code.infos[0] = CodeInfo{"f", "", 1};
  run.exporter.set_sequence_base(1000);
  std::vector<Event> events;
  for (uint32_t t = 0; t < 130; ++t) {
    events.push_back(ev(10 + t, 100 + t, EventKind::Start, 0));
    events.push_back(ev(20 + t, 100 + t, EventKind::Return, 0));
  }
  ASSERT_TRUE(run.batch(events).ok());
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, 0).ok());
  auto bytes = run.file.bytes();
  auto places = event_places(bytes);
  ASSERT_EQ(places.size(), 260u);
  const uint64_t uuid0 = run.exporter.process_uuid() + 1;
  for (uint32_t t = 0; t < 130; ++t) {
    // The first 125 keep base*128 + n + 2; every later one uses 128127,
    // still inside this process's own block of ids.
    uint64_t seq = t < 125 ? 128000 + t + 2 : 128127;
    EXPECT_EQ(places[2 * t], (std::pair<uint64_t, uint64_t>{seq, uuid0 + t})) << t;
    EXPECT_EQ(places[2 * t + 1], (std::pair<uint64_t, uint64_t>{seq, uuid0 + t})) << t;
  }
  // On the shared sequence the first descriptor clears it and interns "py";
  // the others do neither, and none sets defaults.
  int descriptors = 0, names = 0;
  for (const auto& p : packets(bytes)) {
    if (field(p, 10)->value != 128127) continue;
    if (field(p, 60) != nullptr) {
      EXPECT_EQ(field(p, 59), nullptr);
      EXPECT_EQ(field(p, 13) != nullptr, descriptors == 0);
      EXPECT_EQ(field(p, 12) != nullptr, descriptors == 0);
      ++descriptors;
    } else if (field(p, 12) != nullptr) {
      ++names;
    }
  }
  EXPECT_EQ(descriptors, 5);
  EXPECT_EQ(names, 1) << "f is interned once for the sequence";
}

TEST(ProtoExporterFailure, ALostClearOfTheSharedSequenceIsSentAgainWithItsNames) {
  FailingSession run;
  run.code.infos[0] = CodeInfo{"f", "", 1};
  std::vector<Event> first;
  for (uint32_t t = 0; t < 125; ++t) first.push_back(ev(1, 100 + t, EventKind::Start, 0));
  ASSERT_TRUE(run.batch(first).ok());
  const size_t good = run.good.bytes().size();
  run.point_at("/dev/full");
  ASSERT_FALSE(run.batch({ev(2, 500, EventKind::Start, 0)}).ok());
  run.point_at(run.good.path().c_str());
  ASSERT_TRUE(run.batch({ev(3, 501, EventKind::Start, 0), ev(4, 500, EventKind::Start, 0)}).ok());
  auto bytes = run.good.bytes();
  auto ps = packets(std::vector<uint8_t>(bytes.begin() + good, bytes.end()));
  ASSERT_EQ(ps.size(), 5u);
  EXPECT_EQ(field(ps[0], 13)->value, 1u) << "thread 501 now clears the shared sequence";
  EXPECT_NE(field(ps[1], 12), nullptr) << "and f is interned on it again";
  EXPECT_NE(field(ps[2], 60), nullptr);
  EXPECT_EQ(field(ps[2], 13), nullptr) << "thread 500's descriptor follows, plainly";
}

TEST(ProtoExporter, UserEventsBecomeSlicesInstantsAndCounterTracks) {
  Session run;
  run.code.infos[0] = CodeInfo{"f", "", 1};
  using V = core::UserValue;
  using T = V::Type;
  std::vector<Event> events{ev(10, 7, EventKind::Start, 0)};
  test::append(events, test::user_event(11, 7, EventKind::SpanBegin, "load",
                                        {{"path", {T::Str, 0, 0, "/x"}},
                                         {"n", {T::Int, -3}},
                                         {"r", {T::Double, 0, 0.5}},
                                         {"ok", {T::Bool, 1}},
                                         {"none", {T::None}}}));
  test::append(events, test::user_event(12, 7, EventKind::Instant, "mark"));
  test::append(events, test::user_event(13, 7, EventKind::Counter, "queue", {{"", {T::Int, 42}}}));
  test::append(events,
               test::user_event(14, 7, EventKind::Counter, "queue", {{"", {T::Double, 0, 2.5}}}));
  test::append(events, test::user_event(15, 7, EventKind::SpanEnd, "load"));
  events.push_back(ev(16, 7, EventKind::Return, 0));
  ASSERT_TRUE(run.batch(events).ok());
  auto ps = packets(run.file.bytes());
  std::vector<std::vector<Field>> evs;
  std::vector<Field> counter_track;
  for (const auto& p : ps) {
    if (const Field* te = field(p, 11)) evs.push_back(fields(te->bytes));
    if (const Field* td = field(p, 60); td && field(fields(td->bytes), 8))
      counter_track = fields(td->bytes);
  }
  ASSERT_EQ(evs.size(), 7u) << "in their recorded order, between f's begin and end";
  EXPECT_EQ(field(evs[1], 9)->value, 1u);
  EXPECT_EQ(text(field(evs[1], 23)), "load");
  EXPECT_EQ(text(field(evs[1], 22)), "user");
  std::vector<std::string> annotations;
  for (const Field& a : evs[1]) {
    if (a.number != 4) continue;
    auto af = fields(a.bytes);
    std::string value = field(af, 6)   ? "s:" + text(field(af, 6))
                        : field(af, 4) ? "i:" + std::to_string(int64_t(field(af, 4)->value))
                        : field(af, 5)
                            ? "d:" + std::to_string(std::bit_cast<double>(field(af, 5)->value))
                        : field(af, 2) ? "b:" + std::to_string(field(af, 2)->value)
                                       : "none";
    annotations.push_back(text(field(af, 10)) + "=" + value);
  }
  EXPECT_EQ(annotations, (std::vector<std::string>{"path=s:/x", "n=i:-3", "r=d:0.500000", "ok=b:1",
                                                   "none=none"}));
  EXPECT_EQ(field(evs[2], 9)->value, 3u);
  EXPECT_EQ(text(field(evs[2], 23)), "mark");
  // One counter track for "queue", under the process, with both samples.
  ASSERT_FALSE(counter_track.empty());
  EXPECT_EQ(text(field(counter_track, 2)), "queue");
  EXPECT_EQ(field(counter_track, 5)->value, run.exporter.process_uuid());
  const uint64_t uuid = field(counter_track, 1)->value;
  EXPECT_EQ(field(evs[3], 9)->value, 4u);
  EXPECT_EQ(field(evs[3], 11)->value, uuid);
  EXPECT_EQ(field(evs[3], 30)->value, 42u);
  EXPECT_EQ(field(evs[4], 11)->value, uuid);
  EXPECT_EQ(std::bit_cast<double>(field(evs[4], 44)->value), 2.5);
  EXPECT_EQ(field(evs[5], 9)->value, 2u);
  EXPECT_EQ(field(evs[5], 23), nullptr) << "a span end carries no name, like a function end";
}

TEST(ProtoExporter, FilterRecordStatesTheOptionsAndCounts) {
  Session run;
  core::RunEnd end{3, core::FilterReport{{{"app"}, {":stdlib"}, std::nullopt, 100000}, 4, 0, 9}};
  ASSERT_TRUE(run.exporter.finish(run.code, run.threads, end).ok());
  auto ps = packets(run.file.bytes());
  ASSERT_EQ(ps.size(), 3u) << "process track, filters, then dropped";
  auto e = fields(field(ps[1], 11)->bytes);
  EXPECT_EQ(field(ps[1], 10)->value, 1u);
  EXPECT_EQ(field(e, 9)->value, 3u);
  EXPECT_EQ(text(field(e, 23)), "morvex: filters");
  std::string shown;
  for (const Field& a : e) {
    if (a.number != 4) continue;
    auto af = fields(a.bytes);
    shown += text(field(af, 10)) + "=" +
             (field(af, 6) ? text(field(af, 6)) : std::to_string(field(af, 4)->value)) + " ";
  }
  EXPECT_EQ(shown,
            "include=app exclude=:stdlib min_duration_ns=100000 filtered_functions=4 "
            "min_duration_events=9 ");
  EXPECT_EQ(text(field(fields(field(ps[2], 11)->bytes), 23)), "morvex: 3 events dropped");
}

}  // namespace
}  // namespace morvex::proto
