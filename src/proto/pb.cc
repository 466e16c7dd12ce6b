#include "proto/pb.h"

#include <cstring>
#include <string_view>

namespace morvex::proto::pb {

namespace {

using format::make_tag;
using format::Tag;
namespace packet = format::packet;
namespace event = format::track_event;
namespace annotation = format::debug_annotation;
namespace track = format::track_descriptor;
namespace interned = format::interned_data;
namespace name = format::interned_string;

// TracePacket
constexpr Tag kPacketTimestamp = make_tag(packet::kTimestamp);
constexpr Tag kPacketSequenceId = make_tag(packet::kSequenceId);
constexpr Tag kPacketTrackEvent = make_tag(packet::kTrackEvent);
constexpr Tag kPacketInternedData = make_tag(packet::kInternedData);
constexpr Tag kPacketSequenceFlags = make_tag(packet::kSequenceFlags);
constexpr Tag kPacketDefaults = make_tag(packet::kDefaults);
constexpr Tag kPacketClockId = make_tag(packet::kTimestampClockId);
constexpr Tag kPacketTrackDescriptor = make_tag(packet::kTrackDescriptor);
// TrackEvent
constexpr Tag kEventCategoryIids = make_tag(event::kCategoryIids);
constexpr Tag kEventDebugAnnotations = make_tag(event::kDebugAnnotations);
constexpr Tag kEventType = make_tag(event::kType);
constexpr Tag kEventNameIid = make_tag(event::kNameIid);
constexpr Tag kEventTrackUuid = make_tag(event::kTrackUuid);
constexpr Tag kEventCategories = make_tag(event::kCategories);
constexpr Tag kEventName = make_tag(event::kName);
constexpr Tag kEventCounterValue = make_tag(event::kCounterValue);
constexpr Tag kEventDoubleCounterValue = make_tag(event::kDoubleCounterValue);
// DebugAnnotation
constexpr Tag kAnnotationBool = make_tag(annotation::kBoolValue);
constexpr Tag kAnnotationInt = make_tag(annotation::kIntValue);
constexpr Tag kAnnotationDouble = make_tag(annotation::kDoubleValue);
constexpr Tag kAnnotationString = make_tag(annotation::kStringValue);
constexpr Tag kAnnotationName = make_tag(annotation::kName);
// TrackDescriptor
constexpr Tag kTrackUuid = make_tag(track::kUuid);
constexpr Tag kTrackName = make_tag(track::kName);
constexpr Tag kTrackProcess = make_tag(track::kProcess);
constexpr Tag kTrackThread = make_tag(track::kThread);
constexpr Tag kTrackParentUuid = make_tag(track::kParentUuid);
constexpr Tag kTrackCounter = make_tag(track::kCounter);
// ProcessDescriptor, ThreadDescriptor
constexpr Tag kProcessPid = make_tag(format::process_descriptor::kPid);
constexpr Tag kTid = make_tag(format::thread_descriptor::kTid);
constexpr Tag kProcessName = make_tag(format::process_descriptor::kProcessName);
constexpr Tag kProcessLabels = make_tag(format::process_descriptor::kProcessLabels);
constexpr Tag kThreadPid = make_tag(format::thread_descriptor::kPid);
constexpr Tag kThreadName = make_tag(format::thread_descriptor::kThreadName);
// InternedData, EventCategory and EventName
constexpr Tag kInternedCategories = make_tag(interned::kEventCategories);
constexpr Tag kInternedNames = make_tag(interned::kEventNames);
constexpr Tag kInternedLocations = make_tag(interned::kSourceLocations);
constexpr Tag kCategoryIid = make_tag(name::kIid);
constexpr Tag kCategoryName = make_tag(name::kName);
// SourceLocation
constexpr Tag kLocationIid = make_tag(format::source_location::kIid);
constexpr Tag kLocationFile = make_tag(format::source_location::kFileName);
constexpr Tag kLocationFunction = make_tag(format::source_location::kFunctionName);
constexpr Tag kLocationLine = make_tag(format::source_location::kLineNumber);
// TracePacketDefaults, TrackEventDefaults
constexpr Tag kDefaultsTrackEvent = make_tag(format::packet_defaults::kTrackEventDefaults);
constexpr Tag kDefaultsTrackUuid = make_tag(format::track_event_defaults::kTrackUuid);
constexpr Tag kDefaultsClockId = make_tag(format::packet_defaults::kTimestampClockId);

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

// The length is backfilled rather than computed first, which would walk a
// nested message once for every message around it. One byte is reserved,
// all a message under 128 bytes needs; a longer one moves up to make room,
// so the bytes are the same as with the length written first.
template <class M>
void put_message(const Tag& t, const M& m, std::vector<uint8_t>& out) {
  put_tag(t, out);
  const size_t at = out.size();
  out.push_back(0);
  encode(m, out);
  const size_t n = out.size() - at - 1;
  if (n < 0x80) [[likely]] {
    out[at] = static_cast<uint8_t>(n);
    return;
  }
  uint8_t len[kMaxVarintLen];
  const auto len_size = static_cast<size_t>(write_varint(n, len) - len);
  out.insert(out.begin() + static_cast<ptrdiff_t>(at + 1), len_size - 1, 0);
  std::memcpy(out.data() + at, len, len_size);
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

// ---- SourceLocation ----

size_t encoded_len(const SourceLocation& m) {
  return opt_varint_len(kLocationIid, m.iid) + opt_string_len(kLocationFile, m.file_name) +
         opt_string_len(kLocationFunction, m.function_name) +
         opt_varint_len(kLocationLine, m.line_number);
}

void encode(const SourceLocation& m, std::vector<uint8_t>& out) {
  put_opt_varint(kLocationIid, m.iid, out);
  put_opt_string(kLocationFile, m.file_name, out);
  put_opt_string(kLocationFunction, m.function_name, out);
  put_opt_varint(kLocationLine, m.line_number, out);
}

// ---- InternedData ----

size_t encoded_len(const InternedData& m) {
  size_t n = 0;
  for (const auto& c : m.event_categories)
    n += bytes_field_len(kInternedCategories, encoded_len(c));
  for (const auto& c : m.event_names) n += bytes_field_len(kInternedNames, encoded_len(c));
  for (const auto& l : m.source_locations)
    n += bytes_field_len(kInternedLocations, encoded_len(l));
  return n;
}

void encode(const InternedData& m, std::vector<uint8_t>& out) {
  for (const auto& c : m.event_categories) put_message(kInternedCategories, c, out);
  for (const auto& c : m.event_names) put_message(kInternedNames, c, out);
  for (const auto& l : m.source_locations) put_message(kInternedLocations, l, out);
}

// ---- TrackEventDefaults, TracePacketDefaults ----

size_t encoded_len(const TrackEventDefaults& m) {
  return opt_varint_len(kDefaultsTrackUuid, m.track_uuid);
}

void encode(const TrackEventDefaults& m, std::vector<uint8_t>& out) {
  put_opt_varint(kDefaultsTrackUuid, m.track_uuid, out);
}

size_t encoded_len(const TracePacketDefaults& m) {
  return opt_message_len(kDefaultsTrackEvent, m.track_event_defaults) +
         opt_varint_len(kDefaultsClockId, m.timestamp_clock_id);
}

void encode(const TracePacketDefaults& m, std::vector<uint8_t>& out) {
  put_opt_message(kDefaultsTrackEvent, m.track_event_defaults, out);
  put_opt_varint(kDefaultsClockId, m.timestamp_clock_id, out);
}

// ---- ProcessDescriptor, ThreadDescriptor ----

size_t encoded_len(const ProcessDescriptor& m) {
  size_t n = opt_int32_len(kProcessPid, m.pid) + opt_string_len(kProcessName, m.process_name);
  for (const std::string& label : m.process_labels) n += opt_string_len(kProcessLabels, label);
  return n;
}

void encode(const ProcessDescriptor& m, std::vector<uint8_t>& out) {
  put_opt_int32(kProcessPid, m.pid, out);
  put_opt_string(kProcessName, m.process_name, out);
  for (const std::string& label : m.process_labels) put_opt_string(kProcessLabels, label, out);
}

size_t encoded_len(const ThreadDescriptor& m) {
  return opt_int32_len(kThreadPid, m.pid) + opt_int32_len(kTid, m.tid) +
         opt_string_len(kThreadName, m.thread_name);
}

void encode(const ThreadDescriptor& m, std::vector<uint8_t>& out) {
  put_opt_int32(kThreadPid, m.pid, out);
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
  n += opt_varint_len(kPacketClockId, m.timestamp_clock_id);
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
  put_opt_varint(kPacketClockId, m.timestamp_clock_id, out);
}

}  // namespace morvex::proto::pb
