// The trace format's vocabulary: varints at the group boundaries, the tag
// bytes of every Perfetto field either side uses, zigzag, the dropped-events
// name both ways, and JSON text; bytes as tables of hex strings.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fakes.h"
#include "format/json_text.h"
#include "format/perfetto.h"
#include "format/records.h"
#include "format/wire.h"

namespace morvex::format {
namespace {

using test::hex;

// ---- varints ----

struct VarintCase {
  uint64_t value;
  const char* hex;
};

// Either side of every 7-bit group boundary, and the ends of the range.
const VarintCase kVarints[] = {
    {0, "00"},
    {1, "01"},
    {127, "7f"},
    {128, "80 01"},
    {16383, "ff 7f"},
    {16384, "80 80 01"},
    {(uint64_t{1} << 21) - 1, "ff ff 7f"},
    {uint64_t{1} << 21, "80 80 80 01"},
    {(uint64_t{1} << 28) - 1, "ff ff ff 7f"},
    {uint64_t{1} << 28, "80 80 80 80 01"},
    {(uint64_t{1} << 35) - 1, "ff ff ff ff 7f"},
    {uint64_t{1} << 35, "80 80 80 80 80 01"},
    {(uint64_t{1} << 42) - 1, "ff ff ff ff ff 7f"},
    {uint64_t{1} << 42, "80 80 80 80 80 80 01"},
    {(uint64_t{1} << 49) - 1, "ff ff ff ff ff ff 7f"},
    {uint64_t{1} << 49, "80 80 80 80 80 80 80 01"},
    {(uint64_t{1} << 56) - 1, "ff ff ff ff ff ff ff 7f"},
    {uint64_t{1} << 56, "80 80 80 80 80 80 80 80 01"},
    {(uint64_t{1} << 63) - 1, "ff ff ff ff ff ff ff ff 7f"},
    {uint64_t{1} << 63, "80 80 80 80 80 80 80 80 80 01"},
    {std::numeric_limits<uint64_t>::max(), "ff ff ff ff ff ff ff ff ff 01"},
};

TEST(FormatVarint, WritesAndReadsBackAtTheGroupBoundaries) {
  for (const auto& c : kVarints) {
    SCOPED_TRACE(c.hex);
    uint8_t buf[kMaxVarintLen + 1];
    std::memset(buf, 0xEE, sizeof buf);
    const uint8_t* end = write_varint(c.value, buf);
    const auto len = static_cast<size_t>(end - buf);
    EXPECT_EQ(hex({buf, len}), c.hex);
    EXPECT_EQ(varint_len(c.value), len);
    EXPECT_EQ(Varint(c.value).size(), len);
    EXPECT_EQ(buf[kMaxVarintLen], 0xEE);  // guard byte untouched

    uint64_t back = 0;
    EXPECT_EQ(read_varint(buf, end, back), end);
    EXPECT_EQ(back, c.value);
    // One byte short is a varint cut off, not a smaller number.
    EXPECT_EQ(read_varint(buf, end - 1, back), nullptr);
  }
}

TEST(FormatVarint, ReadRejectsWhatIsNoVarint) {
  struct {
    std::vector<uint8_t> bytes;
    const char* why;
  } const cases[] = {
      {{}, "nothing there"},
      {{0x80}, "cut off after a continuation"},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, "longer than 10 bytes"},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}, "10 continuations"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    uint64_t v = 0;
    EXPECT_EQ(read_varint(c.bytes.data(), c.bytes.data() + c.bytes.size(), v), nullptr);
  }
}

TEST(FormatVarint, Int32IsSignExtendedAndZigzagKeepsSmallNegativesShort) {
  struct {
    int32_t value;
    const char* hex;
  } const ints[] = {
      {0, "00"},
      {1, "01"},
      {std::numeric_limits<int32_t>::max(), "ff ff ff ff 07"},
      {-1, "ff ff ff ff ff ff ff ff ff 01"},
      {std::numeric_limits<int32_t>::min(), "80 80 80 80 f8 ff ff ff ff 01"},
  };
  for (const auto& c : ints) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(hex(Varint(int32_wire(c.value)).as_slice()), c.hex);
  }

  struct {
    int64_t value;
    uint64_t wire;
  } const zigzags[] = {
      {0, 0},
      {-1, 1},
      {1, 2},
      {-2, 3},
      {std::numeric_limits<int32_t>::max(), 4294967294u},
      {std::numeric_limits<int32_t>::min(), 4294967295u},
      {std::numeric_limits<int64_t>::max(), std::numeric_limits<uint64_t>::max() - 1},
      {std::numeric_limits<int64_t>::min(), std::numeric_limits<uint64_t>::max()},
  };
  for (const auto& c : zigzags) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(zigzag_encode(c.value), c.wire);
    EXPECT_EQ(zigzag_decode(c.wire), c.value);
  }
}

