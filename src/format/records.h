// The records morvex writes about itself and reads back: categories, the
// names of the end-of-run records and their keys, and the lost-events
// slice. Both writers and the reader name them only through these, so a
// trace one side writes is always one the other side recognises.
//
// Threads: no shared state; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvex::format {

// Categories.
inline constexpr std::string_view kFunctionCategory = "py";
inline constexpr std::string_view kUserCategory = "user";
inline constexpr std::string_view kMorvexCategory = "morvex";  // the lost-events slice
inline constexpr std::string_view kDroppedCategory = "dropped";
inline constexpr std::string_view kFiltersCategory = "filters";
// A Perfetto slice of a function begun by a generator's resume or a throw
// into it rather than by a call: the slice is the same frame running on, so
// counting it as a call would count one generator once per value. (JSON
// says this with the begin's "kind" argument.)
inline constexpr std::string_view kResumeCategory = "py.resume";
// The interning ids of kFunctionCategory and kResumeCategory on every
// Perfetto thread sequence.
inline constexpr uint64_t kFunctionCategoryIid = 1;
inline constexpr uint64_t kResumeCategoryIid = 2;

// The slice that marks where a thread's events were lost, with one
// argument, kLostEventsArg: how many. A span, so that every writer and
// reader treats it as one; its category is kMorvexCategory.
inline constexpr std::string_view kLostEventsName = "morvex: events lost";
inline constexpr std::string_view kLostEventsArg = "events";

// Events dropped in a run: in Perfetto an instant in kDroppedCategory
// whose name (dropped_name) carries the count, in JSON a metadata record
// with the count under kDroppedCountKey.
inline constexpr std::string_view kDroppedRecord = "morvex_dropped_events";
inline constexpr std::string_view kDroppedCountKey = "count";
// "morvex: 17 events dropped".
std::string dropped_name(uint64_t count);
// The count of a dropped_name text; nothing for any other text.
std::optional<uint64_t> parse_dropped_name(std::string_view name);

// What a run left out on purpose: in Perfetto an instant in
// kFiltersCategory named kFiltersName, its values as debug annotations; in
// JSON a metadata record named kFiltersRecord with them as args.
inline constexpr std::string_view kFiltersName = "morvex: filters";
inline constexpr std::string_view kFiltersRecord = "morvex_filters";
namespace filter_key {
inline constexpr std::string_view kInclude = "include";
inline constexpr std::string_view kExclude = "exclude";
inline constexpr std::string_view kMaxDepth = "max_depth";
inline constexpr std::string_view kMinDurationNs = "min_duration_ns";
inline constexpr std::string_view kFilteredFunctions = "filtered_functions";
inline constexpr std::string_view kMaxDepthEvents = "max_depth_events";
inline constexpr std::string_view kMinDurationEvents = "min_duration_events";
}  // namespace filter_key

// Where a trace lies in wall-clock time, and on which host: CLOCK_REALTIME
// nanoseconds at trace time 0, read beside the trace's own clock. What lines
// up traces of several hosts, as well as their clocks are synchronised.
struct WallAnchor {
  uint64_t realtime_ns = 0;
  std::string host;
};
// In Perfetto two process labels (ProcessDescriptor.process_labels), which
// the UI shows on the process's header line and otherwise leaves alone:
// kHostLabel and kRealtimeLabel, each followed by its value. (A ClockSnapshot would say
// it in Perfetto's own terms, but any snapshot makes the UI fold the
// process under an empty "System" group.) In JSON a metadata record named
// kClockRecord with the two as args.
inline constexpr std::string_view kHostLabel = "host=";
inline constexpr std::string_view kRealtimeLabel = "realtime_ns=";
inline constexpr std::string_view kClockRecord = "morvex_clock";
inline constexpr std::string_view kHostKey = "host";
inline constexpr std::string_view kRealtimeKey = "realtime_ns";
// This machine's name, "" when it cannot be read.
std::string host_name();

}  // namespace morvex::format
