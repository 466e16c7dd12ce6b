// Encoding of the Perfetto message records: presence, field order, tag
// bytes, varints and nested lengths, as tables of hex strings.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "fakes.h"
#include "proto/pb.h"

namespace morvex::proto {
namespace {

using test::hex;

struct VarintCase {
  uint64_t value;
  const char* hex;
};

TEST(ProtoVarint, EncodesSevenBitGroupsLowFirst) {
  const VarintCase cases[] = {
      {0, "00"},
      {1, "01"},
      {127, "7f"},
      {128, "80 01"},
      {300, "ac 02"},
      {16383, "ff 7f"},
      {16384, "80 80 01"},
      {uint64_t{1} << 32, "80 80 80 80 10"},
      {uint64_t{1} << 56, "80 80 80 80 80 80 80 80 01"},
      {std::numeric_limits<uint64_t>::max(), "ff ff ff ff ff ff ff ff ff 01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    pb::Varint v(c.value);
    EXPECT_EQ(hex(v.as_slice()), c.hex);
    EXPECT_EQ(pb::varint_len(c.value), v.size());
    uint8_t buf[pb::kMaxVarintLen + 1] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                          0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t* end = pb::write_varint(c.value, buf);
    EXPECT_EQ(static_cast<size_t>(end - buf), v.size());
    EXPECT_EQ(buf[pb::kMaxVarintLen], 0xEE);  // guard byte untouched
  }
  // The times' writer: the same bytes on both sides of each length's bounds.
  for (unsigned bits = 0; bits < 64; ++bits) {
    for (int64_t d : {-1, 0, 1}) {
      const uint64_t value = (uint64_t{1} << bits) + static_cast<uint64_t>(d);
      SCOPED_TRACE(value);
      uint8_t want[pb::kMaxVarintLen], got[pb::kMaxVarintLen];
      const size_t n = static_cast<size_t>(pb::write_varint(value, want) - want);
      ASSERT_EQ(static_cast<size_t>(pb::write_time_varint(value, got) - got), n);
      EXPECT_EQ(std::memcmp(want, got, n), 0);
    }
  }
}

struct EncodeCase {
  const char* name;
  std::function<pb::TracePacket()> packet;
  const char* hex;
};

pb::TracePacket with_event(pb::TrackEvent e) {
  pb::TracePacket p;
  p.data = std::move(e);
  return p;
}
pb::TracePacket with_track(pb::TrackDescriptor t) {
  pb::TracePacket p;
  p.data = std::move(t);
  return p;
}

TEST(ProtoEncode, FieldsPresenceAndTags) {
  const EncodeCase cases[] = {
      {"nothing present", [] { return pb::TracePacket{}; }, ""},
      {"present zero timestamp", [] { return pb::TracePacket{.timestamp = 0}; }, "40 00"},
      {"present zero flags", [] { return pb::TracePacket{.sequence_flags = 0}; }, "68 00"},
      {"zero uuid in a descriptor, two-byte tag 60", [] { return with_track({.uuid = 0}); },
       "e2 03 02 08 00"},
      {"empty descriptor", [] { return with_track({}); }, "e2 03 00"},
      {"empty track event", [] { return with_event({}); }, "5a 00"},
      {"empty packet defaults, two-byte tag 59",
       [] { return pb::TracePacket{.trace_packet_defaults = pb::TracePacketDefaults{}}; },
       "da 03 00"},
      {"defaults holding an empty nested message",
       [] {
         return pb::TracePacket{.trace_packet_defaults = pb::TracePacketDefaults{
                                    .track_event_defaults = pb::TrackEventDefaults{}}};
       },
       "da 03 02 5a 00"},
      {"empty interned data", [] { return pb::TracePacket{.interned_data = pb::InternedData{}}; },
       "62 00"},
      {"repeated iids unpacked", [] { return with_event({.category_iids = {1, 300}}); },
       "5a 05 18 01 18 ac 02"},
      {"categories and name, tags 22 and 23",
       [] { return with_event({.categories = {"py", "dropped"}, .name = "x"}); },
       "5a 13 b2 01 02 70 79 b2 01 07 64 72 6f 70 70 65 64 ba 01 01 78"},
      {"empty strings are present", [] { return with_event({.categories = {""}, .name = ""}); },
       "5a 06 b2 01 00 ba 01 00"},
      {"track event fields in their written order",
       [] {
         return with_event({.category_iids = {1},
                            .type = 1,
                            .name_iid = 2,
                            .track_uuid = 3,
                            .categories = {"c"},
                            .name = "n"});
       },
       "5a 10 18 01 48 01 50 02 58 03 b2 01 01 63 ba 01 01 6e"},
      {"negative int32 tid is ten bytes",
       [] { return with_track({.thread = pb::ThreadDescriptor{.tid = -1}}); },
       "e2 03 0d 22 0b 10 ff ff ff ff ff ff ff ff ff 01"},
      {"tid 2^31 read as int32",
       [] {
         return with_track(
             {.thread = pb::ThreadDescriptor{.tid = std::numeric_limits<int32_t>::min()}});
       },
       "e2 03 0d 22 0b 10 80 80 80 80 f8 ff ff ff ff 01"},
      {"negative type", [] { return with_event({.type = -2}); },
       "5a 0b 48 fe ff ff ff ff ff ff ff ff 01"},
      {"process descriptor",
       [] { return with_track({.process = pb::ProcessDescriptor{.pid = 1, .process_name = "p"}}); },
       "e2 03 07 1a 05 08 01 32 01 70"},
      {"descriptor fields in order",
       [] {
         return with_track({.uuid = 1,
                            .name = "n",
                            .thread = pb::ThreadDescriptor{.pid = 2, .tid = 3, .thread_name = "t"},
                            .parent_uuid = 4});
       },
       "e2 03 10 08 01 12 01 6e 22 07 08 02 10 03 2a 01 74 28 04"},
      {"interned categories before names",
       [] {
         return pb::TracePacket{.interned_data =
                                    pb::InternedData{.event_categories = {{1, "py"}},
                                                     .event_names = {{2, "f"}, {3, std::nullopt}}}};
       },
       "62 13 0a 06 08 01 12 02 70 79 12 05 08 02 12 01 66 12 02 08 03"},
      {"packet fields in written order, data choice third",
       [] {
         pb::TracePacket p{.timestamp = 5,
                           .trusted_packet_sequence_id = 6,
                           .interned_data = pb::InternedData{},
                           .sequence_flags = 2,
                           .trace_packet_defaults = pb::TracePacketDefaults{}};
         p.data = pb::TrackEvent{.type = 3};
         return p;
       },
       "40 05 50 06 5a 02 48 03 62 00 68 02 da 03 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pb::TracePacket packet = c.packet();
    std::vector<uint8_t> out = {0xAB};  // encoding appends after what is there
    pb::encode(packet, out);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(hex(std::span(out).subspan(1)), c.hex);
    EXPECT_EQ(pb::encoded_len(packet), out.size() - 1);
  }
}

TEST(ProtoEncode, LongPayloadsTakeMultiByteLengths) {
  pb::TracePacket p = with_event({.name = std::string(200, 'x')});
  std::vector<uint8_t> out;
  pb::encode(p, out);
  // Event: ba 01 c8 01 + 200 bytes = 204 bytes, itself length cc 01.
  ASSERT_EQ(out.size(), 1u + 2u + 204u);
  EXPECT_EQ(hex(std::span(out).first(6)), "5a cc 01 ba 01 c8");
  EXPECT_EQ(pb::encoded_len(p), out.size());
}

// Either side of the sizes where a length takes one more byte, in the event
// and in the packet around it: the nested length is written after its
// message, and the message moved up to make room.
TEST(ProtoEncode, NestedLengthsAtTheVarintBoundaries) {
  for (size_t n : {124u, 125u, 126u, 127u, 128u, 16378u, 16379u, 16383u, 16384u, 2097152u}) {
    SCOPED_TRACE(n);
    pb::TracePacket p = with_event({.name = std::string(n, 'x')});
    std::vector<uint8_t> out;
    pb::encode(p, out);
    const size_t event_len = 2 + pb::varint_len(n) + n;  // ba 01, length, name
    const std::string head =
        "5a " + hex(pb::Varint(event_len).as_slice()) + " ba 01 " + hex(pb::Varint(n).as_slice());
    const size_t head_len = 1 + pb::varint_len(event_len) + 2 + pb::varint_len(n);
    ASSERT_EQ(out.size(), head_len + n);
    EXPECT_EQ(hex(std::span(out).first(head_len)), head);
    EXPECT_EQ(std::string(out.begin() + static_cast<ptrdiff_t>(head_len), out.end()),
              std::string(n, 'x'));
    EXPECT_EQ(pb::encoded_len(p), out.size());
  }
}

}  // namespace
}  // namespace morvex::proto
