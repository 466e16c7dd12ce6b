// Cost per event of the recording fast path, without Python: three tests and
// one 8-byte store into the thread's batch, plus the slow path once per
// 1,024 events; then the same with a counter read per event. A
// serializer-like thread drains the queue meanwhile, as in a real run.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/evqueue.h"
#include "core/recorder.h"

using namespace morvex::core;

namespace {

double ns_per_event(std::chrono::steady_clock::time_point t0,
                    std::chrono::steady_clock::time_point t1, uint64_t events) {
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / events;
}

// Records `events` events with times spaced 8 ticks apart, or read from the
// clock per event.
double record_loop(EventQueue& q, uint64_t events, bool read_clock) {
  const Clock& clock = q.clock();
  const uint64_t id = q.id();
  uint64_t base = clock.raw();
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < events; i++) {
    Hot& hot = HOT;
    uint64_t now = !read_clock ? base + i * 8 : clock.is_direct() ? read_counter() : clock.raw();
    record(q, id, hot, now, pack_word(1 + (i & 1), static_cast<uint32_t>(i & 63)));
  }
  return ns_per_event(t0, std::chrono::steady_clock::now(), events);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t events = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200'000'000;
  HOT.tid = 1;

  // Nobody drains: once the ring is full every batch is refused and reused
  // in place, so this is the path itself with its buffer in cache.
  auto undrained = EventQueue::create(Clock::starting_now());
  double in_cache = record_loop(*undrained, events, false);

  auto q = EventQueue::create(Clock::starting_now());
  std::atomic<bool> stop{false};
  uint64_t delivered = 0;
  std::thread drainer([&] {
    std::vector<Event> out;
    out.reserve(8192);
    while (!stop.load(std::memory_order_relaxed)) {
      out.clear();
      if (q->drain_nonblocking(out, EventQueue::kDrainLimit) == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      delivered += out.size();
    }
  });
  // A drained run: every 1,024 events a fresh batch whose memory the
  // draining core touched last.
  double drained = record_loop(*q, events, false);
  // Back to back, counter reads are bound by the instruction's throughput;
  // between interpreter work they overlap with it, which is what the Python
  // benchmark measures.
  double with_counter = record_loop(*q, events, true);
  stop = true;
  drainer.join();

  std::printf("recording fast path, %llu events a loop:\n",
              static_cast<unsigned long long>(events));
  std::printf("  %.2f ns/event  the path alone (buffer in cache)\n", in_cache);
  std::printf("  %.2f ns/event  with batches circulating to a draining thread\n", drained);
  std::printf("  %.2f ns/event  the same with a %s read per event\n", with_counter,
              q->clock().is_direct() ? "counter" : "clock");
  std::printf("  drained %llu, dropped on full rings %llu\n",
              static_cast<unsigned long long>(delivered),
              static_cast<unsigned long long>(q->dropped()));
  return 0;
}
