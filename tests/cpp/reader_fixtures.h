// Traces for the reader tests, written by morvex's own exporters from
// programs whose call structure is known, plus a raw protobuf writer for
// packets the exporters do not write (yet).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event.h"
#include "core/output.h"
#include "fakes.h"
#include "json/exporter.h"
#include "proto/exporter.h"
#include "reader/model.h"
#include "reader/reader.h"
#include "reader/stats.h"

namespace morvex::test {

using core::EventKind;

enum class Fmt { Proto, Json };
inline const char* fmt_name(Fmt f) { return f == Fmt::Proto ? "proto" : "json"; }

// One process's run: events in the order the pipeline would hand them over.
struct ProcessRun {
  int32_t pid = 100;
  uint32_t sequence_base = 0;
  std::vector<core::Event> events;
  uint64_t dropped = 0;
  std::optional<format::WallAnchor> anchor;
};

// Writes runs one after the other into one file, the first creating it, as
// a parent and its children do.
inline void write_runs(TraceFile& file, Fmt fmt, const FakeCode& code, const FakeThreads& threads,
                       const std::vector<ProcessRun>& runs, size_t batch = 4096) {
  for (size_t r = 0; r < runs.size(); ++r) {
    const ProcessRun& run = runs[r];
    core::SharedFile out = std::move(core::SharedFile::open(file.path(), r == 0).value());
    auto write = [&](core::Exporter& e) {
      for (size_t i = 0; i < run.events.size(); i += batch) {
        size_t n = std::min(batch, run.events.size() - i);
        ASSERT_TRUE(e.write_batch(std::span(run.events).subspan(i, n), code, threads).ok());
      }
      ASSERT_TRUE(e.finish(code, threads, run.dropped).ok());
    };
    if (fmt == Fmt::Proto) {
      auto e = proto::ProtoExporter::create(std::move(out), run.pid);
      e.set_sequence_base(run.sequence_base);
      if (run.anchor) e.set_anchor(*run.anchor);
      write(e);
    } else {
      if (r == 0) {
        out.write_all(std::string_view("["));
        ASSERT_TRUE(out.flush().ok());
      }
      auto e = json::JsonExporter::create(std::move(out), static_cast<uint32_t>(run.pid));
      if (run.anchor) e.set_anchor(*run.anchor);
      write(e);
    }
  }
}

// Reads with the call tree and the caller pairs, which the model tests check.
inline reader::Trace read_ok(const std::string& path, size_t chunk = reader::Input::kDefaultChunk) {
  reader::ReadOptions options;
  options.chunk_size = chunk;
  options.tree = true;
  options.callers = true;
  auto r = reader::read_trace(path, options);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return r.ok() ? std::move(r.value()) : reader::Trace{};
}

inline reader::Trace read_bytes_ok(std::string_view bytes, size_t chunk = 1 << 20) {
  reader::ReadOptions options;
  options.chunk_size = chunk;
  options.tree = true;
  options.callers = true;
  auto r = reader::read_trace_bytes(bytes, "mem", options);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return r.ok() ? std::move(r.value()) : reader::Trace{};
}

// The stats row of the function named `name` (and, if given, span-ness).
inline reader::FunctionStats row_of(const reader::Trace& t,
                                    const std::vector<reader::FunctionStats>& rows,
                                    std::string_view name, bool span = false) {
  for (const auto& r : rows) {
    const auto& f = t.functions[r.function];
    if (f.name == name && f.span == span) return r;
  }
  ADD_FAILURE() << "no row for " << name;
  return {};
}

inline std::vector<reader::FunctionStats> all_rows(const reader::Trace& t) {
  auto threads = reader::threads_of(t, std::nullopt);
  return reader::function_stats(t, threads);
}

inline const reader::Thread* thread_named(const reader::Trace& t, std::string_view name) {
  for (const auto& th : t.threads) {
    if (th.name == name) return &th;
  }
  ADD_FAILURE() << "no thread " << name;
  return nullptr;
}

// ---- a raw protobuf writer, for packets the exporters do not make ----

class Pb {
 public:
  Pb& varint(uint32_t field, uint64_t v) {
    put_varint((uint64_t{field} << 3) | 0);
    put_varint(v);
    return *this;
  }
  Pb& sint(uint32_t field, int64_t v) { return varint(field, static_cast<uint64_t>(v)); }
  Pb& fixed64(uint32_t field, uint64_t v) {
    put_varint((uint64_t{field} << 3) | 1);
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Pb& bytes(uint32_t field, std::string_view b) {
    put_varint((uint64_t{field} << 3) | 2);
    put_varint(b.size());
    bytes_.append(b);
    return *this;
  }
  Pb& msg(uint32_t field, const Pb& m) { return bytes(field, m.str()); }
  const std::string& str() const { return bytes_; }

  // Framed as Trace.packet.
  std::string packet() const { return Pb().msg(1, *this).str(); }

 private:
  void put_varint(uint64_t v) {
    while (v >= 0x80) {
      bytes_.push_back(static_cast<char>(v | 0x80));
      v >>= 7;
    }
    bytes_.push_back(static_cast<char>(v));
  }
  std::string bytes_;
};

inline core::Event at(uint64_t ts, uint32_t tid, EventKind kind, uint32_t code) {
  return ev(ts, tid, kind, code);
}

// ---- a program whose figures are known exactly ----

inline constexpr uint32_t kMain = 1, kWorker = 2, kHigh = 0x80000005u;

inline FakeCode program_code() {
  FakeCode code;
  code.infos = {{0, {"main", "/app/app.py", 1}},
                {1, {"f", "/app/app.py", 10}},
                {2, {"g", "/app/app.py", 20}},
                {3, {"fib", "/app/app.py", 30}},
                {4, {"gen", "/app/app.py", 40}}};
  return code;
}

inline FakeThreads program_threads() {
  FakeThreads threads;
  threads.names = {{kMain, "MainThread"}, {kWorker, "worker-0"}, {kHigh, "high"}};
  return threads;
}

// main calls f twice (once through g), fib(3) recursively, and a generator
// that yields twice and has an exception thrown into it; a worker thread
// runs g -> f. Times in ns.
inline std::vector<core::Event> program() {
  const uint32_t m = kMain, w = kWorker;
  return {
      at(0, m, EventKind::Start, 0),
      at(10, m, EventKind::Start, 1),
      at(30, m, EventKind::Return, 1),
      at(40, m, EventKind::Start, 1),
      at(45, m, EventKind::Start, 2),
      at(55, m, EventKind::Return, 2),
      at(70, m, EventKind::Return, 1),
      // The worker's events arrive in a batch of their own.
      at(50, w, EventKind::Start, 2),
      at(60, w, EventKind::Start, 1),
      at(90, w, EventKind::Return, 1),
      at(95, w, EventKind::Return, 2),
      at(100, m, EventKind::Start, 3),
      at(110, m, EventKind::Start, 3),
      at(120, m, EventKind::Start, 3),
      at(130, m, EventKind::Return, 3),
      at(135, m, EventKind::Start, 3),
      at(140, m, EventKind::Return, 3),
      at(150, m, EventKind::Return, 3),
      at(155, m, EventKind::Start, 3),
      at(165, m, EventKind::Return, 3),
      at(180, m, EventKind::Return, 3),
      at(200, m, EventKind::Start, 4),
      at(210, m, EventKind::Yield, 4),
      at(220, m, EventKind::Resume, 4),
      at(230, m, EventKind::Yield, 4),
      at(240, m, EventKind::Throw, 4),
      at(250, m, EventKind::Unwind, 4),
      at(300, m, EventKind::Return, 0),
  };
}

// ---- functions that share a name, and a generator ----

// Two modules and three functions named "parse": two in different files
// (as ast.parse and re._parser.parse), one in the same file as another at a
// different line (a redefinition); a generator "tokens".
inline FakeCode twins_code() {
  FakeCode code;
  code.infos = {{0, {"<module>", "/app/main.py", 1}},
                {1, {"<module>", "/app/lib/util.py", 1}},
                {2, {"parse", "/app/lib/util.py", 3}},
                {3, {"parse", "/usr/lib/python3.13/re/_parser.py", 970}},
                {4, {"parse", "/app/lib/util.py", 30}},
                {5, {"tokens", "/app/main.py", 7}}};
  return code;
}

// The main module imports util (10 ns), iterates tokens twice to its end,
// three values each (each run: a start, three resumes, the last of which
// returns; 4 ns a slice), then calls util's parse 3 times (5 ns each),
// re's parse twice (7 ns each) and the later parse once (9 ns).
//   calls:   tokens 2 (6 resumes), parse@util:3 3, parse@re 2, parse@util:30 1
inline std::vector<core::Event> twins() {
  const uint32_t m = kMain;
  std::vector<core::Event> e = {at(0, m, EventKind::Start, 0), at(10, m, EventKind::Start, 1),
                                at(20, m, EventKind::Return, 1)};
  uint64_t ts = 20;
  for (int run = 0; run < 2; ++run) {
    e.push_back(at(ts += 1, m, EventKind::Start, 5));
    e.push_back(at(ts += 4, m, EventKind::Yield, 5));
    for (int value = 1; value <= 3; ++value) {
      e.push_back(at(ts += 1, m, EventKind::Resume, 5));
      e.push_back(at(ts += 4, m, value == 3 ? EventKind::Return : EventKind::Yield, 5));
    }
  }
  auto call = [&](uint32_t code, uint64_t ns) {
    e.push_back(at(ts += 1, m, EventKind::Start, code));
    e.push_back(at(ts += ns, m, EventKind::Return, code));
  };
  for (int i = 0; i < 3; ++i) call(2, 5);
  for (int i = 0; i < 2; ++i) call(3, 7);
  call(4, 9);
  e.push_back(at(ts += 1, m, EventKind::Return, 0));
  return e;
}

}  // namespace morvex::test
