#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/evqueue.h"
#include "core/loss.h"
#include "core/recorder.h"
#include "core/user_event.h"

namespace morvex::core {
namespace {

using Type = UserValue::Type;

std::vector<uint64_t> payload(std::string_view name, int args = 0) {
  PayloadWriter w(name);
  for (int i = 0; i < args; ++i) w.add("k" + std::to_string(i), {Type::Int, i});
  return *w.words();
}

std::vector<Event> drain_all(EventQueue& q) {
  std::vector<Event> out;
  while (q.drain_nonblocking(out, EventQueue::kDrainLimit) != 0) {
  }
  return out;
}

TEST(UserPayload, RoundTripsEveryValueType) {
  PayloadWriter w("load \"config\"");
  w.add("path", {Type::Str, 0, 0, "/etc/\xc3\xa9t\xc3\xa9"});
  w.add("n", {Type::Int, -(int64_t{1} << 62)});
  w.add("ratio", {Type::Double, 0, -0.125});
  w.add("nan", {Type::Double, 0, std::nan("")});
  w.add("ok", {Type::Bool, 1});
  w.add("", {Type::None});
  std::vector<uint64_t> words = *w.words();
  std::string_view bytes(reinterpret_cast<const char*>(words.data()), words.size() * 8);
  UserPayload p;
  ASSERT_TRUE(decode_payload(bytes, p));
  EXPECT_EQ(p.name, "load \"config\"");
  ASSERT_EQ(p.args.size(), 6u);
  EXPECT_EQ(p.args[0].key, "path");
  EXPECT_EQ(p.args[0].value.s, "/etc/\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(p.args[1].value.i, -(int64_t{1} << 62));
  EXPECT_EQ(p.args[2].value.d, -0.125);
  EXPECT_TRUE(std::isnan(p.args[3].value.d));
  EXPECT_EQ(p.args[4].value.type, Type::Bool);
  EXPECT_EQ(p.args[4].value.i, 1);
  EXPECT_EQ(p.args[5].value.type, Type::None);
  EXPECT_EQ(p.args[5].key, "");
}

TEST(UserPayload, RefusesWhatDoesNotFitOneBatchAndMalformedBytes) {
  PayloadWriter big("x");
  big.add("s", {Type::Str, 0, 0, std::string(kMaxPayloadBytes, 'a')});
  EXPECT_TRUE(big.too_large());
  EXPECT_FALSE(big.words());
  PayloadWriter many("x");
  for (int i = 0; i < 300; ++i) many.add("k", {Type::None});
  EXPECT_FALSE(many.words()) << "at most 255 arguments";

  std::vector<uint64_t> words = payload("name", 3);
  std::string whole(reinterpret_cast<const char*>(words.data()), words.size() * 8);
  UserPayload p;
  // Every cut before the last argument's end is malformed, never a crash.
  size_t used = 2 + 4 + 1 + 3 * (2 + 2 + 1 + 8);
  for (size_t cut = 0; cut < used; ++cut)
    EXPECT_FALSE(decode_payload(std::string_view(whole).substr(0, cut), p)) << cut;
  std::string bad_type = whole;
  bad_type[2 + 4 + 1 + 2 + 2] = 9;
  EXPECT_FALSE(decode_payload(bad_type, p));
}

TEST(UserEvents, TravelWithTheThreadsOtherEventsAndNeverStraddleABatch) {
  auto q = EventQueue::create(Clock::nanos(0));
  HOT.tid = 3;
  std::vector<uint64_t> p = payload("span", 20);  // a few dozen records
  ASSERT_GT(p.size(), 20u);
  uint64_t now = 10;
  // Fill a batch up to a few records short of its end, then a user event
  // that cannot fit there.
  for (uint32_t i = 0; i < EventBatch::kCapacity - 5; ++i)
    record(*q, q->id(), HOT, now++, pack_word(1, i));
  record_user(*q, q->id(), HOT, now++, EventKind::SpanBegin, p);
  record(*q, q->id(), HOT, now++, pack_word(2, 7));
  EXPECT_EQ(flush_every_thread(), 0u);
  std::vector<Event> ev = drain_all(*q);
  ASSERT_EQ(ev.size(), EventBatch::kCapacity - 5 + 1 + p.size() + 1);
  size_t at = EventBatch::kCapacity - 5;
  EXPECT_EQ(ev[at].kind(), uint8_t(EventKind::SpanBegin));
  EXPECT_EQ(ev[at].ts, 10u + at);
  EXPECT_EQ(payload_records(ev, at), p.size());
  std::string buf;
  UserPayload decoded;
  ASSERT_TRUE(decode_payload(payload_bytes(ev, at, buf), decoded));
  EXPECT_EQ(decoded.name, "span");
  EXPECT_EQ(decoded.args.size(), 20u);
  EXPECT_EQ(ev.back().kind(), 2);
  EXPECT_EQ(ev.back().ts, 10u + at + 1);
}

TEST(UserEvents, ALostBatchCountsEventsNotPayloadRecords) {
  auto q = EventQueue::create(Clock::nanos(0));
  HOT.tid = 4;
  std::vector<uint64_t> p = payload("i", 4);
  uint64_t now = 1;
  // 63 batches fill the ring but its spare slot; then a batch of user events
  // only is refused.
  for (uint32_t i = 0; i < 63 * EventBatch::kCapacity; ++i)
    record(*q, q->id(), HOT, now++, pack_word(1, i));
  uint64_t events = 0;
  while (q->dropped() == 0) {
    record_user(*q, q->id(), HOT, now++, EventKind::Instant, p);
    ++events;
  }
  // The event that found the ring full begins the next batch, after the
  // Lost record that says as much as the count.
  EXPECT_EQ(q->dropped(), events - 1);
  EXPECT_EQ(flush_every_thread(), 0u) << "the last batch takes the spare slot";
  std::vector<Event> ev = drain_all(*q);
  const size_t at = 63 * EventBatch::kCapacity;
  ASSERT_GT(ev.size(), at + 4);
  ASSERT_EQ(ev[at].kind(), uint8_t(EventKind::Lost));
  uint32_t words[2 * LossSummary::kMaxFrames];
  DecodedLoss loss;
  ASSERT_TRUE(decode_loss(std::span(ev).subspan(at, 4), loss, words));
  EXPECT_EQ(loss.events, events - 1);
  EXPECT_FALSE(loss.unknown) << "markers leave the nesting alone";
  EXPECT_EQ(ev[at + 4].kind(), uint8_t(EventKind::Instant));
}

}  // namespace
}  // namespace morvex::core
