// Compressed Perfetto output: the same events written plain and compressed
// read back (with morvex's reader) as the same model; a file cut anywhere in
// its last bundle reads up to the bundle before it; a flush lost to a full
// disk leaves the clocks where the file has them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/event.h"
#include "fakes.h"
#include "format/perfetto.h"
#include "format/wire.h"
#include "proto/exporter.h"
#include "reader/reader.h"

#ifdef MORVEX_HAVE_DEFLATE

namespace morvex::proto {
namespace {

using core::Event;
using core::EventKind;
using test::ev;
using test::FakeCode;
using test::FakeThreads;
using test::TraceFile;

constexpr int32_t kPid = 4242;

// Nested calls on three threads, times growing by uneven steps, in batches
// of runs of one thread each, as the pipeline hands them over.
std::vector<std::vector<Event>> program(size_t batches, size_t calls_per_thread) {
  std::vector<std::vector<Event>> out(batches);
  uint64_t ts = 1'700'000'000'000'000;
  for (size_t b = 0; b < batches; ++b) {
    for (uint32_t tid : {7u, 8u, 9u}) {
      for (size_t i = 0; i < calls_per_thread; ++i) {
        const auto code = static_cast<uint32_t>((i * 7 + tid) % 5);
        out[b].push_back(ev(ts += 13 + i % 300, tid, EventKind::Start, code));
        out[b].push_back(ev(ts += 2 + i % 7, tid, EventKind::Start, (code + 1) % 5));
        out[b].push_back(ev(ts += 100'000 * (i % 3), tid, EventKind::Return, 0));
        out[b].push_back(ev(ts += 1, tid, EventKind::Return, 0));
      }
    }
  }
  return out;
}

struct Session {
  TraceFile file;
  FakeCode code;
  FakeThreads threads;
  int fd = -1;
  ProtoExporter exporter;

  explicit Session(bool compress) : exporter(make()) {
    for (uint32_t c = 0; c < 5; ++c) {
      code.infos[c] = core::CodeInfo{"f" + std::to_string(c), "/app/m.py", 10 * c + 1};
    }
    threads.names = {{7, "MainThread"}, {8, "a"}, {9, "b"}};
    if (compress) {
      EXPECT_TRUE(exporter.set_compress().ok());
    }
  }
  ProtoExporter make() {
    auto out = file.open();
    fd = out.fd();
    return ProtoExporter::create(std::move(out), kPid);
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
  reader::Trace read() {
    auto t = reader::read_trace(file.path());
    EXPECT_TRUE(t.ok());
    return std::move(t.value());
  }
};

// What a reader makes of the run: every thread's span and slices, every
// function's calls and times.
void expect_same(const reader::Trace& a, const reader::Trace& b) {
  EXPECT_EQ(a.damage, b.damage);
  EXPECT_EQ(a.events, b.events);
  EXPECT_EQ(a.first_ts, b.first_ts);
  EXPECT_EQ(a.last_ts, b.last_ts);
  ASSERT_EQ(a.threads.size(), b.threads.size());
  for (size_t i = 0; i < a.threads.size(); ++i) {
    const reader::Thread& x = a.threads[i];
    const reader::Thread& y = b.threads[i];
    EXPECT_EQ(x.first_ts, y.first_ts);
    EXPECT_EQ(x.last_ts, y.last_ts);
    EXPECT_EQ(x.slices, y.slices);
    EXPECT_EQ(x.traced_ns, y.traced_ns);
    ASSERT_EQ(x.functions.size(), y.functions.size());
    for (size_t k = 0; k < x.functions.size(); ++k) {
      EXPECT_EQ(x.functions[k].calls, y.functions[k].calls);
      EXPECT_EQ(x.functions[k].total_ns, y.functions[k].total_ns);
      EXPECT_EQ(x.functions[k].self_ns, y.functions[k].self_ns);
      EXPECT_EQ(x.functions[k].max_ns, y.functions[k].max_ns);
    }
  }
  ASSERT_EQ(a.functions.size(), b.functions.size());
  for (size_t i = 0; i < a.functions.size(); ++i) {
    EXPECT_EQ(a.functions[i].name, b.functions[i].name);
    EXPECT_EQ(a.functions[i].file, b.functions[i].file);
    EXPECT_EQ(a.functions[i].line, b.functions[i].line);
  }
}

// The top-level packets of a file: (offset, size) each.
std::vector<std::pair<size_t, size_t>> outer_packets(const std::vector<uint8_t>& bytes) {
  std::vector<std::pair<size_t, size_t>> out;
  const uint8_t* p = bytes.data();
  const uint8_t* end = p + bytes.size();
  while (p < end) {
    uint64_t len = 0;
    const uint8_t* body = format::read_varint(p + 1, end, len);
    out.emplace_back(p - bytes.data(), body - p + len);
    p = body + len;
  }
  return out;
}

TEST(Compressed, ReadsAsThePlainTraceOfTheSameEvents) {
  // Enough events per batch that a batch fills several bundles.
  auto batches = program(4, 4000);
  Session plain(false), packed(true);
  for (const auto& b : batches) {
    ASSERT_TRUE(plain.batch(b).ok());
    ASSERT_TRUE(packed.batch(b).ok());
  }
  ASSERT_TRUE(plain.exporter.finish(plain.code, plain.threads, core::RunEnd{}).ok());
  ASSERT_TRUE(packed.exporter.finish(packed.code, packed.threads, core::RunEnd{}).ok());
  reader::Trace a = plain.read(), b = packed.read();
  EXPECT_EQ(a.events, 4u * 3 * 4000 * 4);
  expect_same(a, b);

  // Every top-level packet is a bundle, none holds more than its limit, and
  // the whole is several times smaller.
  const std::vector<uint8_t> bytes = packed.file.bytes();
  auto packets = outer_packets(bytes);
  EXPECT_GT(packets.size(), 4u);
  const format::Tag bundle = format::make_tag(format::packet::kCompressedPackets);
  for (auto [at, size] : packets) {
    const uint8_t* body = bytes.data() + at + 1 + format::varint_len(size - 1);
    ASSERT_EQ(body[0], bundle.bytes[0]);
    ASSERT_EQ(body[1], bundle.bytes[1]);
  }
  EXPECT_LT(bytes.size() * 4, plain.file.bytes().size());
}

TEST(Compressed, ACutInTheLastBundleReadsUpToTheBundleBefore) {
  Session packed(true);
  for (const auto& b : program(2, 300)) ASSERT_TRUE(packed.batch(b).ok());
  const std::vector<uint8_t> bytes = packed.file.bytes();
  auto packets = outer_packets(bytes);
  ASSERT_GE(packets.size(), 2u);
  const size_t last = packets.back().first;
  const std::string whole(bytes.begin(), bytes.end());
  auto before = reader::read_trace_bytes(whole.substr(0, last), "t");
  ASSERT_TRUE(before.ok());
  EXPECT_EQ(before.value().damage, reader::Damage::None);
  EXPECT_GT(before.value().events, 0u);
  for (size_t cut = last + 1; cut < bytes.size(); ++cut) {
    auto t = reader::read_trace_bytes(whole.substr(0, cut), "t");
    ASSERT_TRUE(t.ok()) << cut;
    EXPECT_EQ(t.value().damage, reader::Damage::CutOff) << cut;
    EXPECT_EQ(t.value().damage_offset, last) << cut;
    EXPECT_EQ(t.value().events, before.value().events) << cut;
    EXPECT_EQ(t.value().last_ts, before.value().last_ts) << cut;
  }
}

TEST(Compressed, ABundleThatDoesNotInflateIsDamage) {
  Session packed(true);
  for (const auto& b : program(1, 50)) ASSERT_TRUE(packed.batch(b).ok());
  std::vector<uint8_t> bytes = packed.file.bytes();
  bytes[bytes.size() - 20] ^= 0xff;
  auto t = reader::read_trace_bytes(std::string(bytes.begin(), bytes.end()), "t");
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t.value().damage, reader::Damage::Corrupt);
}

// A flush lost to a full disk: the plain and the compressed run lose the
// same batch, and read the same; the clocks go on from what the file holds.
TEST(Compressed, AFailedFlushLeavesTheFileReadableAsThePlainOne) {
  auto batches = program(4, 200);
  reader::Trace read[2];
  for (bool compress : {false, true}) {
    Session run(compress);
    ASSERT_TRUE(run.batch(batches[0]).ok());
    run.point_at("/dev/full");
    ASSERT_FALSE(run.batch(batches[1]).ok());
    run.point_at(run.file.path().c_str());
    ASSERT_TRUE(run.batch(batches[2]).ok());
    ASSERT_TRUE(run.batch(batches[3]).ok());
    read[compress] = run.read();
  }
  EXPECT_EQ(read[0].events, 3u * 3 * 200 * 4);
  expect_same(read[0], read[1]);
}

TEST(Compressed, AFirstFlushLostSendsTheDescriptorsAndClocksAgain) {
  auto batches = program(2, 50);
  reader::Trace read[2];
  for (bool compress : {false, true}) {
    Session run(compress);
    run.point_at("/dev/full");
    ASSERT_FALSE(run.batch(batches[0]).ok());
    run.point_at(run.file.path().c_str());
    ASSERT_TRUE(run.batch(batches[1]).ok());
    read[compress] = run.read();
  }
  EXPECT_EQ(read[0].events, 3u * 50 * 4);
  EXPECT_EQ(read[0].threads.size(), 3u);
  expect_same(read[0], read[1]);
}

}  // namespace
}  // namespace morvex::proto

#else

namespace morvex::proto {
namespace {

// Without a deflate library the option alone is refused, in one line.
TEST(Compressed, ABuildWithoutDeflateRefusesIt) {
  test::TraceFile file;
  ProtoExporter exporter = ProtoExporter::create(file.open(), 4242);
  core::Status st = exporter.set_compress();
  ASSERT_FALSE(st.ok());
  EXPECT_NE(st.error().text().find("libdeflate or zlib"), std::string::npos);
  EXPECT_EQ(st.error().text().find('\n'), std::string::npos);
}

}  // namespace
}  // namespace morvex::proto

#endif
