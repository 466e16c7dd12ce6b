#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/event.h"
#include "core/evqueue.h"

namespace morvex::core {
namespace {

TEST(PackedWord, KindAndCodeIdRoundTrip) {
  EXPECT_EQ(pack_word(6, 0xABCDEF), 0x6ABCDEFu);
  EXPECT_EQ(word_kind(0x6ABCDEF), 6);
  EXPECT_EQ(word_code_id(0x6ABCDEF), 0xABCDEFu);
  // An oversized id is masked and never disturbs the kind bits.
  EXPECT_EQ(pack_word(2, 0x1FFFFFF), 0x2FFFFFFu);
  EXPECT_EQ(pack_word(255, 0), 0xFF000000u);
}

TEST(Clock, DirectCounterConvertsWithFullPrecision) {
  Clock c = Clock::direct(24'000'000, 5'000);
  EXPECT_TRUE(c.is_direct());
  EXPECT_EQ(c.nanos_since_start(5'000 + 24'000'000), 1'000'000'000u);
  EXPECT_EQ(c.nanos_since_start(5'000), 0u);
  EXPECT_EQ(c.nanos_since_start(5'001), 41u);  // 1e9 / 24e6 truncated
  // Before the start (counter skew) gives 0, not a wrapped value.
  EXPECT_EQ(c.nanos_since_start(4'999), 0u);
  // A product far beyond 64 bits still converts: ten years of a 3 GHz counter.
  Clock fast = Clock::direct(3'000'000'000, 0);
  uint64_t ten_years = 3'000'000'000ull * 86400 * 3650;
  EXPECT_EQ(fast.nanos_since_start(ten_years), 1'000'000'000ull * 86400 * 3650);
}

TEST(Divider, MatchesHardwareDivision) {
  std::mt19937_64 rng(11);
  std::vector<uint64_t> divisors = {1,
                                    2,
                                    3,
                                    7,
                                    10,
                                    1'000'000'000,
                                    24'000'000,
                                    2'596'146'000,
                                    (1ull << 32) + 1,
                                    (1ull << 63) - 1,
                                    1ull << 63,
                                    UINT64_MAX};
  for (int i = 0; i < 200; i++) divisors.push_back(rng() >> (rng() % 64));
  for (uint64_t d : divisors) {
    if (d == 0) continue;
    Divider div(d);
    std::vector<uint64_t> numerators = {
        0, 1, d - 1, d, d + 1, UINT64_MAX, UINT64_MAX - 1, UINT64_MAX / 2, 2 * (d - 1)};
    for (int i = 0; i < 500; i++) numerators.push_back(rng() >> (rng() % 64));
    for (uint64_t n : numerators) ASSERT_EQ(div(n), n / d) << n << " / " << d;
  }
}

TEST(Clock, FallbackCountsNanoseconds) {
  Clock c = Clock::nanos(1'000);
  EXPECT_FALSE(c.is_direct());
  EXPECT_EQ(c.nanos_since_start(1'000), 0u);
  EXPECT_EQ(c.nanos_since_start(999), 0u);
  EXPECT_EQ(c.nanos_since_start(2'500), 1'500u);
}

TEST(Clock, BatchDecoderMatchesPerRecordConversion) {
  std::mt19937_64 rng(7);
  for (uint64_t freq : {24'000'000ull, 1'000'000'000ull, 2'596'146'000ull, 3'999'999'999ull}) {
    for (int round = 0; round < 200; round++) {
      uint64_t start = rng() >> 8;
      uint64_t base = start + (rng() >> 20);
      Clock c = Clock::direct(freq, start);
      Clock::BatchDecoder d = c.decoder(base);
      for (uint32_t delta : {0u, 1u, 12345u, 0x7FFFFFFFu, 0xFFFFFFFFu, uint32_t(rng())})
        ASSERT_EQ(d(delta), c.nanos_since_start(base + delta)) << freq << " " << delta;
    }
  }
  Clock n = Clock::nanos(100);
  EXPECT_EQ(n.decoder(150)(7), 57u);
}

TEST(Clock, StartingNowIsMonotonicAndRoughlyNanoseconds) {
  Clock c = Clock::starting_now();
  uint64_t a = c.raw();
  uint64_t m0 = monotonic_nanos();
  while (monotonic_nanos() - m0 < 2'000'000) {
  }
  uint64_t b = c.raw();
  ASSERT_GE(b, a);
  uint64_t elapsed = c.nanos_since_start(b) - c.nanos_since_start(a);
  // Two milliseconds of busy wait, with generous room for a preempted VM.
  EXPECT_GE(elapsed, 1'900'000u);
  EXPECT_LT(elapsed, 200'000'000u);
#if defined(__x86_64__) || defined(__aarch64__)
  EXPECT_EQ(c.is_direct(), counter_frequency() != 0);
#endif
}

// The clock this machine gives a run: the direct counter where there is one
// (on AArch64 always), CLOCK_MONOTONIC nanoseconds otherwise.
uint64_t ticks_per_second(const Clock& c) {
  return c.is_direct() ? c.frequency() : 1'000'000'000u;
}

TEST(RealClock, ReadsNeverGoBackAndAdvanceOverASleep) {
  Clock c = Clock::starting_now();
  uint64_t prev = c.raw();
  ASSERT_GE(prev, c.start());
  for (int i = 0; i < 200'000; i++) {
    uint64_t now = c.raw();
    ASSERT_GE(now, prev) << "read " << i;
    prev = now;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GT(c.raw(), prev);
}

// A counter reading between two CLOCK_MONOTONIC readings.
struct Bracketed {
  uint64_t raw, mono_before, mono_after;
};

Bracketed read_bracketed(const Clock& c) {
  uint64_t before = monotonic_nanos();
  uint64_t raw = c.raw();
  return {raw, before, monotonic_nanos()};
}

TEST(RealClock, ElapsedTimeOverASleepAgreesWithMonotonic) {
  Clock c = Clock::starting_now();
  Bracketed a = read_bracketed(c);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Bracketed b = read_bracketed(c);
  double elapsed = double(c.nanos_since_start(b.raw) - c.nanos_since_start(a.raw));
  // 1% for a frequency that is reported or calibrated rather than exact, and
  // 100 us for a coarse counter (qemu-user derives CNTVCT_EL0 from
  // gettimeofday).
  EXPECT_GE(elapsed, double(b.mono_before - a.mono_after) * 0.99 - 100'000);
  EXPECT_LE(elapsed, double(b.mono_after - a.mono_before) * 1.01 + 100'000);
}

TEST(RealClock, DecodesExactlyAtTheRealFrequency) {
  Clock c = Clock::starting_now();
  uint64_t second = ticks_per_second(c);
  ASSERT_NE(second, 0u);
  EXPECT_EQ(c.nanos_since_start(c.start() + second), 1'000'000'000u);
  EXPECT_EQ(c.nanos_since_start(c.start() + 86'400 * second), 86'400'000'000'000u);
  if (second <= UINT32_MAX) {
    EXPECT_EQ(c.decoder(c.start())(uint32_t(second)), 1'000'000'000u);
  }

  std::mt19937_64 rng(5);
  for (int round = 0; round < 100; round++) {
    // Batches anywhere in the first day of a run.
    uint64_t base = c.start() + rng() % (86'400 * second);
    Clock::BatchDecoder d = c.decoder(base);
    std::vector<uint32_t> deltas = {0, 1, UINT32_MAX};
    for (int i = 0; i < 1'000; i++) deltas.push_back(uint32_t(rng()) >> (rng() % 32));
    for (uint32_t delta : deltas)
      ASSERT_EQ(d(delta), c.nanos_since_start(base + delta))
          << second << " " << base << " " << delta;
  }
}

#if defined(__aarch64__)

// The registers read here rather than through clock.h, so that the clock
// reading the wrong one shows. The ISBs keep each read in program order.
uint64_t read_cntfrq_el0() {
  uint64_t f;
  asm volatile("isb; mrs %0, cntfrq_el0; isb" : "=r"(f));
  return f;
}

uint64_t read_cntvct_el0() {
  uint64_t v;
  asm volatile("isb; mrs %0, cntvct_el0; isb" : "=r"(v));
  return v;
}

TEST(Aarch64Clock, UsesTheGenericTimerDirectly) {
  uint64_t freq = read_cntfrq_el0();
  ASSERT_NE(freq, 0u) << "CNTFRQ_EL0 reads 0";
  EXPECT_EQ(counter_frequency(), freq);
  Clock c = Clock::starting_now();
  EXPECT_TRUE(c.is_direct());
  EXPECT_EQ(c.frequency(), freq);

  uint64_t before = read_cntvct_el0();
  uint64_t counter = read_counter();
  uint64_t raw = c.raw();
  uint64_t after = read_cntvct_el0();
  EXPECT_LE(before, counter);
  EXPECT_LE(counter, raw);
  EXPECT_LE(raw, after);
}

#endif

// Decoding a batch as the serializer does it.
std::vector<Event> decode(const EventBatch& b, const Clock& c) {
  std::vector<Event> out;
  decode_into(b, c, out);
  return out;
}

TEST(Decode, FirstRecordIsTheBaseAndWordsSurvive) {
  Clock c = Clock::direct(24'000'000, 1'000);
  EventBatch b(1'000 + 24'000'000, 77);
  b.events[0] = {0, pack_word(1, 5)};
  b.events[1] = {24'000'000, pack_word(6, 0xABCDEF)};
  b.len = 2;
  std::vector<Event> ev = decode(b, c);
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].ts, 1'000'000'000u);
  EXPECT_EQ(ev[0].tid, 77u);
  EXPECT_EQ(ev[0].kind(), 1);
  EXPECT_EQ(ev[0].code_id(), 5u);
  EXPECT_EQ(ev[1].ts, 2'000'000'000u);
  EXPECT_EQ(ev[1].word, 0x6ABCDEFu);
}

TEST(Decode, BaseBeforeStartClampsOnlyEarlyRecords) {
  Clock c = Clock::nanos(1'000);
  EventBatch b(900, 1);
  b.events[0] = {0, 1};
  b.events[1] = {100, 2};
  b.events[2] = {150, 3};
  b.len = 3;
  std::vector<Event> ev = decode(b, c);
  EXPECT_EQ(ev[0].ts, 0u);
  EXPECT_EQ(ev[1].ts, 0u);
  EXPECT_EQ(ev[2].ts, 50u);
}

}  // namespace
}  // namespace morvex::core
