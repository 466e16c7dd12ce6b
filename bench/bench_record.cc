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
#include "core/tls.h"

using namespace morvex::core;

int main(int argc, char** argv) {
  const uint64_t events = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200'000'000;
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

  const Clock& clock = q->clock();
  const uint64_t id = q->id();
  HOT.tid = 1;
  auto per_event = [events](auto t0, auto t1) {
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / events;
  };

  // The recording path proper: bounds, 32-bit range and queue tests and the
  // 8-byte store, with the time already in hand.
  uint64_t base = clock.raw();
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < events; i++)
    record(*q, id, HOT, base + i * 8, pack_word(1 + (i & 1), static_cast<uint32_t>(i & 63)));
  auto t1 = std::chrono::steady_clock::now();

  // The same with a counter read per event. Back to back, counter reads are
  // bound by the instruction's throughput; between interpreter work they
  // overlap with it, which is the case the Python benchmark measures.
  auto t2 = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < events; i++) {
    Hot& hot = HOT;
    uint64_t now = hot.direct_counter ? read_counter() : clock.raw();
    record(*q, id, hot, now, pack_word(1 + (i & 1), static_cast<uint32_t>(i & 63)));
  }
  auto t3 = std::chrono::steady_clock::now();
  stop = true;
  drainer.join();

  std::printf("recording fast path: %.2f ns/event (time given), %.2f ns/event with a %s read\n",
              per_event(t0, t1), per_event(t2, t3), clock.is_direct() ? "counter" : "clock");
  std::printf("  %llu events per loop; drained concurrently %llu, dropped on full rings %llu\n",
              static_cast<unsigned long long>(events), static_cast<unsigned long long>(delivered),
              static_cast<unsigned long long>(q->dropped()));
  return 0;
}
