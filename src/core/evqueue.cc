#include "core/evqueue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/thread.h"

namespace morvex::core {

std::atomic<uint64_t> NEXT_QUEUE_ID{1};

EventQueue::EventQueue(Clock clock, bool lossless)
    : lossless_(lossless),
      id_(NEXT_QUEUE_ID.fetch_add(1, std::memory_order_relaxed)),
      clock_(clock) {}

namespace {

long futex(std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG, value,
                   timeout, nullptr, 0);
}

}  // namespace

void EventQueue::idle_wait(std::chrono::microseconds pause) {
  const uint32_t seen = wakeups_.load(std::memory_order_acquire);
  idle_.store(true, std::memory_order_seq_cst);
  const timespec timeout{0, static_cast<long>(pause.count()) * 1000};
  // A wake, a signal or the end of the pause: the caller looks again anyway.
  (void)futex(wakeups_, FUTEX_WAIT, seen, &timeout);
  idle_.store(false, std::memory_order_relaxed);
}

void EventQueue::serving() {
  serving_.store(true, std::memory_order_release);
  wakeups_.fetch_add(1, std::memory_order_release);
  (void)futex(wakeups_, FUTEX_WAKE, INT32_MAX, nullptr);
}

void EventQueue::wait_serving(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // The word before the flag: a serving() in between changes the word,
    // and the wait returns at once.
    const uint32_t seen = wakeups_.load(std::memory_order_acquire);
    if (serving_.load(std::memory_order_acquire) || std::chrono::steady_clock::now() >= until)
      return;
    const timespec pause{0, 1'000'000};
    (void)futex(wakeups_, FUTEX_WAIT, seen, &pause);
  }
}

void EventQueue::wake_if_filling(BatchRing::Producer& ring) {
  if (!idle_.load(std::memory_order_relaxed)) return;
  if (ring.pending() < BatchRing::kCapacity / 2) return;
  idle_.store(false, std::memory_order_relaxed);
  wakeups_.fetch_add(1, std::memory_order_release);
  (void)futex(wakeups_, FUTEX_WAKE, 1, nullptr);
  // Woken, it may still wait for this thread's time slice to end: with no
  // CPU to spare, that is longer than the rest of the ring lasts.
  sched_yield();
}

bool EventQueue::hand_over(BatchRing::Producer& ring, std::unique_ptr<EventBatch>& batch,
                           bool last) {
  const size_t spare = last ? 0 : 1;
  const bool pushed = ring.try_push(batch, spare);
  wake_if_filling(ring);
  if (pushed) return true;
  if (!lossless_) return false;
  // The serializer polls every 200 us at most and empties a ring in one
  // drain: a short spin and a few yields usually see room, and sleeping
  // after that leaves the core to the pipeline.
  for (unsigned attempt = 0; !abandoned(); ++attempt) {
    if (attempt < 64) {
      cpu_relax();
    } else if (attempt < 96) {
      std::this_thread::yield();
    } else {
      unsigned shift = std::min(attempt - 96, 6u);
      const std::chrono::microseconds pause(15u << shift);
      if (wait_hook_ == nullptr) {
        std::this_thread::sleep_for(pause);
      } else if (!wait_hook_(pause)) {
        interrupted_.store(true, std::memory_order_release);
        abandon();
        return false;
      }
    }
    if (ring.try_push(batch, spare)) return true;
  }
  return false;
}

namespace {

inline void store(Hot& hot, uint32_t delta, uint32_t word) {
  *hot.cursor = PackedEvent{delta, word};
  ++hot.cursor;
}

}  // namespace

void EventQueue::init_producer(Cold& cold, Hot& hot, uint64_t now, uint32_t tid) {
  auto [producer, consumer] = BatchRing::make();
  {
    std::lock_guard lock(mu_);
    consumers_.push_back(std::move(consumer));
  }
  cold.queue_id = id_;
  // The old producer end goes; its ring lives on until its queue drops it.
  cold.producer = std::move(producer);
  cold.queue = weak_from_this();
  // Events left in a batch of an earlier run are not this run's: discard,
  // and so is what that run lost.
  cold.loss.clear();
  cold.install(std::make_unique<EventBatch>(now, tid), hot);
  // After the queue mutex is released: the two locks are never held together.
  register_current();
  hot.queue_id = id_;
}

void slow_path(EventQueue& q, Hot& hot, uint64_t now, uint32_t tid, uint32_t word) {
  Cold* cold = cold_state();
  if (cold == nullptr) {
    // Thread teardown: COLD and its batch are gone, record nothing.
    hot.cursor = hot.end = nullptr;
    hot.queue_id = 0;
    return;
  }
  if (!cold->producer || cold->queue_id != q.id()) {
    q.init_producer(*cold, hot, now, tid);
    store(hot, 0, word);
    return;
  }
  std::unique_ptr<EventBatch> batch = std::move(cold->batch);
  batch->len = static_cast<uint32_t>(hot.cursor - batch->begin_ptr());
  const bool lost = !q.hand_over(cold->producer, batch);
  if (lost) {
    q.add_dropped(batch->event_count());
    cold->loss.add(*batch);
    batch->len = 0;
    batch->payload = 0;
    batch->base = now;
    batch->tid = tid;
  } else {
    // It carried the Lost record, if there was one to carry.
    cold->loss.clear();
    batch = std::make_unique<EventBatch>(now, tid);
  }
  cold->install(std::move(batch), hot);
  if (lost) {
    // The gap ends here: the new batch says so before anything else.
    const size_t n = cold->loss.write(hot.cursor);
    hot.cursor += n;
    cold->batch->payload = static_cast<uint32_t>(n);
  }
  store(hot, 0, word);
}

