// The subset of the Perfetto trace schema (perfetto.protos) that morvex
// writes, as plain records, and their encoder.
//
// The schema is proto2: every singular field is a std::optional, and a field
// that holds a value is written even when the value is zero. Repeated scalars
// are written unpacked, one tag per element, as Perfetto's own writers do.
// Fields go out in a fixed order (ascending field number, except that a
// packet's data choice, field 11 or 60, takes the place of 11), so equal
// records always encode to equal bytes.
//
// The exporter writes per-event packets by hand with the tag constants below;
// only descriptor, interning and end-of-run packets go through the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace morvex::proto::pb {

// A 64-bit varint takes at most 10 bytes: 64 bits in groups of 7.
inline constexpr size_t kMaxVarintLen = 10;

inline uint8_t* write_varint(uint64_t value, uint8_t* out) {
  while (value >= 0x80) {
    *out++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<uint8_t>(value);
  return out;
}

inline size_t varint_len(uint64_t value) {
  // Bits needed (at least 1), rounded up to groups of 7.
  unsigned bits = 64 - static_cast<unsigned>(__builtin_clzll(value | 1));
  return (bits + 6) / 7;
}

// int32 fields are sign-extended before encoding: a negative value becomes a
// 10-byte varint, which is what every protobuf reader expects.
inline uint64_t int32_wire(int32_t value) {
  return static_cast<uint64_t>(static_cast<int64_t>(value));
}

// The encoded bytes of one varint, for callers that splice varints into their
// own buffers.
class Varint {
 public:
  explicit Varint(uint64_t value)
      : len_(static_cast<uint8_t>(write_varint(value, bytes_) - bytes_)) {}

  std::span<const uint8_t> as_slice() const { return {bytes_, len_}; }
  size_t size() const { return len_; }

 private:
  uint8_t bytes_[kMaxVarintLen];
  uint8_t len_;
};

// Tag bytes: (field number << 3) | wire type. Fields 16 and up need two.
namespace tag {
inline constexpr uint8_t kTracePacket = 0x0A;    // Trace.packet, field 1, bytes
inline constexpr uint8_t kTimestamp = 0x40;      // TracePacket.timestamp, 8
inline constexpr uint8_t kSequenceId = 0x50;     // TracePacket.trusted_packet_sequence_id, 10
inline constexpr uint8_t kTrackEvent = 0x5A;     // TracePacket.track_event, 11
inline constexpr uint8_t kSequenceFlags = 0x68;  // TracePacket.sequence_flags, 13
inline constexpr uint8_t kCategoryIid = 0x18;    // TrackEvent.category_iids, 3
inline constexpr uint8_t kEventType = 0x48;      // TrackEvent.type, 9
inline constexpr uint8_t kNameIid = 0x50;        // TrackEvent.name_iid, 10
inline constexpr uint8_t kTrackUuid = 0x58;      // TrackEvent.track_uuid, 11
}  // namespace tag

// TrackEvent.type
inline constexpr int32_t kTypeSliceBegin = 1;
inline constexpr int32_t kTypeSliceEnd = 2;
inline constexpr int32_t kTypeInstant = 3;
inline constexpr int32_t kTypeCounter = 4;

// TracePacket.sequence_flags
inline constexpr uint32_t kSeqIncrementalStateCleared = 1;
inline constexpr uint32_t kSeqNeedsIncrementalState = 2;

// Also serves as the published EventName, which has the same two fields.
struct EventCategory {
  std::optional<uint64_t> iid;
  std::optional<std::string> name;
};

struct InternedData {
  std::vector<EventCategory> event_categories;
  std::vector<EventCategory> event_names;
};

struct TrackEventDefaults {
  std::optional<uint64_t> track_uuid;
};

struct TracePacketDefaults {
  std::optional<TrackEventDefaults> track_event_defaults;
};

struct ProcessDescriptor {
  std::optional<int32_t> pid;
  std::optional<std::string> process_name;
};

struct ThreadDescriptor {
  std::optional<int32_t> pid;
  std::optional<int32_t> tid;
  std::optional<std::string> thread_name;
};

// A counter track's description; morvex sets none of its fields.
struct CounterDescriptor {};

struct TrackDescriptor {
  std::optional<uint64_t> uuid;
  std::optional<std::string> name;
  std::optional<ProcessDescriptor> process;
  std::optional<ThreadDescriptor> thread;
  std::optional<uint64_t> parent_uuid;
  std::optional<CounterDescriptor> counter;
};

// A named value attached to an event; no value at all stands for None.
struct DebugAnnotation {
  using Value = std::variant<std::monostate, bool, int64_t, double, std::string>;
  std::optional<std::string> name;
  Value value;
};

struct TrackEvent {
  std::vector<uint64_t> category_iids;
  std::vector<DebugAnnotation> debug_annotations;
  std::optional<int32_t> type;
  std::optional<uint64_t> name_iid;
  std::optional<uint64_t> track_uuid;
  std::vector<std::string> categories;
  std::optional<std::string> name;
  std::optional<int64_t> counter_value;
  std::optional<double> double_counter_value;
};

// trace_packet::Data: neither, a track event, or a track descriptor.
using PacketData = std::variant<std::monostate, TrackEvent, TrackDescriptor>;

struct TracePacket {
  std::optional<uint64_t> timestamp;
  std::optional<uint32_t> trusted_packet_sequence_id;
  PacketData data;
  std::optional<InternedData> interned_data;
  std::optional<uint32_t> sequence_flags;
  std::optional<TracePacketDefaults> trace_packet_defaults;
};

// Encoded length of a message's fields, without its own tag and length.
size_t encoded_len(const EventCategory& m);
size_t encoded_len(const InternedData& m);
size_t encoded_len(const TrackEventDefaults& m);
size_t encoded_len(const TracePacketDefaults& m);
size_t encoded_len(const ProcessDescriptor& m);
size_t encoded_len(const ThreadDescriptor& m);
size_t encoded_len(const CounterDescriptor& m);
size_t encoded_len(const TrackDescriptor& m);
size_t encoded_len(const DebugAnnotation& m);
size_t encoded_len(const TrackEvent& m);
size_t encoded_len(const TracePacket& m);

// Appends a message's fields to out (no tag, no length of its own). For a
// TracePacket that is the packet payload; framing it as Trace.packet is the
// caller's business.
void encode(const EventCategory& m, std::vector<uint8_t>& out);
void encode(const InternedData& m, std::vector<uint8_t>& out);
void encode(const TrackEventDefaults& m, std::vector<uint8_t>& out);
void encode(const TracePacketDefaults& m, std::vector<uint8_t>& out);
void encode(const ProcessDescriptor& m, std::vector<uint8_t>& out);
void encode(const ThreadDescriptor& m, std::vector<uint8_t>& out);
void encode(const CounterDescriptor& m, std::vector<uint8_t>& out);
void encode(const TrackDescriptor& m, std::vector<uint8_t>& out);
void encode(const DebugAnnotation& m, std::vector<uint8_t>& out);
void encode(const TrackEvent& m, std::vector<uint8_t>& out);
void encode(const TracePacket& m, std::vector<uint8_t>& out);

}  // namespace morvex::proto::pb
