#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/flatmap.h"

namespace morvex::core {
namespace {

TEST(FlatMap, EmptyMapFindsNothing) {
  FlatMap<uint32_t, int> m;
  EXPECT_EQ(m.size(), 0u);
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.capacity(), 0u);
  EXPECT_EQ(m.find(0), nullptr);
  EXPECT_EQ(m.find(std::numeric_limits<uint32_t>::max()), nullptr);
  EXPECT_FALSE(m.contains(7));
}

// Zero and the largest key are ordinary keys, although the largest one also
// marks empty slots inside the table.
template <class K>
void check_edge_keys() {
  const K max = std::numeric_limits<K>::max();
  FlatMap<K, int> m;
  EXPECT_EQ(m.find(max), nullptr);
  EXPECT_TRUE(m.insert(max, 1));
  EXPECT_TRUE(m.insert(0, 2));
  EXPECT_TRUE(m.insert(max - 1, 3));
  EXPECT_FALSE(m.insert(max, 9));
  EXPECT_EQ(m.size(), 3u);
  ASSERT_NE(m.find(max), nullptr);
  EXPECT_EQ(*m.find(max), 1);
  EXPECT_EQ(*m.find(0), 2);
  EXPECT_EQ(*m.find(max - 1), 3);
  EXPECT_EQ(m.find(1), nullptr);

  std::map<K, int> seen;
  m.for_each([&](K k, int& v) { seen[k] = v; });
  EXPECT_EQ(seen, (std::map<K, int>{{0, 2}, {max - 1, 3}, {max, 1}}));
}

TEST(FlatMap, ZeroAndLargestKeysAreOrdinaryU32) { check_edge_keys<uint32_t>(); }
TEST(FlatMap, ZeroAndLargestKeysAreOrdinaryU64) { check_edge_keys<uint64_t>(); }

TEST(FlatMap, TryEmplaceKeepsTheFirstValue) {
  FlatMap<uint64_t, std::string> m;
  auto [a, inserted_a] = m.try_emplace(42, "first");
  EXPECT_TRUE(inserted_a);
  EXPECT_EQ(*a, "first");
  auto [b, inserted_b] = m.try_emplace(42, "second");
  EXPECT_FALSE(inserted_b);
  EXPECT_EQ(b, m.find(42));
  EXPECT_EQ(*b, "first");
  EXPECT_FALSE(m.insert(42, "third"));
  EXPECT_EQ(*m.find(42), "first");
  EXPECT_EQ(m.size(), 1u);
}

// Key patterns the writers and the interner produce: dense small ids,
// thread ids shifted into the high half, fragment keys, aligned addresses,
// and random values. Each checked against std::map across many growths,
// with several seeds.
struct KeyPattern {
  const char* name;
  uint64_t (*key)(uint64_t i, std::mt19937_64& rng);
};

const KeyPattern kPatterns[] = {
    {"dense", [](uint64_t i, std::mt19937_64&) -> uint64_t { return i; }},
    {"high_half", [](uint64_t i, std::mt19937_64&) -> uint64_t { return i << 32; }},
    {"fragment",
     [](uint64_t i, std::mt19937_64&) -> uint64_t { return ((i % 7) << 32) | ((i / 7) << 1) | 1; }},
    {"aligned_addresses",
     [](uint64_t i, std::mt19937_64&) -> uint64_t { return 0x7f0000000000ull + i * 64; }},
    {"random", [](uint64_t, std::mt19937_64& rng) -> uint64_t { return rng(); }},
};

TEST(FlatMap, AgreesWithStdMapOnManyKeys) {
  for (const KeyPattern& pattern : kPatterns) {
    for (uint64_t seed : {uint64_t{0}, uint64_t{1}, uint64_t{0xdeadbeefcafef00dull}}) {
      SCOPED_TRACE(std::string(pattern.name) + " seed " + std::to_string(seed));
      std::mt19937_64 rng(seed + 17);
      FlatMap<uint64_t, uint64_t> m(seed);
      std::map<uint64_t, uint64_t> model;
      for (uint64_t i = 0; i < 20000; ++i) {
        uint64_t k = pattern.key(i, rng);
        bool inserted = m.insert(k, i);
        EXPECT_EQ(inserted, model.emplace(k, i).second);
      }
      ASSERT_EQ(m.size(), model.size());
      // Load stays at or below one half, so misses end quickly.
      EXPECT_GE(m.capacity(), 2 * m.size());
      for (const auto& [k, v] : model) {
        const uint64_t* found = m.find(k);
        ASSERT_NE(found, nullptr) << k;
        EXPECT_EQ(*found, v);
      }
      // Keys next to present ones are absent.
      size_t false_hits = 0;
      for (const auto& [k, v] : model) {
        if (!model.count(k + 2) && m.find(k + 2) != nullptr) ++false_hits;
      }
      EXPECT_EQ(false_hits, 0u);
      size_t visited = 0;
      m.for_each([&](uint64_t k, uint64_t& v) {
        ++visited;
        EXPECT_EQ(model.at(k), v);
      });
      EXPECT_EQ(visited, model.size());
    }
  }
}

// Inserts and erases mixed, on small tables where probe runs wrap around the
// end: every erase must leave every other key findable.
TEST(FlatMap, EraseKeepsEveryOtherKeyFindable) {
  for (const KeyPattern& pattern : kPatterns) {
    SCOPED_TRACE(pattern.name);
    std::mt19937_64 rng(99);
    FlatMap<uint64_t, uint64_t> m(7);
    std::map<uint64_t, uint64_t> model;
    std::vector<uint64_t> keys;
    for (uint64_t i = 0; i < 60; ++i) keys.push_back(pattern.key(i, rng));
    keys.push_back(~uint64_t{0});  // the key kept beside the table
    for (int step = 0; step < 20000; ++step) {
      uint64_t k = keys[rng() % keys.size()];
      if (rng() % 2 == 0) {
        EXPECT_EQ(m.insert(k, step), model.emplace(k, step).second);
      } else {
        EXPECT_EQ(m.erase(k), model.erase(k) == 1);
      }
      if (step % 97 == 0) {
        ASSERT_EQ(m.size(), model.size());
        for (uint64_t key : keys) {
          const uint64_t* found = m.find(key);
          auto it = model.find(key);
          ASSERT_EQ(found != nullptr, it != model.end()) << key << " at step " << step;
          if (found != nullptr) {
            ASSERT_EQ(*found, it->second);
          }
        }
      }
    }
  }
}

TEST(FlatMap, U32KeysAgreeWithStdMap) {
  std::mt19937 rng(5);
  FlatMap<uint32_t, uint32_t> m(random_seed());
  std::map<uint32_t, uint32_t> model;
  for (uint32_t i = 0; i < 5000; ++i) {
    uint32_t k = (i % 3 == 0) ? i : static_cast<uint32_t>(rng());
    m.try_emplace(k, i);
    model.emplace(k, i);
  }
  ASSERT_EQ(m.size(), model.size());
  for (const auto& [k, v] : model) {
    ASSERT_NE(m.find(k), nullptr);
    EXPECT_EQ(*m.find(k), v);
  }
}

TEST(FlatMap, ReserveAvoidsGrowthAndKeepsPointers) {
  FlatMap<uint32_t, uint32_t> m;
  m.reserve(1000);
  const size_t capacity = m.capacity();
  EXPECT_GE(capacity, 2000u);
  m.insert(0, 100);
  const uint32_t* first = m.find(0);
  for (uint32_t i = 1; i < 1000; ++i) m.insert(i, i + 100);
  EXPECT_EQ(m.capacity(), capacity);
  EXPECT_EQ(m.find(0), first);
  EXPECT_EQ(*first, 100u);
  // Reserving less than is there changes nothing.
  m.reserve(10);
  EXPECT_EQ(m.capacity(), capacity);
}

TEST(FlatMap, ValuesSurviveGrowth) {
  FlatMap<uint32_t, std::string> m;
  for (uint32_t i = 0; i < 3000; ++i)
    m.try_emplace(i, std::string(40, static_cast<char>('a' + i % 26)));
  for (uint32_t i = 0; i < 3000; ++i) {
    ASSERT_NE(m.find(i), nullptr);
    EXPECT_EQ(*m.find(i), std::string(40, static_cast<char>('a' + i % 26)));
  }
}

TEST(FlatMap, MoveLeavesAnEmptyUsableSource) {
  FlatMap<uint64_t, int> a(123);
  for (int i = 0; i < 100; ++i) a.insert(static_cast<uint64_t>(i) * 3, i);
  a.insert(std::numeric_limits<uint64_t>::max(), -1);

  FlatMap<uint64_t, int> b(std::move(a));
  EXPECT_EQ(b.size(), 101u);
  EXPECT_EQ(*b.find(297), 99);
  EXPECT_EQ(*b.find(std::numeric_limits<uint64_t>::max()), -1);
  EXPECT_EQ(b.seed(), 123u);

  EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): checked on purpose
  EXPECT_EQ(a.find(3), nullptr);
  EXPECT_EQ(a.find(std::numeric_limits<uint64_t>::max()), nullptr);
  a.insert(5, 5);
  EXPECT_EQ(a.size(), 1u);
  EXPECT_EQ(*a.find(5), 5);

  FlatMap<uint64_t, int> c;
  c.insert(1, 1);
  c = std::move(b);
  EXPECT_EQ(c.size(), 101u);
  EXPECT_EQ(c.find(1), nullptr);
  EXPECT_EQ(*c.find(3), 1);
}

TEST(FlatMap, RandomSeedsDiffer) {
  std::set<uint64_t> seeds;
  for (int i = 0; i < 8; ++i) seeds.insert(random_seed());
  EXPECT_GT(seeds.size(), 1u);
}

}  // namespace
}  // namespace morvex::core
