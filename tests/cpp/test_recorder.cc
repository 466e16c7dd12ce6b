#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "core/evqueue.h"
#include "core/recorder.h"
#include "core/thread_keys.h"

namespace morvex::core {
namespace {

void record_n(EventQueue& q, uint32_t tid, uint64_t now, uint32_t count) {
  HOT.tid = tid;
  for (uint32_t i = 0; i < count; i++) record(q, q.id(), HOT, now + i, pack_word(1, i));
}

size_t drain_count(EventQueue& q, uint32_t* tid_sum = nullptr) {
  std::vector<Event> out;
  while (q.drain_nonblocking(out, EventQueue::kDrainLimit) != 0) {
  }
  if (tid_sum != nullptr)
    for (const Event& e : out) *tid_sum += e.tid;
  return out.size();
}

// A worker that records, then parks until released, so that the main
// thread can act on its recorder while it is provably outside the
// recording path.
class ParkedRecorder {
 public:
  ParkedRecorder(EventQueue& q, uint32_t tid, uint32_t count)
      : thread_([this, &q, tid, count] {
          if (count != 0) record_n(q, tid, 1, count);
          recorded_.count_down();
          release_.wait();
        }) {
    recorded_.wait();
  }
  ~ParkedRecorder() {
    release_.count_down();
    thread_.join();
  }

