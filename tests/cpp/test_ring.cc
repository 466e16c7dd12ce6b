#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <type_traits>

#include "core/ring.h"

namespace morvex::core {
namespace {

struct Item {
  explicit Item(int v) : value(v) { ++alive; }
  ~Item() { --alive; }
  int value;
  static inline std::atomic<int> alive{0};
};

using Ring4 = SpscRing<Item, 4>;

// Each end is one thread's: a copy would be a second producer or consumer.
static_assert(!std::is_copy_constructible_v<Ring4::Consumer> &&
              !std::is_copy_assignable_v<Ring4::Consumer>);
static_assert(!std::is_copy_constructible_v<Ring4::Producer> &&
              !std::is_copy_assignable_v<Ring4::Producer>);
static_assert(std::is_nothrow_move_constructible_v<Ring4::Consumer> &&
              std::is_nothrow_move_assignable_v<Ring4::Consumer>);

TEST(Ring, FullAndEmptyAcrossWrapAround) {
  auto [p, c] = Ring4::make();
  int next_in = 0, next_out = 0;
  // Enough rounds for the indices to wrap several times over 0..7.
  for (int round = 0; round < 10; round++) {
    for (int i = 0; i < 4; i++) {
      auto item = std::make_unique<Item>(next_in);
      ASSERT_TRUE(p.try_push(item));
      ASSERT_EQ(item, nullptr);
      next_in++;
    }
    auto extra = std::make_unique<Item>(-1);
    ASSERT_FALSE(p.try_push(extra)) << "round " << round;
    ASSERT_NE(extra, nullptr) << "a refused item stays with the caller";
    // Partial drain, so head and tail meet at every offset.
    int take = 1 + round % 4;
    for (int i = 0; i < take; i++) {
      auto got = c.try_pop();
      ASSERT_NE(got, nullptr);
      ASSERT_EQ(got->value, next_out++);
    }
    for (int i = take; i < 4; i++) ASSERT_EQ(c.try_pop()->value, next_out++);
    ASSERT_EQ(c.try_pop(), nullptr);
  }
  EXPECT_EQ(Item::alive, 0);
}

TEST(Ring, QueuedItemsAreFreedWithTheLastEnd) {
  {
    auto [p, c] = Ring4::make();
    for (int i = 0; i < 3; i++) {
      auto item = std::make_unique<Item>(i);
      ASSERT_TRUE(p.try_push(item));
    }
    (void)c.try_pop();
    auto keep_producer = std::move(p);
    {
      auto drop_consumer = std::move(c);
    }
    EXPECT_EQ(Item::alive, 2) << "storage lives while one end does";
  }
  EXPECT_EQ(Item::alive, 0);
}

TEST(Ring, ProducerAndConsumerThreadsKeepOrder) {
  using Ring = SpscRing<Item, 64>;
  auto [p, c] = Ring::make();
  constexpr int kCount = 200'000;
  std::thread producer([&p] {
    for (int i = 0; i < kCount; i++) {
      auto item = std::make_unique<Item>(i);
      while (!p.try_push(item)) std::this_thread::yield();
    }
  });
  int expected = 0;
  while (expected < kCount) {
    if (auto item = c.try_pop()) {
      ASSERT_EQ(item->value, expected);
      expected++;
    } else {
      std::this_thread::yield();
    }
  }
  producer.join();
  EXPECT_EQ(c.try_pop(), nullptr);
}

}  // namespace
}  // namespace morvex::core
