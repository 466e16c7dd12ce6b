#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "core/evqueue.h"
#include "core/pipeline.h"
#include "core/thread.h"
#include "fakes.h"

namespace morvex::core {
namespace {

// What the exporter saw; shared because run_pipeline destroys the exporter.
struct Log {
  std::mutex mu;
  std::vector<Event> events;
  int batches = 0;
  int finishes = 0;
  uint64_t dropped = 0;
  std::optional<FilterReport> filters;
  bool written_after_finish = false;
  bool destroyed = false;
};

class RecordingExporter : public Exporter {
 public:
  explicit RecordingExporter(std::shared_ptr<Log> log) : log_(std::move(log)) {}
  ~RecordingExporter() override { log_->destroyed = true; }

  std::function<Status(int)> before_batch;  // gets the batch number

  Status write_batch(std::span<const Event> events, const CodeLookup&,
                     const ThreadNames&) override {
    int n;
    {
      std::lock_guard lock(log_->mu);
      n = log_->batches++;
      if (log_->finishes != 0) log_->written_after_finish = true;
    }
    if (before_batch) {
      Status st = before_batch(n);
      if (!st.ok()) return st;
    }
    std::lock_guard lock(log_->mu);
    log_->events.insert(log_->events.end(), events.begin(), events.end());
    return {};
  }
  Status finish(const CodeLookup&, const ThreadNames&, const RunEnd& end) override {
    std::lock_guard lock(log_->mu);
    log_->finishes++;
    log_->dropped = end.dropped;
    log_->filters = end.filters;
    return {};
  }

 private:
  std::shared_ptr<Log> log_;
};

struct PipelineRun {
  std::shared_ptr<EventQueue> queue = EventQueue::create(Clock::nanos(0));
  std::shared_ptr<Log> log = std::make_shared<Log>();
  PipelineOptions options;
  Status result;
  std::thread exporter_thread;

  void start(std::unique_ptr<RecordingExporter> e) {
    exporter_thread = std::thread([this, e = std::move(e)]() mutable {
      result = run_pipeline(queue, std::make_shared<test::FakeCode>(),
                            std::make_shared<test::FakeThreads>(), std::move(e), options);
    });
  }
  void start() { start(std::make_unique<RecordingExporter>(log)); }
  void stop() {
    queue->add_dropped(flush_every_thread());
    queue->close();
    exporter_thread.join();
  }
};

void record_n(EventQueue& q, uint32_t tid, uint32_t count) {
  HOT.tid = tid;
  for (uint32_t i = 0; i < count; i++) record(q, q.id(), HOT, 1 + i, pack_word(1, i));
}

// Threads whose OS name starts with `prefix`.
int threads_named(const std::string& prefix) {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind(prefix, 0) == 0) n++;
  }
  closedir(d);
  return n;
}

TEST(Pipeline, ARunWithoutEventsOnlyFinishes) {
  PipelineRun run;
  run.start();
  run.stop();
  EXPECT_TRUE(run.result.ok());
  EXPECT_EQ(run.log->batches, 0);
  EXPECT_EQ(run.log->finishes, 1);
  EXPECT_EQ(run.log->dropped, 0u);
  EXPECT_TRUE(run.log->destroyed);
}

TEST(Pipeline, EverythingHandedOverBeforeCloseIsWrittenBeforeFinish) {
  PipelineRun run;
  run.start();
  constexpr uint32_t kMain = 50'000, kWorker = 777;
  record_n(*run.queue, 1, kMain);
  std::latch recorded(1), release(1);
  // A worker still alive at the stop: its partial batch is handed over by
  // flush_every_thread just before close.
  std::thread worker([&] {
    record_n(*run.queue, 2, kWorker);
    recorded.count_down();
    release.wait();
  });
  recorded.wait();
  run.stop();
  release.count_down();
  worker.join();

  ASSERT_TRUE(run.result.ok());
  EXPECT_EQ(run.log->finishes, 1);
  EXPECT_FALSE(run.log->written_after_finish);
  EXPECT_EQ(run.log->dropped, 0u);
  size_t main_seen = 0, worker_seen = 0;
  for (const Event& e : run.log->events) (e.tid == 1 ? main_seen : worker_seen)++;
  EXPECT_EQ(main_seen, kMain);
  EXPECT_EQ(worker_seen, kWorker);
}

