// Throughput of the two trace writers on one core (the Perfetto one also
// compressed), and the size of what they write, on a workload shaped like a real trace: 4 threads, 300 functions,
// properly nested calls of random depth, 20-100 ns between events, delivered
// as the pipeline delivers them (4,096-event vectors made of 1,024-event
// runs of one thread).
//
// The clock runs around write_batch alone, including the write to the file
// that ends every batch; building the events and rewinding the file between
// rounds are not timed.
//
//   bench_writers [output-dir]      (default /tmp)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/output.h"
#include "core/sink.h"
#include "json/exporter.h"
#include "proto/exporter.h"

namespace {

using morvex::core::CodeInfo;
using morvex::core::Event;
using morvex::core::EventKind;

constexpr uint32_t kThreads = 4;
constexpr uint32_t kFunctions = 300;
constexpr size_t kRunLength = 1024;     // events of one thread in a row
constexpr size_t kVectorEvents = 4096;  // events per write_batch
constexpr size_t kEventsPerRound = 2'000'000;
constexpr uint64_t kStartNs = 1'000'000'000;  // one second into the run

class BenchCode : public morvex::core::CodeLookup {
 public:
  BenchCode() {
    for (uint32_t i = 0; i < kFunctions; ++i) {
      infos_.push_back(
          {"app.module_" + std::to_string(i % 37) + ".Handler.method_" + std::to_string(i),
           "/home/user/project/app/module_" + std::to_string(i % 37) + ".py", 10 + 7 * i});
    }
  }
  std::optional<CodeInfo> code(uint32_t id) const override {
    if (id >= infos_.size()) return std::nullopt;
    return infos_[id];
  }

 private:
  std::vector<CodeInfo> infos_;
};

class BenchThreads : public morvex::core::ThreadNames {
 public:
  std::optional<std::string> name(uint32_t tid) const override {
    return tid == kBaseTid ? "MainThread" : "Thread-" + std::to_string(tid - kBaseTid);
  }
  std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (uint32_t t = 0; t < kThreads; ++t) out.emplace_back(kBaseTid + t, *name(kBaseTid + t));
    return out;
  }
  static constexpr uint32_t kBaseTid = 81234;
};

// One thread's call stack, walked at random: call deeper with a probability
// that falls with depth, otherwise return (now and then by an exception).
struct ThreadWalk {
  uint32_t tid;
  uint64_t ts = kStartNs;
  std::vector<uint32_t> stack;

  Event next(std::mt19937_64& rng) {
    ts += 20 + rng() % 81;
    const size_t depth = stack.size();
    const bool call = depth == 0 || (depth < 40 && rng() % 100 < 60 - depth);
    if (call) {
      auto code = static_cast<uint32_t>(rng() % kFunctions);
      stack.push_back(code);
      return {ts, tid, morvex::core::pack_word(static_cast<uint8_t>(EventKind::Start), code)};
    }
    uint32_t code = stack.back();
    stack.pop_back();
    auto kind = rng() % 100 == 0 ? EventKind::Unwind : EventKind::Return;
    return {ts, tid, morvex::core::pack_word(static_cast<uint8_t>(kind), code)};
  }
};

struct Workload {
  std::vector<std::vector<Event>> vectors;
  uint64_t span_ns = 0;  // time covered, to move the next round past it

  // Later rounds continue the same run rather than repeat its timestamps.
  void advance() {
    for (auto& v : vectors) {
      for (Event& e : v) e.ts += span_ns;
    }
  }
};

Workload make_workload() {
  std::mt19937_64 rng(20240601);
  std::vector<ThreadWalk> walks;
  for (uint32_t t = 0; t < kThreads; ++t) walks.push_back({BenchThreads::kBaseTid + t});
  Workload w;
  std::vector<Event> current;
  for (size_t n = 0; n < kEventsPerRound; n += kRunLength) {
    ThreadWalk& walk = walks[(n / kRunLength) % kThreads];
    for (size_t i = 0; i < kRunLength; ++i) current.push_back(walk.next(rng));
    if (current.size() == kVectorEvents) w.vectors.push_back(std::move(current)), current.clear();
  }
  if (!current.empty()) w.vectors.push_back(std::move(current));
  uint64_t last = 0;
  for (const auto& walk : walks) last = std::max(last, walk.ts);
  w.span_ns = last - kStartNs + 1000;
  return w;
}

struct Figures {
  double events_per_s;
  double bytes_per_event;
};

