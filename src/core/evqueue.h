// The event queue of one trace run: a set of per-thread lanes. Each thread
// that records into the run gets a ring of 64 batches; the thread keeps the
// producer end (in COLD), the queue keeps the consumer ends. A traced thread
// fills a batch of 1,024 records without synchronisation and hands it over
// only when it is full or cannot take the next record. A full ring drops the
// newest batch and counts it, and the thread's next batch says so where the
// events went missing (loss.h): recording never waits for the pipeline,
// unless the run is lossless: then the thread waits for room (spinning,
// yielding, then sleeping with backoff) for as long as the pipeline is there
// to make it, and counts the loss only once the pipeline is gone.
//
// Threads: slow_path runs on recording threads; drain_nonblocking only on the
// serializer. The queue mutex guards `consumers` only; it is taken once per
// thread and run by init_producer and for a whole drain by the serializer,
// and never together with the RECORDERS mutex.
//
// Memory ordering: ring publication as in ring.h; `closed` is written with
// release and read with acquire; `dropped`, `drained`, `unwritten`,
// `next_ring` and NEXT_QUEUE_ID are relaxed counters (their final reads
// follow the pipeline's end, which publishes them: a join, or a mutex).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/event.h"
#include "core/recorder.h"

namespace morvex::core {

// Ids of successive queues in this process: 1, 2, 3, ...; 0 names no queue,
// which is what a thread that never recorded is bound to.
extern std::atomic<uint64_t> NEXT_QUEUE_ID;

class alignas(64) EventQueue : public std::enable_shared_from_this<EventQueue> {
 public:
  // The serializer stops a drain once it has decoded this many events.
  static constexpr size_t kDrainLimit = 4096;

  static std::shared_ptr<EventQueue> create(Clock clock, bool lossless = false) {
    return std::make_shared<EventQueue>(clock, lossless);
  }
  explicit EventQueue(Clock clock, bool lossless = false);
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  uint64_t id() const { return id_; }
  const Clock& clock() const { return clock_; }

  // Moves whole batches from the rings into `out`, decoded; returns the
  // number of events appended. Starts at a rotating ring and stops once
  // `max` events have been appended.
  size_t drain_nonblocking(std::vector<Event>& out, size_t max);
  // The same, handing each batch to `take` as it is instead of decoding it;
  // returns the number of records taken.
  size_t drain_batches(const std::function<void(const EventBatch&)>& take, size_t max);

  // The serializer's wait while the rings are empty: returns after `pause`,
  // or sooner when a traced thread finds its ring half full. Where the
  // program has every CPU busy (one CPU, or all of them taken) a sleeper
  // waiting out its pause may get the CPU too late, and the rings overflow.
  void idle_wait(std::chrono::microseconds pause);

  // Said by the serializer as it begins draining. A run's first events
  // should find it there: starting the writer threads can take longer, on a
  // loaded machine, than a thread takes to fill its ring.
  void serving();
  // Waits until serving() was said or `limit` has passed.
  void wait_serving(std::chrono::milliseconds limit);

  void close() { closed_.store(true, std::memory_order_release); }
  bool is_closed() const { return closed_.load(std::memory_order_acquire); }

  bool lossless() const { return lossless_; }
  // Said when the program will not wait for the rest (an interrupted stop):
  // the serializer counts what is still in the rings as dropped instead of
  // writing it, and ends every thread's open slices where its events end.
  void hurry() { hurried_.store(true, std::memory_order_release); }
  bool hurried() const { return hurried_.load(std::memory_order_acquire); }
  // Said by the pipeline when it stops taking events, for good: lossless
  // waiters then give up.
  void abandon() { abandoned_.store(true, std::memory_order_release); }
  bool abandoned() const { return abandoned_.load(std::memory_order_acquire); }

  // Hands `batch` to a ring; in a lossless run, waits for room while the
  // pipeline is there to make it. False (the batch still the caller's) when
  // it could not. Only a thread's `last` batch for now (the end of a run or
  // of the thread) may take the ring's spare slot: it has no later batch to
  // tell of its loss, so it must not be the one lost.
  bool hand_over(BatchRing::Producer& ring, std::unique_ptr<EventBatch>& batch,
                 bool last = false);

  // How a lossless waiter sleeps between tries, set before any thread
  // records: sleeps about `pause` (letting other threads run meanwhile) and
  // returns false when the wait must end - the program was interrupted.
  // Then every wait of the run ends: the run loses what finds no room from
  // now on, counted and told, as a run that is not lossless does.
  using WaitHook = bool (*)(std::chrono::microseconds pause);
  void set_wait_hook(WaitHook hook) { wait_hook_ = hook; }
  bool interrupted() const { return interrupted_.load(std::memory_order_acquire); }

  // Rings still held (tests and diagnostics).
  size_t ring_count() {
    std::lock_guard lock(mu_);
    return consumers_.size();
  }

  // Events refused by a full ring, discarded by the thread that recorded them.
  void add_dropped(uint64_t n) { dropped_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  // Events the pipeline took out of the rings and then did not write (an
  // interrupted stop, a failed write), said by the pipeline as it ends.
  void add_unwritten(uint64_t n) { unwritten_.fetch_add(n, std::memory_order_relaxed); }
  // Every event the run's threads recorded, and what became of them; final
  // once the pipeline has ended, a lower bound before.
  LossCounts counts() const {
    const uint64_t dropped = dropped_.load(std::memory_order_relaxed);
    return {drained_.load(std::memory_order_relaxed) + dropped, dropped,
            unwritten_.load(std::memory_order_relaxed)};
  }

 private:
  friend void slow_path(EventQueue&, Hot&, uint64_t, uint32_t, uint32_t);
  void init_producer(Cold& cold, Hot& hot, uint64_t now, uint32_t tid);
  // Said by a traced thread after a hand-over: wakes an idle serializer
  // when `ring` is half full, and gives it the CPU, which on a machine with
  // none to spare it would otherwise get only once this thread's time slice
  // ends, later than the ring lasts. One load of a flag otherwise.
  void wake_if_filling(BatchRing::Producer& ring);
  template <typename Take>
  size_t drain(Take&& take, size_t max);

  std::mutex mu_;
  std::vector<BatchRing::Consumer> consumers_;  // guarded by mu_
  std::vector<size_t> gone_;                    // scratch of a drain, guarded by mu_
  std::atomic<size_t> next_ring_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> drained_{0};  // written by the serializer alone
  std::atomic<uint64_t> unwritten_{0};
  std::atomic<bool> closed_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> hurried_{false};
  // The serializer's idle wait sleeps on `wakeups` (a futex word) while
  // `idle`; a wake that comes between its check and the sleep is missed
  // and the wait lasts its pause, as it would with no wake at all.
  std::atomic<uint32_t> wakeups_{0};
  std::atomic<bool> idle_{false};
  std::atomic<bool> serving_{false};
  WaitHook wait_hook_ = nullptr;
  const bool lossless_;
  const uint64_t id_;
  const Clock clock_;
};

// Appends the batch's records to `out` in buffer order, with nanosecond times.
void decode_into(const EventBatch& batch, const Clock& clock, std::vector<Event>& out);

}  // namespace morvex::core