// ---- Perfetto fields ----

// Every field the writer or the reader names, against the tag bytes
// perfetto.protos gives it: a wrong number or wire type shows here.
TEST(FormatPerfetto, EveryFieldHasItsTagBytes) {
  struct {
    const char* name;
    Field field;
    const char* hex;
  } const cases[] = {
      {"Trace.packet", trace::kPacket, "0a"},
      {"TracePacket.timestamp", packet::kTimestamp, "40"},
      {"TracePacket.trusted_packet_sequence_id", packet::kSequenceId, "50"},
      {"TracePacket.track_event", packet::kTrackEvent, "5a"},
      {"TracePacket.interned_data", packet::kInternedData, "62"},
      {"TracePacket.sequence_flags", packet::kSequenceFlags, "68"},
      {"TracePacket.trace_packet_defaults", packet::kDefaults, "da 03"},
      {"TracePacket.track_descriptor", packet::kTrackDescriptor, "e2 03"},
      {"TrackEvent.category_iids", track_event::kCategoryIids, "18"},
      {"TrackEvent.debug_annotations", track_event::kDebugAnnotations, "22"},
      {"TrackEvent.type", track_event::kType, "48"},
      {"TrackEvent.name_iid", track_event::kNameIid, "50"},
      {"TrackEvent.track_uuid", track_event::kTrackUuid, "58"},
      {"TrackEvent.categories", track_event::kCategories, "b2 01"},
      {"TrackEvent.name", track_event::kName, "ba 01"},
      {"TrackEvent.counter_value", track_event::kCounterValue, "f0 01"},
      {"TrackEvent.double_counter_value", track_event::kDoubleCounterValue, "e1 02"},
      {"DebugAnnotation.bool_value", debug_annotation::kBoolValue, "10"},
      {"DebugAnnotation.uint_value", debug_annotation::kUintValue, "18"},
      {"DebugAnnotation.int_value", debug_annotation::kIntValue, "20"},
      {"DebugAnnotation.double_value", debug_annotation::kDoubleValue, "29"},
      {"DebugAnnotation.string_value", debug_annotation::kStringValue, "32"},
      {"DebugAnnotation.name", debug_annotation::kName, "52"},
      {"TrackDescriptor.uuid", track_descriptor::kUuid, "08"},
      {"TrackDescriptor.name", track_descriptor::kName, "12"},
      {"TrackDescriptor.process", track_descriptor::kProcess, "1a"},
      {"TrackDescriptor.thread", track_descriptor::kThread, "22"},
      {"TrackDescriptor.parent_uuid", track_descriptor::kParentUuid, "28"},
      {"TrackDescriptor.counter", track_descriptor::kCounter, "42"},
      {"ProcessDescriptor.pid", process_descriptor::kPid, "08"},
      {"ProcessDescriptor.process_name", process_descriptor::kProcessName, "32"},
      {"ThreadDescriptor.pid", thread_descriptor::kPid, "08"},
      {"ThreadDescriptor.tid", thread_descriptor::kTid, "10"},
      {"ThreadDescriptor.thread_name", thread_descriptor::kThreadName, "2a"},
      {"InternedData.event_categories", interned_data::kEventCategories, "0a"},
      {"InternedData.event_names", interned_data::kEventNames, "12"},
      {"EventName.iid", interned_string::kIid, "08"},
      {"EventName.name", interned_string::kName, "12"},
      {"TracePacketDefaults.track_event_defaults", packet_defaults::kTrackEventDefaults, "5a"},
      {"TrackEventDefaults.track_uuid", track_event_defaults::kTrackUuid, "58"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // make_tag is compile-time only; its bytes are those of key()'s varint.
    EXPECT_EQ(hex(Varint(key(c.field)).as_slice()), c.hex);
  }
  // The compile-time forms agree with the run-time ones.
  constexpr Tag defaults = make_tag(packet::kDefaults);
  static_assert(defaults.len == 2 && defaults.bytes[0] == 0xDA && defaults.bytes[1] == 0x03);
  static_assert(tag_byte(packet::kTimestamp) == key(packet::kTimestamp));
}

// ---- morvex's own records ----

TEST(FormatRecords, DroppedNameReadsBackItsCount) {
  struct {
    uint64_t count;
    const char* name;
  } const cases[] = {
      {0, "morvex: 0 events dropped"},
      {1, "morvex: 1 events dropped"},
      {17, "morvex: 17 events dropped"},
      {12288, "morvex: 12288 events dropped"},
      {std::numeric_limits<uint64_t>::max(), "morvex: 18446744073709551615 events dropped"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dropped_name(c.count), c.name);
    EXPECT_EQ(parse_dropped_name(c.name), c.count);
  }
}

TEST(FormatRecords, ParseDroppedNameRefusesOtherText) {
  const char* const cases[] = {
      "",
      "morvex: ",
      "morvex: events dropped",
      "morvex:  events dropped",
      "morvex:  1 events dropped",
      "morvex: 1  events dropped",
      "morvex: -1 events dropped",
      "morvex: +1 events dropped",
      "morvex: 1x events dropped",
      "morvex: 0x10 events dropped",
      "morvex: 1 events dropped ",
      "morvex: 1 event dropped",
      "morvex: 18446744073709551616 events dropped",  // 2^64
      "Morvex: 1 events dropped",
      "1 events dropped",
      "morvex: 1",
      "morvex: filters",
      "morvex: events lost",
  };
  for (const char* name : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(parse_dropped_name(name), std::nullopt);
  }
}

// ---- JSON text ----

TEST(FormatJsonText, PushStringEscapesWhatJsonRequires) {
  struct {
    std::string in;
    std::string out;
  } const cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x0b\x1a", R"("\u000b\u001a")"},
      {"\x7f", "\"\x7f\""},
      {" ~/", R"(" ~/")"},
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
      {"\xff\xfe", "\"\xff\xfe\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    std::string out = "x";  // appends after what is there
    push_json_string(out, c.in);
    EXPECT_EQ(out, "x" + c.out);
  }
}

TEST(FormatJsonText, PushU64WritesPlainDecimal) {
  struct {
    uint64_t in;
    const char* out;
  } const cases[] = {
      {0, "0"},
      {7, "7"},
      {10, "10"},
      {99, "99"},
      {100, "100"},
      {1000, "1000"},
      {4242, "4242"},
      {123456789, "123456789"},
      {4294967295u, "4294967295"},
      {10000000000000000000u, "10000000000000000000"},
      {std::numeric_limits<uint64_t>::max(), "18446744073709551615"},
  };
  for (const auto& c : cases) {
    std::string out;
    push_u64(out, c.in);
    EXPECT_EQ(out, c.out);
  }
}

TEST(FormatJsonText, PushMicrosAlwaysHasThreeDecimals) {
  struct {
    uint64_t in;
    const char* out;
  } const cases[] = {
      {0, "0.000"},
      {5, "0.005"},
      {50, "0.050"},
      {999, "0.999"},
      {1000, "1.000"},
      {1500, "1.500"},
      {1000000, "1000.000"},
      {1234567, "1234.567"},
      {123456789, "123456.789"},
      {std::numeric_limits<uint64_t>::max(), "18446744073709551.615"},
  };
  for (const auto& c : cases) {
    std::string out;
    push_micros(out, c.in);
    EXPECT_EQ(out, c.out);
  }
}

TEST(FormatJsonText, WritersStayWithinTheRoomTheyAskFor) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  char buf[kMaxMicros + 1];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(write_u64(kMax, buf), buf + kMaxU64Digits);  // 20 digits exactly
  EXPECT_EQ(buf[kMaxU64Digits], '#');
  std::memset(buf, '#', sizeof buf);
  char* end = write_micros(kMax, buf);
  EXPECT_EQ(std::string(buf, end), "18446744073709551.615");
  EXPECT_LE(end, buf + kMaxMicros);
  EXPECT_EQ(*end, '#');
}

}  // namespace
}  // namespace morvex::format
