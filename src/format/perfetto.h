// The part of the Perfetto trace schema (perfetto.protos) that morvex writes
// and reads back: every message's fields as number and wire type, and the
// enum values either side uses. The writer (src/proto) and the reader
// (src/reader) name fields only through these.
#pragma once

#include <cstdint>

#include "format/wire.h"

namespace morvex::format {

namespace trace {
inline constexpr Field kPacket{1, kBytes};
}  // namespace trace

namespace packet {
inline constexpr Field kTimestamp{8, kVarint};
inline constexpr Field kClockSnapshot{6, kBytes};
inline constexpr Field kSequenceId{10, kVarint};  // trusted_packet_sequence_id
inline constexpr Field kTrackEvent{11, kBytes};
inline constexpr Field kInternedData{12, kBytes};
inline constexpr Field kSequenceFlags{13, kVarint};
inline constexpr Field kCompressedPackets{50, kBytes};  // deflated Trace.packet fields
inline constexpr Field kTimestampClockId{58, kVarint};
inline constexpr Field kDefaults{59, kBytes};  // trace_packet_defaults
inline constexpr Field kTrackDescriptor{60, kBytes};

// sequence_flags
inline constexpr uint32_t kIncrementalStateCleared = 1;
inline constexpr uint32_t kNeedsIncrementalState = 2;
}  // namespace packet

namespace track_event {
inline constexpr Field kCategoryIids{3, kVarint};
inline constexpr Field kDebugAnnotations{4, kBytes};
inline constexpr Field kType{9, kVarint};
inline constexpr Field kNameIid{10, kVarint};
inline constexpr Field kTrackUuid{11, kVarint};
inline constexpr Field kCategories{22, kBytes};
inline constexpr Field kName{23, kBytes};
inline constexpr Field kCounterValue{30, kVarint};
inline constexpr Field kSourceLocationIid{34, kVarint};
inline constexpr Field kDoubleCounterValue{44, kFixed64};

// type
inline constexpr int32_t kTypeSliceBegin = 1;
inline constexpr int32_t kTypeSliceEnd = 2;
inline constexpr int32_t kTypeInstant = 3;
inline constexpr int32_t kTypeCounter = 4;
}  // namespace track_event

namespace debug_annotation {
inline constexpr Field kBoolValue{2, kVarint};
inline constexpr Field kUintValue{3, kVarint};
inline constexpr Field kIntValue{4, kVarint};
inline constexpr Field kDoubleValue{5, kFixed64};
inline constexpr Field kStringValue{6, kBytes};
inline constexpr Field kName{10, kBytes};
}  // namespace debug_annotation

namespace track_descriptor {
inline constexpr Field kUuid{1, kVarint};
inline constexpr Field kName{2, kBytes};
inline constexpr Field kProcess{3, kBytes};
inline constexpr Field kThread{4, kBytes};
inline constexpr Field kParentUuid{5, kVarint};
inline constexpr Field kCounter{8, kBytes};
}  // namespace track_descriptor

namespace process_descriptor {
inline constexpr Field kPid{1, kVarint};
inline constexpr Field kProcessName{6, kBytes};
inline constexpr Field kProcessLabels{8, kBytes};
}  // namespace process_descriptor

namespace thread_descriptor {
inline constexpr Field kPid{1, kVarint};
inline constexpr Field kTid{2, kVarint};
inline constexpr Field kThreadName{5, kBytes};
}  // namespace thread_descriptor

namespace interned_data {
inline constexpr Field kEventCategories{1, kBytes};
inline constexpr Field kEventNames{2, kBytes};
inline constexpr Field kSourceLocations{4, kBytes};
}  // namespace interned_data

// EventCategory and EventName, which have the same two fields.
namespace interned_string {
inline constexpr Field kIid{1, kVarint};
inline constexpr Field kName{2, kBytes};
}  // namespace interned_string

namespace source_location {
inline constexpr Field kIid{1, kVarint};
inline constexpr Field kFileName{2, kBytes};
inline constexpr Field kFunctionName{3, kBytes};
inline constexpr Field kLineNumber{4, kVarint};
}  // namespace source_location

namespace packet_defaults {
inline constexpr Field kTrackEventDefaults{11, kBytes};
inline constexpr Field kTimestampClockId{58, kVarint};
}  // namespace packet_defaults

namespace clock_snapshot {
inline constexpr Field kClocks{1, kBytes};
}  // namespace clock_snapshot

namespace clock {  // ClockSnapshot.Clock
inline constexpr Field kClockId{1, kVarint};
inline constexpr Field kTimestamp{2, kVarint};
inline constexpr Field kIsIncremental{3, kVarint};

inline constexpr uint32_t kBoottime = 6;  // BUILTIN_CLOCK_BOOTTIME, the trace's own clock
// Ids of clocks scoped to one packet sequence.
inline constexpr uint32_t kFirstSequenceClock = 64;
inline constexpr uint32_t kLastSequenceClock = 127;
}  // namespace clock

namespace track_event_defaults {
inline constexpr Field kTrackUuid{11, kVarint};
}  // namespace track_event_defaults

}  // namespace morvex::format
