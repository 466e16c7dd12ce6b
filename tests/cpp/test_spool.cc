#include "core/spool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace morvex::core {
namespace {

std::unique_ptr<EventBatch> numbered_batch(uint32_t i) {
  auto b = std::make_unique<EventBatch>(1000 + i, i);
  b->len = 1 + (i * 37) % EventBatch::kCapacity;
  b->payload = i % 3 == 0 ? 1 : 0;
  for (uint32_t k = 0; k < b->len; ++k) b->events[k] = PackedEvent{i * 7 + k, i ^ k};
  return b;
}

// Memory (two chunks), then the file, then what still sits in the buffer:
// every batch comes back whole, in the order it was kept.
TEST(Spool, HandsBackEveryBatchInOrderWhereverItWasKept) {
  const int fd = ::open(::testing::TempDir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  Spool spool(fd, 6 * sizeof(EventBatch), 3 * sizeof(EventBatch));
  constexpr uint32_t kBatches = 400;  // some 1.6 MiB: past one buffer of the file
  uint64_t events = 0;
  for (uint32_t i = 0; i < kBatches; ++i) {
    auto b = numbered_batch(i);
    ASSERT_TRUE(spool.append(*b));
    events += b->event_count();
  }
  EXPECT_EQ(spool.events(), events);
  uint32_t next = 0;
  Status st = spool.drain([&](const EventBatch& got) {
    auto want = numbered_batch(next++);
    ASSERT_EQ(got.base, want->base);
    ASSERT_EQ(got.tid, want->tid);
    ASSERT_EQ(got.len, want->len);
    ASSERT_EQ(got.payload, want->payload);
    for (uint32_t k = 0; k < got.len; ++k) {
      ASSERT_EQ(got.events[k].delta, want->events[k].delta);
      ASSERT_EQ(got.events[k].word, want->events[k].word);
    }
  });
  ASSERT_TRUE(st.ok()) << st.error().text();
  EXPECT_EQ(next, kBatches);
  EXPECT_EQ(spool.events(), 0u);
  // Drained, it is empty, and takes batches again.
  auto b = numbered_batch(7);
  ASSERT_TRUE(spool.append(*b));
  next = 0;
  ASSERT_TRUE(spool
                  .drain([&](const EventBatch& got) {
                    EXPECT_EQ(got.tid, 7u);
                    ++next;
                  })
                  .ok());
  EXPECT_EQ(next, 1u);
}

TEST(Spool, ADiskThatIsFullRefusesTheBatchAndKeepsWhatItHad) {
  Spool spool(::open("/dev/full", O_RDWR | O_CLOEXEC), 0);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < 400 && spool.append(*numbered_batch(i)); ++i) ++kept;
  EXPECT_TRUE(spool.failed());
  EXPECT_LT(kept, 400u);
  EXPECT_FALSE(spool.append(*numbered_batch(0)));  // nothing after a refusal
  uint32_t next = 0;
  ASSERT_TRUE(spool.drain([&](const EventBatch& got) { EXPECT_EQ(got.tid, next++); }).ok());
  EXPECT_EQ(next, kept);
}

}  // namespace
}  // namespace morvex::core