TEST(Pipeline, BackgroundThreadsCarryTheirNames) {
  std::latch inside(1), release(1);
  auto t = spawn_named("morvex-exporter", [&] {
    inside.count_down();
    release.wait();
  });
  ASSERT_TRUE(t.ok());
  inside.wait();
  EXPECT_EQ(threads_named("morvex-exporter"), 1);
  release.count_down();
  t.value().join();

  PipelineRun run;
  run.start();
  // Linux keeps 15 bytes of a name.
  while (threads_named("morvex-serializ") == 0) std::this_thread::yield();
  run.stop();
  EXPECT_EQ(threads_named("morvex-serializ"), 0);
}

TEST(Pipeline, ShipCountsAVectorThatFindsFilledFull) {
  auto [filled_in, filled_out] = VecRing::make();
  auto [recycled_in, recycled_out] = VecRing::make();
  uint64_t lost = 0;
  for (int i = 0; i < 256; i++) {
    auto v = std::make_unique<EventVec>(3);
    auto next = ship(filled_in, recycled_out, std::move(v), lost);
    ASSERT_NE(next, nullptr);
    EXPECT_GE(next->capacity(), kVecCapacity);
  }
  EXPECT_EQ(lost, 0u);
  auto extra = std::make_unique<EventVec>(5);
  EventVec* raw = extra.get();
  auto back = ship(filled_in, recycled_out, std::move(extra), lost);
  EXPECT_EQ(lost, 5u);
  EXPECT_EQ(back.get(), raw) << "the refused vector is reused";

  // A written vector comes back through `recycled`.
  auto written = filled_out.try_pop();
  EventVec* w = written.get();
  ASSERT_TRUE(recycled_in.try_push(written));
  EXPECT_EQ(ship(filled_in, recycled_out, std::move(back), lost).get(), w);
}

// The exporter holds its first batch until the serializer has shipped
// everything and ended, so `filled` overflows; the overflow must reach
// finish, added to the queue's own count.
// Shaped events are never dropped: with the exporter held up, the
// serializer waits for room rather than lose vectors (which would leave
// unmatched begins and ends behind).
TEST(Pipeline, AFullFilledRingHoldsTheSerializerBackInsteadOfLosing) {
  PipelineRun run;
  std::latch go(1);
  auto e = std::make_unique<RecordingExporter>(run.log);
  e->before_batch = [&go](int n) -> Status {
    if (n == 0) go.wait();
    return {};
  };
  run.start(std::move(e));
  // 20 threads of 63 full batches each (no ring overflows): 315 vectors of
  // 4,096 events, more than the one held plus a full ring of 256.
  constexpr int kThreads = 20;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; t++)
    producers.emplace_back([&run, t] { record_n(*run.queue, 10 + t, 63 * 1024); });
  for (auto& p : producers) p.join();
  run.queue->add_dropped(7);  // as if the stop had counted some
  run.queue->close();
  go.count_down();
  run.exporter_thread.join();

  ASSERT_TRUE(run.result.ok());
  uint64_t produced = uint64_t{kThreads} * 63 * 1024;
  EXPECT_EQ(run.log->events.size(), produced);
  EXPECT_EQ(run.log->dropped, 7u);
}

// An interrupted stop: what is still queued is counted, not written, and
// what was written stays well nested - the slices still open end with their
// thread's last written event.
TEST(Pipeline, AHurriedPipelineCountsWhatIsLeftAndEndsOpenSlices) {
  PipelineRun run;
  run.start();
  HOT.tid = 3;
  record(*run.queue, run.queue->id(), HOT, 10, pack_word(1, 1));
  record(*run.queue, run.queue->id(), HOT, 20, pack_word(1, 2));
  EXPECT_EQ(flush_every_thread(), 0u);
  for (;;) {
    std::lock_guard lock(run.log->mu);
    if (run.log->events.size() == 2) break;
  }
  run.queue->hurry();
  record_n(*run.queue, 3, 3000);
  run.stop();
  ASSERT_TRUE(run.result.ok());
  ASSERT_EQ(run.log->events.size(), 4u);
  EXPECT_EQ(run.log->events[2].word, pack_word(5, 2));
  EXPECT_EQ(run.log->events[3].word, pack_word(5, 1));
  EXPECT_EQ(run.log->events[3].ts, 20u);
  EXPECT_EQ(run.log->dropped, 3000u);
  // Every event recorded is accounted for: written, or left unwritten.
  const LossCounts c = run.queue->counts();
  EXPECT_EQ(c.recorded, 3002u);
  EXPECT_EQ(c.behind, 0u);
  EXPECT_EQ(c.unwritten, 3000u);
  EXPECT_EQ(c.lost(), run.log->dropped);
}