off_t file_size(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Runs `rounds` passes of the workload through one exporter (one warm-up
// pass first), rewinding a regular file between passes to bound disk use.
Figures measure(
    const std::string& path, int rounds, Workload& w,
    const std::function<std::unique_ptr<morvex::core::Exporter>(morvex::core::SharedFile)>& make) {
  BenchCode code;
  BenchThreads threads;
  auto file = morvex::core::SharedFile::open(path, true);
  if (!file.ok()) {
    std::fprintf(stderr, "open %s: %s\n", path.c_str(), file.error().text().c_str());
    std::exit(1);
  }
  const bool regular = path != "/dev/null";
  auto exporter = make(std::move(file.value()));
  for (const auto& v : w.vectors) (void)exporter->write_batch(v, code, threads);

  double seconds = 0;
  uint64_t events = 0, bytes = 0;
  for (int r = 0; r < rounds; ++r) {
    w.advance();
    if (regular && ::truncate(path.c_str(), 0) != 0) std::perror("truncate");
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& v : w.vectors) {
      if (auto s = exporter->write_batch(v, code, threads); !s.ok()) {
        std::fprintf(stderr, "write_batch: %s\n", s.error().text().c_str());
        std::exit(1);
      }
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto& v : w.vectors) events += v.size();
    if (regular) bytes += static_cast<uint64_t>(file_size(path));
  }
  (void)exporter->finish(code, threads, 0);
  exporter.reset();
  if (regular) ::unlink(path.c_str());
  return {events / seconds, regular ? double(bytes) / double(events) : 0};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  Workload w = make_workload();
  size_t total = 0;
  for (const auto& v : w.vectors) total += v.size();
  std::printf("workload: %u threads, %u functions, %zu events per round in %zu vectors\n\n",
              kThreads, kFunctions, total, w.vectors.size());

  auto proto = [](morvex::core::SharedFile f) -> std::unique_ptr<morvex::core::Exporter> {
    return std::make_unique<morvex::proto::ProtoExporter>(
        morvex::proto::ProtoExporter::create(std::move(f)));
  };
  auto compressed = [](morvex::core::SharedFile f) -> std::unique_ptr<morvex::core::Exporter> {
    auto e = std::make_unique<morvex::proto::ProtoExporter>(
        morvex::proto::ProtoExporter::create(std::move(f)));
    if (auto s = e->set_compress(); !s.ok()) {
      std::fprintf(stderr, "%s\n", s.error().text().c_str());
      std::exit(1);
    }
    return e;
  };
  auto json = [](morvex::core::SharedFile f) -> std::unique_ptr<morvex::core::Exporter> {
    f.write_all(std::string_view("["));
    return std::make_unique<morvex::json::JsonExporter>(
        morvex::json::JsonExporter::create(std::move(f)));
  };

  struct Row {
    const char* writer;
    std::string target;
    int rounds;
    decltype(+proto) make;
    double min_meps;  // target, million events per second
    double max_bpe;   // target, bytes per event (0: none)
  };
  const std::string proto_path = dir + "/morvex_bench.pftrace";
  const std::string json_path = dir + "/morvex_bench.json";
  const Row rows[] = {
      {"protobuf", proto_path, 10, +proto, 40, 20},
      {"protobuf", "/dev/null", 10, +proto, 40, 0},
      // Deflate is most of its work; random calls deflate less well than a
      // real program's.
      {"compress", proto_path, 4, +compressed, 8, 5},
      {"json", json_path, 4, +json, 8, 0},
      {"json", "/dev/null", 4, +json, 8, 0},
  };

  std::printf("%-9s %-28s %12s %14s %12s  %s\n", "writer", "output", "events", "Mevents/s",
              "bytes/event", "target");
  bool all_met = true;
  for (const Row& row : rows) {
    Figures f = measure(row.target, row.rounds, w, row.make);
    double meps = f.events_per_s / 1e6;
    bool met = meps >= row.min_meps && (row.max_bpe == 0 || f.bytes_per_event <= row.max_bpe);
    all_met = all_met && met;
    char bpe[32] = "-";
    if (f.bytes_per_event > 0) std::snprintf(bpe, sizeof bpe, "%.2f", f.bytes_per_event);
    char target[64];
    if (row.max_bpe > 0) {
      std::snprintf(target, sizeof target, ">= %.0f M/s, <= %.0f B/ev: %s", row.min_meps,
                    row.max_bpe, met ? "met" : "MISSED");
    } else {
      std::snprintf(target, sizeof target, ">= %.0f M/s: %s", row.min_meps, met ? "met" : "MISSED");
    }
    std::printf("%-9s %-28s %12zu %14.1f %12s  %s\n", row.writer, row.target.c_str(),
                total * row.rounds, meps, bpe, target);
  }
  return all_met ? 0 : 1;
}
