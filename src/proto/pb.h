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
// Field numbers and wire types come from format/perfetto.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "format/perfetto.h"
#include "format/wire.h"

namespace morvex::proto::pb {

using format::int32_wire;
using format::kMaxVarintLen;
using format::Varint;
using format::varint_len;
using format::write_time_varint;
using format::write_varint;

// The one-byte tags of the fields the exporter lays out by hand.
namespace tag {
inline constexpr uint8_t kTracePacket = format::tag_byte(format::trace::kPacket);
inline constexpr uint8_t kTimestamp = format::tag_byte(format::packet::kTimestamp);
inline constexpr uint8_t kSequenceId = format::tag_byte(format::packet::kSequenceId);
inline constexpr uint8_t kTrackEvent = format::tag_byte(format::packet::kTrackEvent);
inline constexpr uint8_t kSequenceFlags = format::tag_byte(format::packet::kSequenceFlags);
inline constexpr uint8_t kCategoryIid = format::tag_byte(format::track_event::kCategoryIids);
inline constexpr uint8_t kEventType = format::tag_byte(format::track_event::kType);
inline constexpr uint8_t kNameIid = format::tag_byte(format::track_event::kNameIid);
inline constexpr uint8_t kTrackUuid = format::tag_byte(format::track_event::kTrackUuid);
// source_location_iid, field 34, takes two bytes.
inline constexpr format::Tag kSourceLocationIid =
    format::make_tag(format::track_event::kSourceLocationIid);
}  // namespace tag

using format::track_event::kTypeCounter;
using format::track_event::kTypeInstant;
using format::track_event::kTypeSliceBegin;
using format::track_event::kTypeSliceEnd;

inline constexpr uint32_t kSeqIncrementalStateCleared = format::packet::kIncrementalStateCleared;
inline constexpr uint32_t kSeqNeedsIncrementalState = format::packet::kNeedsIncrementalState;

// Also serves as the published EventName, which has the same two fields.
struct EventCategory {
  std::optional<uint64_t> iid;
  std::optional<std::string> name;
};

// Where a function is: the UI shows it beside each slice that names it.
struct SourceLocation {
  std::optional<uint64_t> iid;
  std::optional<std::string> file_name;
  std::optional<std::string> function_name;
  std::optional<uint32_t> line_number;
};

struct InternedData {
  std::vector<EventCategory> event_categories;
  std::vector<EventCategory> event_names;
  std::vector<SourceLocation> source_locations;
};

struct TrackEventDefaults {
  std::optional<uint64_t> track_uuid;
};

struct TracePacketDefaults {
  std::optional<TrackEventDefaults> track_event_defaults;
  std::optional<uint32_t> timestamp_clock_id;
};

struct ProcessDescriptor {
  std::optional<int32_t> pid;
  std::optional<std::string> process_name;
  std::vector<std::string> process_labels;
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
  std::optional<uint32_t> timestamp_clock_id;
};

// Encoded length of a message's fields, without its own tag and length,
// for callers that size a buffer first; encode() needs none of it.
size_t encoded_len(const EventCategory& m);
size_t encoded_len(const SourceLocation& m);
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
void encode(const SourceLocation& m, std::vector<uint8_t>& out);
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
