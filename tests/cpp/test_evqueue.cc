#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include "core/evqueue.h"
#include "core/loss.h"
#include "core/recorder.h"

namespace morvex::core {
namespace {

constexpr uint32_t kBatch = EventBatch::kCapacity;

// Records `count` events on the calling thread; times count up from `now`,
// code ids carry a sequence number so order and loss are visible.
void record_seq(EventQueue& q, uint32_t tid, uint64_t& now, uint32_t first_seq, uint32_t count) {
  HOT.tid = tid;
  for (uint32_t i = 0; i < count; i++) record(q, q.id(), HOT, now++, pack_word(1, first_seq + i));
}

std::vector<Event> drain_all(EventQueue& q) {
  std::vector<Event> out;
  while (q.drain_nonblocking(out, EventQueue::kDrainLimit) != 0) {
  }
  return out;
}

void expect_sequence(const std::vector<Event>& ev, uint32_t first, uint32_t count) {
  ASSERT_EQ(ev.size(), count);
  for (uint32_t i = 0; i < count; i++) ASSERT_EQ(ev[i].code_id(), first + i) << "at " << i;
}

TEST(EventQueue, FirstEventOfARunStartsAFreshBatchAtDeltaZero) {
  auto q = EventQueue::create(Clock::nanos(0));
  uint64_t now = 500;
  record_seq(*q, 9, now, 0, 3);
  EXPECT_EQ(HOT.queue_id, q->id());
  EXPECT_EQ(HOT.base, 500u);
  EXPECT_EQ(HOT.cursor - cold_state()->batch->begin_ptr(), 3);
  EXPECT_EQ(cold_state()->batch->events[0].delta, 0u);
  EXPECT_EQ(cold_state()->batch->events[2].delta, 2u);
  EXPECT_EQ(flush_every_thread(), 0u);
  std::vector<Event> ev = drain_all(*q);
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0].ts, 500u);
  EXPECT_EQ(ev[2].ts, 502u);
  EXPECT_EQ(ev[0].tid, 9u);
}

TEST(EventQueue, FullRingLosesExactlyTheNextBatchAndSaysSo) {
  auto q = EventQueue::create(Clock::nanos(0));
  uint64_t now = 1;
  // 63 batches fill the ring but its spare slot; the 64th is refused when
  // the next event comes.
  record_seq(*q, 1, now, 0, 64 * kBatch + 1);
  EXPECT_EQ(q->dropped(), kBatch);
  std::vector<Event> ev = drain_all(*q);
  expect_sequence(ev, 0, 63 * kBatch);
  // The refused batch was reused: it starts with the Lost record, then the
  // event that found the ring full. Handed over as the thread's last, it
  // gets in even though the ring is full again.
  record_seq(*q, 1, now, 64 * kBatch + 1, 62 * kBatch);
  EXPECT_EQ(q->dropped(), kBatch);
  EXPECT_EQ(flush_every_thread(), 0u);
  ev = drain_all(*q);
  ASSERT_EQ(ev.size(), 62 * kBatch + 1 + 4);
  ASSERT_EQ(ev[0].kind(), static_cast<uint8_t>(EventKind::Lost));
  EXPECT_EQ(ev[0].ts, 64 * kBatch + 1) << "the gap ends where recording went on";
  uint32_t words[2 * LossSummary::kMaxFrames];
  DecodedLoss loss;
  ASSERT_TRUE(decode_loss(std::span(ev).first(4), loss, words));
  EXPECT_EQ(loss.events, kBatch);
  EXPECT_EQ(loss.start_ns, 63 * kBatch + 1) << "and starts at the first event lost";
  EXPECT_TRUE(loss.unknown) << "more frames began than a summary keeps";
  EXPECT_EQ(ev[4].code_id(), 64 * kBatch);
  EXPECT_EQ(ev.back().code_id(), 64 * kBatch + 62 * kBatch);
}

TEST(EventQueue, CountsTellEveryEventRecordedAndWhatBecameOfIt) {
  auto q = EventQueue::create(Clock::nanos(0));
  uint64_t now = 1;
  record_seq(*q, 1, now, 0, 64 * kBatch + 1);
  // Before a drain: only what the full ring refused is known to be recorded.
  EXPECT_EQ(q->counts().recorded, kBatch);
  drain_all(*q);
  EXPECT_EQ(flush_every_thread(), 0u);
  drain_all(*q);
  const LossCounts c = q->counts();
  // The Lost record carried in the batch after the gap is no event.
  EXPECT_EQ(c.recorded, 64 * kBatch + 1);
  EXPECT_EQ(c.behind, kBatch);
  EXPECT_EQ(c.unwritten, 0u);
  q->add_unwritten(7);
  EXPECT_EQ(q->counts().lost(), kBatch + 7);
  EXPECT_EQ(q->counts().recorded, 64 * kBatch + 1) << "unwritten ones were drained: no new events";
}

