// Sustained throughput of the pipeline: one producer thread records as fast
// as it can; the serializer drains and decodes, the exporter thread hands
// each vector to a trivial exporter. Reports events decoded and delivered
// per second, and what the producer lost to full rings.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/clock.h"
#include "core/evqueue.h"
#include "core/pipeline.h"
#include "core/recorder.h"

using namespace morvex::core;

namespace {

struct Counting : Exporter {
  std::atomic<uint64_t>* delivered;
  Status write_batch(std::span<const Event> events, const CodeLookup&,
                     const ThreadNames&) override {
    uint64_t sum = 0;
    for (const Event& e : events) sum += e.word;  // touch every event
    if (sum == 42) std::puts("");
    delivered->fetch_add(events.size(), std::memory_order_relaxed);
    return {};
  }
  Status finish(const CodeLookup&, const ThreadNames&, const RunEnd&) override { return {}; }
};
struct NoCodes : CodeLookup {
  std::optional<CodeInfo> code(uint32_t) const override { return std::nullopt; }
};
struct NoNames : ThreadNames {
  std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
  std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return {}; }
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  auto q = EventQueue::create(Clock::starting_now());
  std::atomic<uint64_t> delivered{0};
  auto exporter = std::make_unique<Counting>();
  exporter->delivered = &delivered;
  std::thread exporter_thread([&, e = std::move(exporter)]() mutable {
    (void)run_pipeline(q, std::make_shared<NoCodes>(), std::make_shared<NoNames>(), std::move(e));
  });

  const Clock& clock = q->clock();
  HOT.tid = 1;
  uint64_t produced = 0;
  auto t0 = std::chrono::steady_clock::now();
  auto deadline = t0 + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 4096; i++) {
      Hot& hot = HOT;
      uint64_t now = clock.is_direct() ? read_counter() : clock.raw();
      // Calls and returns, as a program makes them: every slice nests.
      uint8_t kind = (i & 1) == 0 ? 1 : 2;
      record(*q, q->id(), hot, now, pack_word(kind, static_cast<uint32_t>((i >> 1) & 255)));
    }
    produced += 4096;
  }
  q->add_dropped(flush_every_thread());
  q->close();
  exporter_thread.join();
  auto t1 = std::chrono::steady_clock::now();
  double s = std::chrono::duration<double>(t1 - t0).count();
  std::printf("pipeline: %.1f million events/s decoded and delivered (%.2f s)\n",
              delivered.load() / s / 1e6, s);
  std::printf("  producer offered %.1f million events/s; %.1f%% lost to full rings\n",
              produced / s / 1e6, 100.0 * q->dropped() / produced);
  return 0;
}
