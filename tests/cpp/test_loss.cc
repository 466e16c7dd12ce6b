#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/evqueue.h"
#include "core/loss.h"
#include "core/slices.h"
#include "core/user_event.h"

namespace morvex::core {
namespace {

constexpr uint8_t kStart = 1, kReturn = 2, kYield = 3, kResume = 4;

std::unique_ptr<EventBatch> batch_of(const std::vector<uint32_t>& words) {
  auto b = std::make_unique<EventBatch>(100, 1);
  for (uint32_t w : words) b->events[b->len++] = PackedEvent{0, w};
  return b;
}

std::string frames(const uint32_t* words, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (!s.empty()) s += ',';
    s += std::string(1, "?SRYMU"[word_kind(words[i])]) + std::to_string(word_code_id(words[i]));
  }
  return s;
}

std::string summary(const LossSummary& l) {
  if (l.unknown) return "?";
  return frames(l.ends, l.n_ends) + "|" + frames(l.begins, l.n_begins);
}

TEST(LossSummary, KeepsTheNetEffectOfDiscardedBatchesOnTheStack) {
  const std::pair<std::vector<std::vector<uint32_t>>, const char*> cases[] = {
      // What begins and ends within the gap cancels out.
      {{{pack_word(kStart, 1), pack_word(kReturn, 1)}}, "|"},
      // Ends of frames from before the gap, then begins still open after.
      {{{pack_word(kReturn, 4), pack_word(kReturn, 3), pack_word(kStart, 3),
         pack_word(kStart, 4)}},
       "R4,R3|S3,S4"},
      // Across batches: the second one's ends close the first one's begins.
      {{{pack_word(kReturn, 4), pack_word(kStart, 5)}, {pack_word(kYield, 5), pack_word(kReturn, 2)}},
       "R4,R2|"},
      // A generator's resume begins a frame as a start does.
      {{{pack_word(kResume, 6)}}, "|M6"},
      // An end that closes frames above its own (their ends were missed).
      {{{pack_word(kStart, 1), pack_word(kStart, 2), pack_word(kReturn, 1)}}, "|"},
      // An end matching no begin while begins are open: whether it closes
      // them depends on a stack the thread does not see.
      {{{pack_word(kStart, 1), pack_word(kReturn, 9)}}, "?"},
      // A span's begin or end is matched by name: not kept.
      {{{pack_word(uint8_t(EventKind::SpanBegin), 0)}}, "?"},
  };
  for (const auto& [batches, want] : cases) {
    LossSummary l;
    uint64_t events = 0;
    for (const auto& words : batches) {
      l.add(*batch_of(words));
      events += words.size();
    }
    EXPECT_EQ(summary(l), want) << want;
    EXPECT_EQ(l.events, events);
  }
}

// A task step's edge in the gap is neither a frame (its task number is no
// code id) nor an event, and leaves the nesting unknown.
TEST(LossSummary, ATaskStepsEdgeIsNoFrameAndNoEvent) {
  for (auto kind : {EventKind::TaskStep, EventKind::TaskStepEnd}) {
    LossSummary l;
    auto b = batch_of({pack_word(kStart, 1), pack_word(uint8_t(kind), 3), pack_word(kStart, 4)});
    b->payload = 1;  // as the recorder counts an edge
    l.add(*b);
    EXPECT_EQ(summary(l), "?");
    EXPECT_EQ(l.events, 2u);
  }
}

TEST(LossSummary, MarkersAreSkippedAndTooManyFramesMakeItUnknown) {
  LossSummary l;
  auto b = batch_of({});
  // An instant with two payload records that look like frames, then a begin.
  b->events[b->len++] = PackedEvent{0, pack_word(uint8_t(EventKind::Instant), 2)};
  b->events[b->len++] = PackedEvent{0, pack_word(kStart, 7)};
  b->events[b->len++] = PackedEvent{0, pack_word(kStart, 8)};
  b->payload = 2;
  b->events[b->len++] = PackedEvent{0, pack_word(kStart, 1)};
  l.add(*b);
  EXPECT_EQ(summary(l), "|S1");
  EXPECT_EQ(l.events, 2u);
  std::vector<uint32_t> deep;
  for (uint32_t i = 0; i < LossSummary::kMaxFrames; ++i) deep.push_back(pack_word(kStart, i));
  l.add(*batch_of(deep));
  EXPECT_EQ(summary(l), "?");

  // What fits travels whole: written, decoded, the same frames.
  LossSummary full;
  for (uint32_t i = 0; i < LossSummary::kMaxFrames; ++i) {
    full.ends[full.n_ends++] = pack_word(kReturn, i);
    full.begins[full.n_begins++] = pack_word(kStart, 100 + i);
  }
  full.events = 5;
  full.first_raw = 77;
  PackedEvent records[LossSummary::kMaxRecords];
  ASSERT_EQ(full.write(records), LossSummary::kMaxRecords);
  std::vector<Event> unit{{200, 1, records[0].word}};
  for (size_t r = 1; r < LossSummary::kMaxRecords; ++r) {
    uint64_t raw;
    std::memcpy(&raw, &records[r], sizeof raw);
    unit.push_back({raw, 1, 0});
  }
  uint32_t words[2 * LossSummary::kMaxFrames];
  DecodedLoss d;
  ASSERT_TRUE(decode_loss(unit, d, words));
  EXPECT_EQ(d.events, 5u);
  EXPECT_EQ(d.start_ns, 77u);
  ASSERT_EQ(d.ends.size(), LossSummary::kMaxFrames);
  ASSERT_EQ(d.begins.size(), LossSummary::kMaxFrames);
  EXPECT_EQ(d.ends.back(), pack_word(kReturn, LossSummary::kMaxFrames - 1));
  EXPECT_EQ(d.begins.front(), pack_word(kStart, 100));
  // A cut or inconsistent payload is refused, never read past its end.
  unit.pop_back();
  EXPECT_FALSE(decode_loss(unit, d, words));
}

// A random program on one thread, recorded through the real queue with a
// consumer that falls far behind now and then, so whole batches are lost:
// what the nesting repair writes is well nested, and every slice lies within
// one real call of its function (none is longer than it ran).
TEST(LossSummary, ARunThatDropsStaysWellNestedAndNoSliceOutlastsItsCall) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    auto q = EventQueue::create(Clock::nanos(0));
    SliceShaper shaper;
    std::vector<Event> raw, out;
    auto drain = [&] {
      raw.clear();
      while (q->drain_nonblocking(raw, EventQueue::kDrainLimit) != 0) {
      }
      shaper.process(raw, out);
    };
    // The truth: every call of every function, [begin, end].
    std::map<uint32_t, std::vector<std::pair<uint64_t, uint64_t>>> calls;
    std::vector<std::pair<uint32_t, uint64_t>> stack;
    HOT.tid = 1;
    uint64_t now = 1;
    // Shallow, with a hot pair and some depth, like real programs.
    const uint32_t kEvents = 1'500'000;
    uint64_t next_drain = 1000;
    for (uint32_t i = 0; i < kEvents; ++i, ++now) {
      const bool push = stack.empty() || (stack.size() < 12 && rng() % 2 == 0);
      if (push) {
        uint32_t code = 1 + rng() % 6;
        stack.push_back({code, now});
        record(*q, q->id(), HOT, now, pack_word(rng() % 4 == 0 ? kResume : kStart, code));
      } else {
        auto [code, began] = stack.back();
        stack.pop_back();
        calls[code].push_back({began, now});
        record(*q, q->id(), HOT, now, pack_word(rng() % 4 == 0 ? kYield : kReturn, code));
      }
      if (now == next_drain) {
        drain();
        // Sometimes far behind (a full ring loses batches), mostly not.
        next_drain = now + (rng() % 3 == 0 ? 70'000 + rng() % 200'000 : 1 + rng() % 30'000);
      }
    }
    for (auto [code, began] : stack) calls[code].push_back({began, UINT64_MAX});
    for (auto& [code, list] : calls) std::sort(list.begin(), list.end());
    EXPECT_EQ(flush_every_thread(), 0u);
    drain();
    ASSERT_GT(q->dropped(), 0u) << "the schedule is meant to lose batches";

    uint64_t gaps = 0, told = 0;
    std::vector<std::pair<uint32_t, uint64_t>> open;  // code (UINT32_MAX: a span), begin
    std::string buf;
    for (size_t i = 0; i < out.size(); ++i) {
      const Event& e = out[i];
      if (is_user_kind(e.kind())) {
        UserPayload p;
        ASSERT_TRUE(decode_payload(payload_bytes(out, i, buf), p));
        ASSERT_EQ(p.name, kLostEventsName);
        if (e.kind() == uint8_t(EventKind::SpanBegin)) {
          open.push_back({UINT32_MAX, e.ts});
          ++gaps;
          told += p.args.at(0).value.i;
        } else {
          ASSERT_FALSE(open.empty());
          ASSERT_EQ(open.back().first, UINT32_MAX) << "seed " << seed << " at " << i;
          open.pop_back();
        }
        i += payload_records(out, i);
        continue;
      }
      if (!ends_slice(e.kind())) {
        open.push_back({e.code_id(), e.ts});
        continue;
      }
      ASSERT_FALSE(open.empty()) << "an end with nothing open, seed " << seed << " at " << i;
      auto [code, began] = open.back();
      ASSERT_EQ(code, e.code_id()) << "an end that is not the innermost's, seed " << seed;
      open.pop_back();
      // Calls of the function that began by then, latest first: the slice's
      // own is usually the first, after a gap one that began within it.
      const auto& mine = calls[code];
      auto it = std::upper_bound(mine.begin(), mine.end(), std::pair{began, UINT64_MAX});
      bool within = false;
      while (!within && it != mine.begin()) within = (--it)->second >= e.ts;
      ASSERT_TRUE(within) << "function " << code << " drawn " << began << ".." << e.ts
                          << " longer than any of its calls, seed " << seed;
    }
    EXPECT_GT(gaps, 0u);
    EXPECT_EQ(told, q->dropped()) << "every lost event is told where it was lost";
  }
}

}  // namespace
}  // namespace morvex::core