TEST(EventQueue, GapsBeyond32BitsAndEarlierTimesStartNewBatches) {
  auto q = EventQueue::create(Clock::nanos(0));
  uint64_t t0 = 1'000;
  uint64_t t1 = t0 + (uint64_t{1} << 32) + 5;
  HOT.tid = 3;
  record(*q, q->id(), HOT, t0, pack_word(1, 0));
  record(*q, q->id(), HOT, t1, pack_word(2, 0));
  EXPECT_EQ(HOT.base, t1);
  record(*q, q->id(), HOT, t1 - 1, pack_word(1, 1));  // before the base
  EXPECT_EQ(HOT.base, t1 - 1);
  EXPECT_EQ(flush_every_thread(), 0u);
  std::vector<Event> ev = drain_all(*q);
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0].ts, t0);
  EXPECT_EQ(ev[1].ts, t1);
  EXPECT_EQ(ev[2].ts, t1 - 1);
}

TEST(EventQueue, RebindingToANewQueueDiscardsTheOldBatch) {
  auto q1 = EventQueue::create(Clock::nanos(0));
  uint64_t now = 1;
  record_seq(*q1, 1, now, 0, 10);
  auto q2 = EventQueue::create(Clock::nanos(0));
  record_seq(*q2, 1, now, 100, 5);
  EXPECT_EQ(flush_every_thread(), 0u);
  EXPECT_TRUE(drain_all(*q1).empty());
  expect_sequence(drain_all(*q2), 100, 5);
  EXPECT_EQ(q1->dropped() + q2->dropped(), 0u);
}

TEST(EventQueue, DrainStopsAtTheLimitAndRotatesItsStart) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::vector<Event> out;
  EXPECT_EQ(q->drain_nonblocking(out, EventQueue::kDrainLimit), 0u) << "no ring yet";

  uint64_t now = 1;
  record_seq(*q, 1, now, 0, 5 * kBatch + 1);  // ring 0: five full batches
  std::thread other([&q] {
    uint64_t t = 1;
    record_seq(*q, 2, t, 0, kBatch + 1);  // ring 1: one batch, then the
  });                                     // partial one at thread exit
  other.join();

  EXPECT_EQ(q->drain_nonblocking(out, 4096), 4096u);
  for (const Event& e : out) ASSERT_EQ(e.tid, 1u);
  out.clear();
  // The next drain begins at ring 1, then wraps to ring 0's fifth batch.
  EXPECT_EQ(q->drain_nonblocking(out, 4096), kBatch + 1 + kBatch);
  EXPECT_EQ(out.front().tid, 2u);
  EXPECT_EQ(out.back().tid, 1u);
  EXPECT_EQ(out.back().code_id(), 5 * kBatch - 1);
}

TEST(EventQueue, SingleRingIsRevisitedByTheNextDrain) {
  auto q = EventQueue::create(Clock::nanos(0));
  uint64_t now = 1;
  record_seq(*q, 1, now, 0, 5 * kBatch + 1);
  std::vector<Event> out;
  EXPECT_EQ(q->drain_nonblocking(out, 4096), 4096u);
  EXPECT_EQ(q->drain_nonblocking(out, 4096), kBatch);
  expect_sequence(out, 0, 5 * kBatch);
}

// Several producers against one drainer: every event is delivered or counted
// as dropped, and each thread's events come out in recorded order.
TEST(EventQueue, ConcurrentProducersLoseNothingUncounted) {
  auto q = EventQueue::create(Clock::nanos(0));
  constexpr int kThreads = 4;
  constexpr uint32_t kPerThread = 300'000;  // fits the 24-bit sequence
  std::atomic<int> running{kThreads};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; t++) {
    producers.emplace_back([&q, &running, t] {
      uint64_t now = 1;
      for (uint32_t i = 0; i < kPerThread; i += 1000) {
        record_seq(*q, 100 + t, now, i, 1000);
        std::this_thread::yield();
      }
      running--;
    });
  }
  std::map<uint32_t, int64_t> last_seq;
  uint64_t delivered = 0;
  std::vector<Event> out;
  uint64_t told_lost = 0;
  auto take = [&] {
    out.clear();
    size_t n = q->drain_nonblocking(out, EventQueue::kDrainLimit);
    for (size_t i = 0; i < out.size(); ++i) {
      const Event& e = out[i];
      if (e.kind() == static_cast<uint8_t>(EventKind::Lost)) {
        uint32_t words[2 * LossSummary::kMaxFrames];
        DecodedLoss loss;
        EXPECT_TRUE(decode_loss(std::span(out).subspan(i, 1 + e.code_id()), loss, words));
        told_lost += loss.events;
        i += e.code_id();
        continue;
      }
      auto [it, fresh] = last_seq.try_emplace(e.tid, -1);
      EXPECT_GT(int64_t{e.code_id()}, it->second) << "tid " << e.tid;
      it->second = e.code_id();
      ++delivered;
    }
    return n;
  };
  while (running.load() > 0) take();
  for (auto& p : producers) p.join();  // exits hand over partial batches
  while (take() != 0) {
  }
  EXPECT_EQ(delivered + q->dropped(), uint64_t{kThreads} * kPerThread);
  // Every loss is told in its thread's stream as well as counted.
  EXPECT_EQ(told_lost, q->dropped());
  EXPECT_EQ(last_seq.size(), size_t{kThreads});
}

