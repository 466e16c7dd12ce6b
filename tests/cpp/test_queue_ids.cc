// Its own executable: the id counter is process-wide, so this must be the
// first code in the process to create queues.
#include <gtest/gtest.h>

#include "core/evqueue.h"

namespace morvex::core {
namespace {

TEST(QueueIds, SuccessiveQueuesAreNumberedFromOne) {
  auto a = EventQueue::create(Clock::nanos(0));
  auto b = EventQueue::create(Clock::nanos(0));
  auto c = EventQueue::create(Clock::nanos(0));
  EXPECT_EQ(a->id(), 1u);
  EXPECT_EQ(b->id(), 2u);
  EXPECT_EQ(c->id(), 3u);
}

}  // namespace
}  // namespace morvex::core
