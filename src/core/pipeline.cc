#include "core/pipeline.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/thread.h"

namespace morvex::core {

namespace {

using std::chrono::microseconds;

// Idle polling: 20, 40, 80, 160, 200, 200, ... microseconds.
class Backoff {
 public:
  void reset() { wait_ = kFirst; }
  void sleep() {
    std::this_thread::sleep_for(wait_);
    wait_ = std::min(wait_ * 2, kCap);
  }

 private:
  static constexpr microseconds kFirst{20};
  static constexpr microseconds kCap{200};
  microseconds wait_ = kFirst;
};

// What the serializer leaves for the exporter thread. `done` is stored with
// release after everything else, so reading it with acquire makes `lost`,
// `panicked` and every vector pushed to `filled` visible.
struct SerializerOutcome {
  std::atomic<bool> done{false};
  bool panicked = false;
  uint64_t lost = 0;
};

void serialize(EventQueue& queue, VecRing::Producer& filled, VecRing::Consumer& recycled,
               uint64_t& lost) {
  auto v = std::make_unique<EventVec>();
  v->reserve(kVecCapacity);
  Backoff idle;
  for (;;) {
    v->clear();
    if (queue.drain_nonblocking(*v, EventQueue::kDrainLimit) != 0) {
      v = ship(filled, recycled, std::move(v), lost);
      idle.reset();
      continue;
    }
    // Only after a drain came back empty: whatever was handed over before
    // close() is then caught by the final drains.
    if (queue.is_closed()) {
      for (;;) {
        v->clear();
        if (queue.drain_nonblocking(*v, EventQueue::kDrainLimit) == 0) return;
        v = ship(filled, recycled, std::move(v), lost);
      }
    }
    idle.sleep();
  }
}

}  // namespace

std::unique_ptr<EventVec> ship(VecRing::Producer& filled, VecRing::Consumer& recycled,
                               std::unique_ptr<EventVec> v, uint64_t& lost) {
  if (!filled.try_push(v)) {
    lost += v->size();
    return v;
  }
  if (std::unique_ptr<EventVec> r = recycled.try_pop()) return r;
  auto fresh = std::make_unique<EventVec>();
  fresh->reserve(kVecCapacity);
  return fresh;
}

Status run_pipeline(std::shared_ptr<EventQueue> queue, std::shared_ptr<const CodeLookup> code,
                    std::shared_ptr<const ThreadNames> threads,
                    std::unique_ptr<Exporter> exporter) {
  auto [filled_in, filled_out] = VecRing::make();
  auto [recycled_in, recycled_out] = VecRing::make();
  auto outcome = std::make_shared<SerializerOutcome>();

  Result<std::thread> spawned =
      spawn_named("morvex-serializer", [queue, outcome, filled = std::move(filled_in),
                                        recycled = std::move(recycled_out)]() mutable {
        try {
          serialize(*queue, filled, recycled, outcome->lost);
        } catch (...) {
          outcome->panicked = true;
        }
        // Let go of the queue before announcing the end.
        queue.reset();
        outcome->done.store(true, std::memory_order_release);
      });
  if (!spawned.ok()) return IoError::other("spawn serializer: " + spawned.error().text());
  std::thread serializer = std::move(spawned.value());

  Backoff idle;
  for (;;) {
    if (std::unique_ptr<EventVec> v = filled_out.try_pop()) {
      Status st = exporter->write_batch(*v, *code, *threads);
      if (!st.ok()) {
        // The serializer ends on its own once the queue is closed.
        serializer.detach();
        return st;
      }
      if (!recycled_in.try_push(v)) v.reset();
      idle.reset();
      continue;
    }
    if (outcome->done.load(std::memory_order_acquire)) {
      while (std::unique_ptr<EventVec> v = filled_out.try_pop()) {
        Status st = exporter->write_batch(*v, *code, *threads);
        if (!st.ok()) {
          serializer.detach();
          return st;
        }
      }
      serializer.join();
      if (outcome->panicked) return IoError::other("serializer panicked");
      return exporter->finish(*code, *threads, outcome->lost + queue->dropped());
    }
    idle.sleep();
  }
}

}  // namespace morvex::core