void record_user(EventQueue& q, uint64_t queue_id, Hot& hot, uint64_t now, EventKind kind,
                 std::span<const uint64_t> payload) {
  const size_t n = payload.size();
  const uint32_t word = pack_word(static_cast<uint8_t>(kind), static_cast<uint32_t>(n));
  // The header and its payload never straddle two batches.
  bool room = hot.cursor != nullptr && static_cast<size_t>(hot.end - hot.cursor) > n;
  if (hot.queue_id != queue_id || !room || !try_store(hot, now, word)) {
    slow_path(q, hot, now, hot.tid, word);
    // A fresh batch holds the header alone; nothing during thread teardown.
    if (hot.cursor == nullptr || static_cast<size_t>(hot.end - hot.cursor) < n) return;
  }
  std::memcpy(hot.cursor, payload.data(), n * sizeof(PackedEvent));
  hot.cursor += n;
  if (Cold* cold = cold_state(); cold != nullptr && cold->batch) cold->batch->payload += n;
}

namespace {

// A batch that carries user events: their payload records are copied as
// they are, not read as times.
void decode_with_payload(const EventBatch& batch, const Clock& clock, Event* dst) {
  const bool on_timeline = batch.base >= clock.start();
  Clock::BatchDecoder ns = clock.decoder(on_timeline ? batch.base : clock.start());
  for (uint32_t i = 0; i < batch.len; ++i, ++dst) {
    const PackedEvent& p = batch.events[i];
    uint64_t ts = on_timeline ? ns(p.delta) : clock.nanos_since_start(batch.base + p.delta);
    *dst = Event{ts, batch.tid, p.word};
    const uint8_t kind = word_kind(p.word);
    if (!carries_payload(kind)) continue;
    uint32_t n = std::min<uint32_t>(word_code_id(p.word), batch.len - 1 - i);
    for (uint32_t k = 0; k < n; ++k) {
      uint64_t raw;
      std::memcpy(&raw, &batch.events[i + 1 + k], sizeof raw);
      // A gap's start is a time, of the same clock as the records.
      if (kind == static_cast<uint8_t>(EventKind::Lost) && k == 1)
        raw = clock.nanos_since_start(raw);
      *++dst = Event{raw, batch.tid, 0};
    }
    i += n;
  }
}

}  // namespace

void decode_into(const EventBatch& batch, const Clock& clock, std::vector<Event>& out) {
  const PackedEvent* p = batch.events;
  const PackedEvent* end = p + batch.len;
  size_t at = out.size();
  out.resize(at + batch.len);
  Event* dst = out.data() + at;
  if (batch.payload != 0) {
    decode_with_payload(batch, clock, dst);
  } else if (batch.base >= clock.start()) {
    Clock::BatchDecoder ns = clock.decoder(batch.base);
    for (; p != end; ++p, ++dst) *dst = Event{ns(p->delta), batch.tid, p->word};
  } else {
    // Counter skew put the base before the clock start: per record, so that
    // records still before it decode to 0.
    for (; p != end; ++p, ++dst)
      *dst = Event{clock.nanos_since_start(batch.base + p->delta), batch.tid, p->word};
  }
}

template <typename Take>
size_t EventQueue::drain(Take&& take, size_t max) {
  std::lock_guard lock(mu_);
  size_t n = consumers_.size();
  if (n == 0) return 0;
  size_t start = next_ring_.fetch_add(1, std::memory_order_relaxed) % n;
  size_t total = 0;
  uint64_t events = 0;
  // One store per drain; the serializer is the counter's only writer.
  auto count = [&] {
    drained_.store(drained_.load(std::memory_order_relaxed) + events, std::memory_order_relaxed);
  };
  for (size_t i = 0; i < n; i++) {
    BatchRing::Consumer& c = consumers_[(start + i) % n];
    // Read before the ring is emptied: whatever the thread pushed before it
    // went is then sure to be taken below.
    bool gone = c.producer_gone();
    while (std::unique_ptr<EventBatch> batch = c.try_pop()) {
      take(*batch);
      total += batch->len;
      events += batch->event_count();
      if (total >= max) {
        gone_.clear();  // let go of them on a drain that gets through
        count();
        return total;
      }
    }
    if (gone) gone_.push_back((start + i) % n);
  }
  // Rings of threads that exited or moved on to a later run, emptied: let
  // them go, so a drain costs what the live threads cost, not every thread
  // the run ever saw.
  std::sort(gone_.begin(), gone_.end(), std::greater<>());
  for (size_t k : gone_) {
    consumers_[k] = std::move(consumers_.back());
    consumers_.pop_back();
  }
  gone_.clear();
  count();
  return total;
}

size_t EventQueue::drain_nonblocking(std::vector<Event>& out, size_t max) {
  return drain([&](const EventBatch& batch) { decode_into(batch, clock_, out); }, max);
}

size_t EventQueue::drain_batches(const std::function<void(const EventBatch&)>& take, size_t max) {
  return drain(take, max);
}

}  // namespace morvex::core