TEST(Pipeline, AFailingWriteStopsThePipelineWithThatError) {
  PipelineRun run;
  auto e = std::make_unique<RecordingExporter>(run.log);
  e->before_batch = [](int) -> Status { return IoError::from_errno(ENOSPC); };
  run.start(std::move(e));
  record_n(*run.queue, 1, 3000);
  run.stop();
  ASSERT_FALSE(run.result.ok());
  EXPECT_EQ(run.result.error().text(), "No space left on device (os error 28)");
  EXPECT_EQ(run.log->finishes, 0);
  EXPECT_TRUE(run.log->destroyed);
  // The unattended serializer still ends, the queue being closed.
  while (threads_named("morvex-serializ") != 0) std::this_thread::yield();
}

// A thread's events in a shape that has every kind of work for the
// serializer: nesting, an end it repairs, an end of nothing, and user events
// whose payload records travel with them.
void record_mixed(EventQueue& q, uint32_t tid, uint32_t rounds) {
  HOT.tid = tid;
  uint64_t now = 1;
  auto put = [&](EventKind kind, uint32_t code) {
    record(q, q.id(), HOT, now++, pack_word(static_cast<uint8_t>(kind), code));
  };
  for (uint32_t r = 0; r < rounds; ++r) {
    put(EventKind::Start, 1);
    put(EventKind::Start, 2);
    put(EventKind::Start, 3);
    put(EventKind::Return, 2);  // 3's end was missed
    put(EventKind::Return, 9);  // began before the trace
    if (r % 100 == 0) {
      const uint64_t payload[] = {r, 7};
      record_user(q, q.id(), HOT, now++, EventKind::Counter, payload);
    }
    put(EventKind::Return, 1);
  }
}

std::vector<Event> run_mixed(std::shared_ptr<Spool> spool, bool check_deferred) {
  PipelineRun run;
  run.queue = EventQueue::create(Clock::nanos(0), /*lossless=*/true);
  run.options.spool = std::move(spool);
  run.start();
  constexpr uint32_t kRounds = 40'000;
  record_mixed(*run.queue, 4, kRounds);
  EXPECT_EQ(flush_every_thread(), 0u);
  if (check_deferred) {
    // Every batch has been taken from the rings, and none of it is written.
    while (run.queue->counts().recorded < kRounds * 6 + kRounds / 100) std::this_thread::yield();
    std::lock_guard lock(run.log->mu);
    EXPECT_EQ(run.log->batches, 0);
  }
  run.stop();
  EXPECT_TRUE(run.result.ok());
  EXPECT_EQ(run.log->dropped, 0u);
  return run.log->events;
}

bool same_events(const std::vector<Event>& a, const std::vector<Event>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const Event& x, const Event& y) {
           return x.ts == y.ts && x.tid == y.tid && x.word == y.word;
         });
}

// A spool that holds 16 batches' bytes in memory, in 4 chunks, and the
// rest in `fd`.
std::shared_ptr<Spool> small_spool(int fd) {
  return std::make_shared<Spool>(fd, 16 * sizeof(EventBatch), 4 * sizeof(EventBatch));
}

TEST(Pipeline, ASpooledRunWritesAtTheEndWhatAStreamedOneWrites) {
  std::vector<Event> streamed = run_mixed(nullptr, false);
  // The repaired ends are there: 3 ends with an unwind before 2 returns.
  ASSERT_GE(streamed.size(), 5u);
  EXPECT_EQ(streamed[3].word, pack_word(static_cast<uint8_t>(EventKind::Unwind), 3));

  Result<std::shared_ptr<Spool>> in_memory = Spool::create(::testing::TempDir());
  ASSERT_TRUE(in_memory.ok());
  EXPECT_TRUE(same_events(run_mixed(in_memory.value(), true), streamed));
  // Past what memory holds, the file takes the rest, which comes back after.
  const int fd = ::open(::testing::TempDir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(same_events(run_mixed(small_spool(fd), true), streamed));
}

// A full disk while spooling: what the spool holds is written first, the
// rest as it comes, and nothing is lost.
TEST(Pipeline, ASpoolThatFillsUpHandsOverToTheStreamedWay) {
  std::vector<Event> streamed = run_mixed(nullptr, false);
  auto full = small_spool(::open("/dev/full", O_RDWR | O_CLOEXEC));
  std::vector<Event> spooled = run_mixed(full, false);
  EXPECT_TRUE(full->failed());
  EXPECT_TRUE(same_events(spooled, streamed));
}

}  // namespace
}  // namespace morvex::core
