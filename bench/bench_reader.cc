// Throughput of the trace reader: `morvex report` on a large trace written
// by morvex's own exporters. The trace is shaped like a real one: 4 threads,
// 300 functions with long qualified names, properly nested calls of random
// depth (some of them recursive), delivered to the exporter in 4,096-event
// vectors of 1,024-event runs of one thread.
//
// The clocks run around reading the file into the model and rendering the
// text report, the whole of `morvex report`; writing the trace is not timed.
// Each measurement is the best of three runs, after a first run that brings
// the file into the page cache. Both the wall-clock time and the process's
// CPU time are given: on a machine shared with other work the wall clock
// also counts the time the reader waited for a core.
//
// A compressed Perfetto trace (deflated bundles, incremental timestamps) is
// read too; its target is 20 M events/s.
//
//   bench_reader [output-dir] [million-events]     (default /tmp, 20)
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/output.h"
#include "core/sink.h"
#include "json/exporter.h"
#include "proto/exporter.h"
#include "reader/reader.h"
#include "reader/report.h"

namespace {

using morvex::core::CodeInfo;
using morvex::core::Event;
using morvex::core::EventKind;

constexpr uint32_t kThreads = 4;
constexpr uint32_t kFunctions = 300;
constexpr uint32_t kBaseTid = 50000;
constexpr size_t kRunLength = 1024;
constexpr size_t kVectorEvents = 4096;

class Code : public morvex::core::CodeLookup {
 public:
  std::optional<CodeInfo> code(uint32_t id) const override {
    return CodeInfo{"service.handlers.module_" + std::to_string(id % 23) + ".Handler.method_" +
                        std::to_string(id),
                    "/srv/app/service/handlers/module_" + std::to_string(id % 23) + ".py",
                    10 + 7 * id};
  }
};

class Threads : public morvex::core::ThreadNames {
 public:
  std::optional<std::string> name(uint32_t tid) const override {
    return tid == kBaseTid ? "MainThread" : "worker-" + std::to_string(tid - kBaseTid);
  }
  std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (uint32_t t = 0; t < kThreads; ++t) out.emplace_back(kBaseTid + t, *name(kBaseTid + t));
    return out;
  }
};

// A random walk over one thread's stack; one call in eight re-enters the
// function that is running, so recursion is common.
struct Walk {
  uint32_t tid;
  uint64_t ts = 1'000'000;
  std::vector<uint32_t> stack;

  Event next(std::mt19937_64& rng) {
    ts += 20 + rng() % 200;
    const size_t depth = stack.size();
    if (depth == 0 || (depth < 30 && rng() % 100 < 58 - depth)) {
      uint32_t code = depth != 0 && rng() % 8 == 0 ? stack.back() : rng() % kFunctions;
      stack.push_back(code);
      return {ts, tid, morvex::core::pack_word(static_cast<uint8_t>(EventKind::Start), code)};
    }
    uint32_t code = stack.back();
    stack.pop_back();
    return {ts, tid, morvex::core::pack_word(static_cast<uint8_t>(EventKind::Return), code)};
  }
};

// Writes `events` events to path with the given exporter kind.
bool write_trace(const std::string& path, bool json, bool compress, size_t events) {
  auto file = morvex::core::SharedFile::open(path, true);
  if (!file.ok()) {
    std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), file.error().text().c_str());
    return false;
  }
  std::unique_ptr<morvex::core::Exporter> exporter;
  if (json) {
    file.value().write_all(std::string_view("["));
    exporter = std::make_unique<morvex::json::JsonExporter>(
        morvex::json::JsonExporter::create(std::move(file.value()), 4242));
  } else {
    auto proto = std::make_unique<morvex::proto::ProtoExporter>(
        morvex::proto::ProtoExporter::create(std::move(file.value()), 4242));
    if (compress) {
      morvex::core::Status st = proto->set_compress();
      if (!st.ok()) {
        std::fprintf(stderr, "%s\n", st.error().text().c_str());
        return false;
      }
    }
    exporter = std::move(proto);
  }
  Code code;
  Threads threads;
  std::mt19937_64 rng(7);
  std::vector<Walk> walks;
  for (uint32_t t = 0; t < kThreads; ++t) walks.push_back({kBaseTid + t});
  std::vector<Event> vec;
  vec.reserve(kVectorEvents);
  for (size_t n = 0; n < events; n += kRunLength) {
    Walk& walk = walks[(n / kRunLength) % kThreads];
    for (size_t i = 0; i < kRunLength; ++i) vec.push_back(walk.next(rng));
    if (vec.size() == kVectorEvents || n + kRunLength >= events) {
      if (!exporter->write_batch(vec, code, threads).ok()) return false;
      vec.clear();
    }
  }
  return exporter->finish(code, threads, 0).ok();
}

struct Timing {
  double seconds = 1e30;
  double cpu_seconds = 1e30;
  uint64_t events = 0;
};

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Timing time_report(const std::string& path) {
  Timing best;
  for (int round = 0; round < 4; ++round) {
    const double cpu_start = cpu_now();
    auto start = std::chrono::steady_clock::now();
    auto trace = morvex::reader::read_trace(path);
    if (!trace.ok()) {
      std::fprintf(stderr, "%s\n", trace.error().text().c_str());
      std::exit(1);
    }
    auto text = morvex::reader::report_text(trace.value(), {});
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = cpu_now() - cpu_start;
    if (round == 0 || !text.ok()) continue;  // page cache warm-up
    best.events = trace.value().events;
    best.seconds = std::min(best.seconds, s);
    best.cpu_seconds = std::min(best.cpu_seconds, cpu);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const size_t millions = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20;
  const size_t events = millions * 1'000'000;
  struct Case {
    const char* name;
    bool json;
    bool compress;
    size_t events;
  } const cases[] = {{"protobuf", false, false, events},
                     {"compress", false, true, events},
                     {"json", true, false, events / 4}};
  for (const Case& c : cases) {
    const std::string path = dir + "/morvex_bench_reader_" + std::to_string(::getpid()) +
                             (c.json ? ".json" : ".pftrace");
    if (!write_trace(path, c.json, c.compress, c.events)) return 1;
    FILE* f = std::fopen(path.c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const double mb = static_cast<double>(std::ftell(f)) / 1e6;
    std::fclose(f);
    Timing t = time_report(path);
    if (std::getenv("MORVEX_BENCH_KEEP") == nullptr) ::unlink(path.c_str());
    const double m = static_cast<double>(t.events) / 1e6;
    std::printf(
        "%-9s %5.1f M events, %6.1f MB: report in %.3f s wall = %5.1f M events/s; "
        "%.3f s CPU = %5.1f M events/s, %4.0f MB/s\n",
        c.name, m, mb, t.seconds, m / t.seconds, t.cpu_seconds, m / t.cpu_seconds,
        mb / t.cpu_seconds);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak resident memory of the whole run: %.1f MB\n",
              static_cast<double>(ru.ru_maxrss) / 1024);
  return 0;
}