 private:
  std::latch recorded_{1};
  std::latch release_{1};
  std::thread thread_;
};

TEST(Recorders, FlushEveryThreadDeliversExactlyThePartialEvents) {
  auto q = EventQueue::create(Clock::nanos(0));
  record_n(*q, 1, 100, 10);
  uint64_t base_before = HOT.base;
  {
    ParkedRecorder worker(*q, 2, 7);
    EXPECT_EQ(flush_every_thread(), 0u);
    uint32_t tids = 0;
    EXPECT_EQ(drain_count(*q, &tids), 17u);
    EXPECT_EQ(tids, 10u * 1 + 7u * 2);
    // The flushing left a fresh, empty batch with the same base.
    EXPECT_EQ(HOT.cursor, cold_state()->batch->begin_ptr());
    EXPECT_EQ(HOT.end, cold_state()->batch->end_ptr());
    EXPECT_EQ(HOT.base, base_before);
    // A second flush has nothing to hand over.
    EXPECT_EQ(flush_every_thread(), 0u);
    EXPECT_EQ(drain_count(*q), 0u);
  }
}

// The callbacks trust a hit in a thread's cache of its last code without
// asking which run the thread is bound to: every place where a run may end
// or begin empties it.
TEST(Recorders, FlushForkAndRunStartEmptyTheLastCodeCache) {
  auto q = EventQueue::create(Clock::nanos(0));
  record_n(*q, 1, 1, 3);
  HOT.last_code = 0x1000;
  EXPECT_EQ(flush_every_thread(), 0u);
  EXPECT_EQ(HOT.last_code, UINTPTR_MAX);
  HOT.last_code = 0x1000;
  forget_last_codes();
  EXPECT_EQ(HOT.last_code, UINTPTR_MAX);
  HOT.last_code = 0x1000;
  forget_other_threads();
  EXPECT_EQ(HOT.last_code, UINTPTR_MAX);
  drain_count(*q);
}

TEST(Recorders, FlushTakesTheSpareSlotOnceThenReportsThePartialBatch) {
  auto q = EventQueue::create(Clock::nanos(0));
  // The ring is full but for its spare slot, which the flush may take.
  record_n(*q, 1, 1, 63 * EventBatch::kCapacity + 33);
  EXPECT_EQ(flush_every_thread(), 0u);
  record_n(*q, 1, 1, 20);
  EXPECT_EQ(flush_every_thread(), 20u) << "no slot is left";
  EXPECT_EQ(drain_count(*q), 63 * EventBatch::kCapacity + 33);
}

TEST(Recorders, EachThreadIsListedOnceAndOnlyIfItRecorded) {
  auto q1 = EventQueue::create(Clock::nanos(0));
  record_n(*q1, 1, 1, 1);
  size_t base = recorder_count();
  auto q2 = EventQueue::create(Clock::nanos(0));
  record_n(*q2, 1, 1, 1);  // a second run on the same thread
  EXPECT_EQ(recorder_count(), base);
  {
    ParkedRecorder idle(*q2, 5, 0);
    EXPECT_EQ(recorder_count(), base) << "a thread that records nothing is not listed";
    ParkedRecorder busy(*q2, 6, 3);
    EXPECT_EQ(recorder_count(), base + 1);
  }
  EXPECT_EQ(recorder_count(), base) << "thread exit removes the entry";
}

TEST(Recorders, ForgetOtherThreadsKeepsOnlyTheCaller) {
  auto q = EventQueue::create(Clock::nanos(0));
  record_n(*q, 1, 1, 4);
  {
    ParkedRecorder a(*q, 2, 3);
    ParkedRecorder b(*q, 3, 3);
    ASSERT_GE(recorder_count(), 3u);
    forget_other_threads();
    EXPECT_EQ(recorder_count(), 1u);
    // The forgotten threads are no longer flushed; the caller still is.
    EXPECT_EQ(flush_every_thread(), 0u);
    uint32_t tids = 0;
    EXPECT_EQ(drain_count(*q, &tids), 4u);
    EXPECT_EQ(tids, 4u);
  }
  EXPECT_EQ(recorder_count(), 1u);
}

TEST(Recorders, ForgetOtherThreadsInAThreadThatNeverRecordedLeavesNone) {
  auto q = EventQueue::create(Clock::nanos(0));
  ParkedRecorder a(*q, 2, 3);
  std::thread t([] { forget_other_threads(); });
  t.join();
  EXPECT_EQ(recorder_count(), 0u);
}

// Counted down by a fork-prepare handler that runs before the registry's
// own (handlers run last-registered first), so a test knows a fork began.
std::atomic<std::latch*> FORK_STARTED{nullptr};

// A thread holds the registry's mutex (as a thread running its exit
// destructor may) at the moment a fork begins: the child must not inherit it
// held by a thread that does not exist there. The holder lets go only once
// the fork is under way, so without the registry's own fork handling the
// child would be cloned with the mutex held.
TEST(Recorders, ForkedChildrenNeverWaitForAVanishedRegistryHolder) {
  auto q = EventQueue::create(Clock::nanos(0));
  record_n(*q, 1, 1, 1);  // installs the registry's fork handling first
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork(
        [] {
          if (std::latch* l = FORK_STARTED.load()) l->count_down();
        },
        nullptr, nullptr);
  });
  std::latch holding(1);
  std::latch fork_started(1);
  FORK_STARTED.store(&fork_started);
  std::thread holder([&] {
    std::lock_guard lock(recorders_mutex());
    holding.count_down();
    fork_started.wait();
  });
  holding.wait();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(10);  // a hang ends the child with SIGALRM
    forget_other_threads();
    // The raw system call: sanitizers would report the parent's threads,
    // which the child never had, at _exit.
    syscall(SYS_exit_group, recorder_count() == 1 ? 0 : 1);
  }
  holder.join();
  FORK_STARTED.store(nullptr);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A run may end while a thread is exiting without having been joined (the
// interpreter's shutdown skips threads whose Python part is over, and their
// exit destructors may still be running). Once a thread is no longer listed
// for the end-of-run flush, its last batch must already be in its ring:
// otherwise it lands there after the run's final drain and is lost uncounted.
TEST(Recorders, AnExitingThreadHandsOverItsLastBatchBeforeItIsUnlisted) {
  for (int round = 0; round < 200; ++round) {
    auto q = EventQueue::create(Clock::nanos(0));
    size_t listed = recorder_count();
    std::atomic<bool> recorded{false};
    std::thread t([&] {
      record_n(*q, 9, 1, 7);
      recorded.store(true, std::memory_order_release);
    });
    while (!recorded.load(std::memory_order_acquire)) {
    }
    // Not joined: as soon as the entry is gone, take what is in the rings.
    while (recorder_count() > listed) {
    }
    size_t got = drain_count(*q);
    t.join();
    ASSERT_EQ(got + drain_count(*q), 7u);
    ASSERT_EQ(got, 7u) << "round " << round << ": the batch came after the entry went";
  }
}

TEST(Recorders, FlushPartialOnAnEmptyBatchHandsNothingOver) {
  auto q = EventQueue::create(Clock::nanos(0));
  record_n(*q, 1, 1, 1);
  EXPECT_EQ(flush_every_thread(), 0u);
  ASSERT_EQ(drain_count(*q), 1u);
  Cold* cold = cold_state();
  EventBatch* before = cold->batch.get();
  EXPECT_EQ(Cold::flush_partial(*cold, HOT), 0u);
  EXPECT_EQ(cold->batch.get(), before) << "an empty batch is kept, not replaced";
  EXPECT_EQ(drain_count(*q), 0u);
}

}  // namespace
}  // namespace morvex::core

namespace morvex::core {
namespace {

TEST(ThreadKeys, AReusedKernelIdGetsAnIdOfItsOwn) {
  ThreadKeys keys;
  EXPECT_EQ(keys.claim(7), 7u);
  EXPECT_EQ(keys.claim(8), 8u);
  EXPECT_EQ(keys.claim(7), 7u + (1u << 22)) << "a second thread on kernel id 7";
  EXPECT_EQ(keys.claim(7), 7u + (2u << 22));
  EXPECT_EQ(keys.claim((1u << 22) - 1), (1u << 22) - 1) << "the largest kernel id";
  for (int i = 0; i < 2000; ++i) keys.claim(9);
  EXPECT_EQ(keys.claim(9) >> 22, ThreadKeys::kMaxGeneration) << "saturates, never wraps";
  EXPECT_EQ(keys.claim(9) & ((1u << 22) - 1), 9u);
}

}  // namespace
}  // namespace morvex::core
