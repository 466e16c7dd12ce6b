#include "proto/pb.h"

#include <cstring>
#include <string_view>

namespace morvex::proto::pb {

namespace {

enum WireType : uint8_t { kVarint = 0, kFixed64 = 1, kBytes = 2 };

struct Tag {
  uint8_t bytes[2];
  uint8_t len;
};

// Every field number used here is below 2^11, so a tag fits in two bytes.
constexpr Tag make_tag(uint32_t field, WireType type) {
  uint32_t v = (field << 3) | type;
  if (v < 0x80) return {{static_cast<uint8_t>(v), 0}, 1};
  return {{static_cast<uint8_t>(v | 0x80), static_cast<uint8_t>(v >> 7)}, 2};
}

// TracePacket
constexpr Tag kPacketTimestamp = make_tag(8, kVarint);
constexpr Tag kPacketSequenceId = make_tag(10, kVarint);
constexpr Tag kPacketTrackEvent = make_tag(11, kBytes);
constexpr Tag kPacketInternedData = make_tag(12, kBytes);
constexpr Tag kPacketSequenceFlags = make_tag(13, kVarint);
constexpr Tag kPacketDefaults = make_tag(59, kBytes);
constexpr Tag kPacketTrackDescriptor = make_tag(60, kBytes);
// TrackEvent
constexpr Tag kEventCategoryIids = make_tag(3, kVarint);
constexpr Tag kEventDebugAnnotations = make_tag(4, kBytes);
constexpr Tag kEventType = make_tag(9, kVarint);
constexpr Tag kEventNameIid = make_tag(10, kVarint);
constexpr Tag kEventTrackUuid = make_tag(11, kVarint);
constexpr Tag kEventCategories = make_tag(22, kBytes);
constexpr Tag kEventName = make_tag(23, kBytes);
constexpr Tag kEventCounterValue = make_tag(30, kVarint);
constexpr Tag kEventDoubleCounterValue = make_tag(44, kFixed64);
// DebugAnnotation
constexpr Tag kAnnotationBool = make_tag(2, kVarint);
constexpr Tag kAnnotationInt = make_tag(4, kVarint);
constexpr Tag kAnnotationDouble = make_tag(5, kFixed64);
constexpr Tag kAnnotationString = make_tag(6, kBytes);
constexpr Tag kAnnotationName = make_tag(10, kBytes);
// TrackDescriptor
constexpr Tag kTrackUuid = make_tag(1, kVarint);
constexpr Tag kTrackName = make_tag(2, kBytes);
constexpr Tag kTrackProcess = make_tag(3, kBytes);
constexpr Tag kTrackThread = make_tag(4, kBytes);
constexpr Tag kTrackParentUuid = make_tag(5, kVarint);
constexpr Tag kTrackCounter = make_tag(8, kBytes);
// ProcessDescriptor, ThreadDescriptor
constexpr Tag kPid = make_tag(1, kVarint);
constexpr Tag kTid = make_tag(2, kVarint);
constexpr Tag kProcessName = make_tag(6, kBytes);
constexpr Tag kThreadName = make_tag(5, kBytes);
// InternedData, EventCategory
constexpr Tag kInternedCategories = make_tag(1, kBytes);
constexpr Tag kInternedNames = make_tag(2, kBytes);
constexpr Tag kCategoryIid = make_tag(1, kVarint);
constexpr Tag kCategoryName = make_tag(2, kBytes);
// TracePacketDefaults, TrackEventDefaults
constexpr Tag kDefaultsTrackEvent = make_tag(11, kBytes);
constexpr Tag kDefaultsTrackUuid = make_tag(11, kVarint);

static_assert(kPacketDefaults.len == 2 && kPacketDefaults.bytes[0] == 0xDA &&
              kPacketDefaults.bytes[1] == 0x03);
static_assert(kPacketTrackDescriptor.len == 2 && kPacketTrackDescriptor.bytes[0] == 0xE2 &&
              kPacketTrackDescriptor.bytes[1] == 0x03);
static_assert(kEventCategories.bytes[0] == 0xB2 && kEventName.bytes[0] == 0xBA);
static_assert(kPacketTimestamp.bytes[0] == tag::kTimestamp &&
              kPacketSequenceId.bytes[0] == tag::kSequenceId &&
              kPacketTrackEvent.bytes[0] == tag::kTrackEvent &&
              kPacketSequenceFlags.bytes[0] == tag::kSequenceFlags &&
              kEventCategoryIids.bytes[0] == tag::kCategoryIid &&
              kEventType.bytes[0] == tag::kEventType && kEventNameIid.bytes[0] == tag::kNameIid &&
              kEventTrackUuid.bytes[0] == tag::kTrackUuid);

// ---- sizes ----

size_t varint_field_len(const Tag& t, uint64_t v) { return t.len + varint_len(v); }

size_t bytes_field_len(const Tag& t, size_t n) { return t.len + varint_len(n) + n; }

template <class T>
size_t opt_varint_len(const Tag& t, const std::optional<T>& v) {
  return v ? varint_field_len(t, static_cast<uint64_t>(*v)) : 0;
}

size_t opt_int32_len(const Tag& t, const std::optional<int32_t>& v) {
  return v ? varint_field_len(t, int32_wire(*v)) : 0;
}

size_t opt_string_len(const Tag& t, const std::optional<std::string>& v) {
  return v ? bytes_field_len(t, v->size()) : 0;
}

size_t opt_double_len(const Tag& t, const std::optional<double>& v) { return v ? t.len + 8 : 0; }

template <class M>
size_t opt_message_len(const Tag& t, const std::optional<M>& m) {
  return m ? bytes_field_len(t, encoded_len(*m)) : 0;
}

// ---- writers ----

void put_tag(const Tag& t, std::vector<uint8_t>& out) {
  out.insert(out.end(), t.bytes, t.bytes + t.len);
}

void put_varint(uint64_t v, std::vector<uint8_t>& out) {
  uint8_t buf[kMaxVarintLen];
  out.insert(out.end(), buf, write_varint(v, buf));
}

void put_varint_field(const Tag& t, uint64_t v, std::vector<uint8_t>& out) {
  put_tag(t, out);
  put_varint(v, out);
}

void put_bytes_field(const Tag& t, std::string_view s, std::vector<uint8_t>& out) {
  put_tag(t, out);
  put_varint(s.size(), out);
  out.insert(out.end(), s.begin(), s.end());
}

template <class T>
void put_opt_varint(const Tag& t, const std::optional<T>& v, std::vector<uint8_t>& out) {
  if (v) put_varint_field(t, static_cast<uint64_t>(*v), out);
}

void put_opt_int32(const Tag& t, const std::optional<int32_t>& v, std::vector<uint8_t>& out) {
  if (v) put_varint_field(t, int32_wire(*v), out);
}

void put_opt_string(const Tag& t, const std::optional<std::string>& v, std::vector<uint8_t>& out) {
  if (v) put_bytes_field(t, *v, out);
}

void put_opt_double(const Tag& t, const std::optional<double>& v, std::vector<uint8_t>& out) {
  if (!v) return;
  put_tag(t, out);
  uint64_t bits;
  std::memcpy(&bits, &*v, sizeof bits);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

template <class M>
void put_message(const Tag& t, const M& m, std::vector<uint8_t>& out) {
  put_tag(t, out);
  put_varint(encoded_len(m), out);
  encode(m, out);
}

template <class M>
void put_opt_message(const Tag& t, const std::optional<M>& m, std::vector<uint8_t>& out) {
  if (m) put_message(t, *m, out);
}

}  // namespace

// ---- EventCategory ----

size_t encoded_len(const EventCategory& m) {
  return opt_varint_len(kCategoryIid, m.iid) + opt_string_len(kCategoryName, m.name);
}

void encode(const EventCategory& m, std::vector<uint8_t>& out) {
  put_opt_varint(kCategoryIid, m.iid, out);
  put_opt_string(kCategoryName, m.name, out);
}

// ---- InternedData ----

size_t encoded_len(const InternedData& m) {
  size_t n = 0;
  for (const auto& c : m.event_categories)
    n += bytes_field_len(kInternedCategories, encoded_len(c));
  for (const auto& c : m.event_names) n += bytes_field_len(kInternedNames, encoded_len(c));
  return n;
}

void encode(const InternedData& m, std::vector<uint8_t>& out) {
  for (const auto& c : m.event_categories) put_message(kInternedCategories, c, out);
  for (const auto& c : m.event_names) put_message(kInternedNames, c, out);
}

// ---- TrackEventDefaults, TracePacketDefaults ----

size_t encoded_len(const TrackEventDefaults& m) {
  return opt_varint_len(kDefaultsTrackUuid, m.track_uuid);
}

void encode(const TrackEventDefaults& m, std::vector<uint8_t>& out) {
  put_opt_varint(kDefaultsTrackUuid, m.track_uuid, out);
}

size_t encoded_len(const TracePacketDefaults& m) {
  return opt_message_len(kDefaultsTrackEvent, m.track_event_defaults);
}

void encode(const TracePacketDefaults& m, std::vector<uint8_t>& out) {
  put_opt_message(kDefaultsTrackEvent, m.track_event_defaults, out);
}

// ---- ProcessDescriptor, ThreadDescriptor ----

size_t encoded_len(const ProcessDescriptor& m) {
  return opt_int32_len(kPid, m.pid) + opt_string_len(kProcessName, m.process_name);
}

void encode(const ProcessDescriptor& m, std::vector<uint8_t>& out) {
  put_opt_int32(kPid, m.pid, out);
  put_opt_string(kProcessName, m.process_name, out);
}

size_t encoded_len(const ThreadDescriptor& m) {
  return opt_int32_len(kPid, m.pid) + opt_int32_len(kTid, m.tid) +
         opt_string_len(kThreadName, m.thread_name);
}

void encode(const ThreadDescriptor& m, std::vector<uint8_t>& out) {
  put_opt_int32(kPid, m.pid, out);
  put_opt_int32(kTid, m.tid, out);
  put_opt_string(kThreadName, m.thread_name, out);
}

// ---- TrackDescriptor ----

size_t encoded_len(const CounterDescriptor&) { return 0; }
void encode(const CounterDescriptor&, std::vector<uint8_t>&) {}

size_t encoded_len(const TrackDescriptor& m) {
  return opt_varint_len(kTrackUuid, m.uuid) + opt_string_len(kTrackName, m.name) +
         opt_message_len(kTrackProcess, m.process) + opt_message_len(kTrackThread, m.thread) +
         opt_varint_len(kTrackParentUuid, m.parent_uuid) +
         opt_message_len(kTrackCounter, m.counter);
}

void encode(const TrackDescriptor& m, std::vector<uint8_t>& out) {
  put_opt_varint(kTrackUuid, m.uuid, out);
  put_opt_string(kTrackName, m.name, out);
  put_opt_message(kTrackProcess, m.process, out);
  put_opt_message(kTrackThread, m.thread, out);
  put_opt_varint(kTrackParentUuid, m.parent_uuid, out);
  put_opt_message(kTrackCounter, m.counter, out);
}

// ---- DebugAnnotation ----

size_t encoded_len(const DebugAnnotation& m) {
  size_t n = 0;
  if (const auto* b = std::get_if<bool>(&m.value)) n += varint_field_len(kAnnotationBool, *b);
  if (const auto* i = std::get_if<int64_t>(&m.value))
    n += varint_field_len(kAnnotationInt, static_cast<uint64_t>(*i));
  if (std::holds_alternative<double>(m.value)) n += kAnnotationDouble.len + 8;
  if (const auto* s = std::get_if<std::string>(&m.value))
    n += bytes_field_len(kAnnotationString, s->size());
  return n + opt_string_len(kAnnotationName, m.name);
}

void encode(const DebugAnnotation& m, std::vector<uint8_t>& out) {
  if (const auto* b = std::get_if<bool>(&m.value)) put_varint_field(kAnnotationBool, *b, out);
  if (const auto* i = std::get_if<int64_t>(&m.value))
    put_varint_field(kAnnotationInt, static_cast<uint64_t>(*i), out);
  if (const auto* d = std::get_if<double>(&m.value)) put_opt_double(kAnnotationDouble, *d, out);
  if (const auto* s = std::get_if<std::string>(&m.value))
    put_bytes_field(kAnnotationString, *s, out);
  put_opt_string(kAnnotationName, m.name, out);
}

// ---- TrackEvent ----

size_t encoded_len(const TrackEvent& m) {
  size_t n = 0;
  for (uint64_t iid : m.category_iids) n += varint_field_len(kEventCategoryIids, iid);
  for (const auto& a : m.debug_annotations)
    n += bytes_field_len(kEventDebugAnnotations, encoded_len(a));
  n += opt_int32_len(kEventType, m.type);
  n += opt_varint_len(kEventNameIid, m.name_iid);
  n += opt_varint_len(kEventTrackUuid, m.track_uuid);
  for (const auto& c : m.categories) n += bytes_field_len(kEventCategories, c.size());
  n += opt_string_len(kEventName, m.name);
  if (m.counter_value)
    n += varint_field_len(kEventCounterValue, static_cast<uint64_t>(*m.counter_value));
  n += opt_double_len(kEventDoubleCounterValue, m.double_counter_value);
  return n;
}

void encode(const TrackEvent& m, std::vector<uint8_t>& out) {
  for (uint64_t iid : m.category_iids) put_varint_field(kEventCategoryIids, iid, out);
  for (const auto& a : m.debug_annotations) put_message(kEventDebugAnnotations, a, out);
  put_opt_int32(kEventType, m.type, out);
  put_opt_varint(kEventNameIid, m.name_iid, out);
  put_opt_varint(kEventTrackUuid, m.track_uuid, out);
  for (const auto& c : m.categories) put_bytes_field(kEventCategories, c, out);
  put_opt_string(kEventName, m.name, out);
  if (m.counter_value)
    put_varint_field(kEventCounterValue, static_cast<uint64_t>(*m.counter_value), out);
  put_opt_double(kEventDoubleCounterValue, m.double_counter_value, out);
}

// ---- TracePacket ----

size_t encoded_len(const TracePacket& m) {
  size_t n = opt_varint_len(kPacketTimestamp, m.timestamp) +
             opt_varint_len(kPacketSequenceId, m.trusted_packet_sequence_id);
  if (const auto* ev = std::get_if<TrackEvent>(&m.data)) {
    n += bytes_field_len(kPacketTrackEvent, encoded_len(*ev));
  } else if (const auto* td = std::get_if<TrackDescriptor>(&m.data)) {
    n += bytes_field_len(kPacketTrackDescriptor, encoded_len(*td));
  }
  n += opt_message_len(kPacketInternedData, m.interned_data);
  n += opt_varint_len(kPacketSequenceFlags, m.sequence_flags);
  n += opt_message_len(kPacketDefaults, m.trace_packet_defaults);
  return n;
}

void encode(const TracePacket& m, std::vector<uint8_t>& out) {
  put_opt_varint(kPacketTimestamp, m.timestamp, out);
  put_opt_varint(kPacketSequenceId, m.trusted_packet_sequence_id, out);
  // The data choice goes where field 11 would, whichever alternative it is.
  if (const auto* ev = std::get_if<TrackEvent>(&m.data)) {
    put_message(kPacketTrackEvent, *ev, out);
  } else if (const auto* td = std::get_if<TrackDescriptor>(&m.data)) {
    put_message(kPacketTrackDescriptor, *td, out);
  }
  put_opt_message(kPacketInternedData, m.interned_data, out);
  put_opt_varint(kPacketSequenceFlags, m.sequence_flags, out);
  put_opt_message(kPacketDefaults, m.trace_packet_defaults, out);
}

}  // namespace morvex::proto::pb