TEST(EventQueue, ThreadExitHandsItsPartialBatchOver) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::thread t([&q] {
    uint64_t now = 10;
    record_seq(*q, 42, now, 0, 10);
  });
  t.join();
  std::vector<Event> ev = drain_all(*q);
  expect_sequence(ev, 0, 10);
  EXPECT_EQ(ev[0].tid, 42u);
}

// The batch a thread leaves at its exit gets the ring's spare slot: what
// it holds, and what it tells of the batch lost before it, are not lost.
TEST(EventQueue, ThreadExitWithAFullRingStillHandsItsLastBatchOver) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::thread t([&q] {
    uint64_t now = 10;
    record_seq(*q, 42, now, 0, 64 * kBatch + 10);
  });
  t.join();
  EXPECT_EQ(q->dropped(), kBatch);
  std::vector<Event> ev = drain_all(*q);
  ASSERT_EQ(ev.size(), 63 * kBatch + 4 + 10);
  expect_sequence(std::vector<Event>(ev.begin(), ev.begin() + 63 * kBatch), 0, 63 * kBatch);
  EXPECT_EQ(ev[63 * kBatch].kind(), static_cast<uint8_t>(EventKind::Lost));
  expect_sequence(std::vector<Event>(ev.end() - 10, ev.end()), 64 * kBatch, 10);
}

// Thread churn: every thread that recorded and went leaves its events, and
// its ring is let go once drained, so a drain costs what the live threads
// cost, not every thread the run ever saw.
TEST(EventQueue, RingsOfThreadsThatWentAreLetGoOnceDrained) {
  auto q = EventQueue::create(Clock::nanos(0));
  std::vector<Event> out;
  for (uint32_t t = 0; t < 300; ++t) {
    std::thread([&q, t] {
      uint64_t now = 1;
      record_seq(*q, 100 + t, now, 0, 3);
    }).join();
    if (t % 50 == 49) {
      while (q->drain_nonblocking(out, EventQueue::kDrainLimit) != 0) {
      }
      EXPECT_EQ(q->ring_count(), 0u) << "after " << t + 1 << " threads";
    }
  }
  EXPECT_EQ(out.size(), 900u);
  // A live thread's ring stays, emptied or not.
  uint64_t now = 1;
  record_seq(*q, 1, now, 0, 1);
  EXPECT_EQ(flush_every_thread(), 0u);
  while (q->drain_nonblocking(out, EventQueue::kDrainLimit) != 0) {
  }
  EXPECT_EQ(q->ring_count(), 1u);
}

// A lossless run: a thread that finds its ring full waits for the consumer
// instead of losing the batch; nothing is lost however slow the consumer.
TEST(EventQueue, ALosslessRunWaitsForRoomInsteadOfDropping) {
  auto q = EventQueue::create(Clock::nanos(0), /*lossless=*/true);
  constexpr uint32_t kEvents = 200 * kBatch;
  std::atomic<bool> done{false};
  std::vector<Event> out;
  std::thread consumer([&] {
    while (!done.load() || q->drain_nonblocking(out, EventQueue::kDrainLimit) != 0) {
      q->drain_nonblocking(out, EventQueue::kDrainLimit);
      std::this_thread::sleep_for(std::chrono::microseconds(300));  // slower than the producer
    }
  });
  std::thread producer([&] {
    uint64_t now = 1;
    record_seq(*q, 7, now, 0, kEvents);
    EXPECT_EQ(flush_every_thread(), 0u);
  });
  producer.join();
  done.store(true);
  consumer.join();
  EXPECT_EQ(q->dropped(), 0u);
  expect_sequence(out, 0, kEvents);
}

TEST(EventQueue, ALosslessWaitEndsWhenThePipelineIsGone) {
  auto q = EventQueue::create(Clock::nanos(0), /*lossless=*/true);
  std::latch waiting(1);
  std::thread producer([&] {
    uint64_t now = 1;
    record_seq(*q, 8, now, 0, 63 * kBatch);  // the ring is full now, but its spare slot
    waiting.count_down();
    record_seq(*q, 8, now, 63 * kBatch, kBatch + 1);  // waits for room...
  });
  waiting.wait();
  q->abandon();  // ...until nothing is there to make it
  producer.join();
  // The refused batch is counted, as in any run; the one event the thread
  // still held got in at its exit, after the Lost record.
  EXPECT_EQ(q->dropped(), kBatch);
  std::vector<Event> ev = drain_all(*q);
  ASSERT_EQ(ev.size(), 63 * kBatch + 4 + 1);
  EXPECT_EQ(ev[63 * kBatch].kind(), static_cast<uint8_t>(EventKind::Lost));
  EXPECT_EQ(ev.back().code_id(), 64 * kBatch);
}

}  // namespace
}  // namespace morvex::core
