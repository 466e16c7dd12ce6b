// Event records. A traced thread writes the compact PackedEvent into a batch
// of its own; the serializer thread expands each one into an Event, which is
// what the exporters read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace morvex::core {

// What a record says happened. 1..6 are the sys.monitoring events of a
// function; 7..10 are recorded by the program itself (morvex.span, instant,
// counter): a header record whose code-id field counts the payload records
// (user_event.h) that follow it in the same batch. 11 is written by the
// recorder itself at the head of the batch that follows events it had to
// discard (loss.h), with payload records the same way. 12 and 13 are the
// call of a callable that is not a Python function (a builtin, a method
// descriptor, a type) and its return or raise, recorded only when a run
// asks for C calls. 14 and 15 bracket an asyncio task's step on the thread
// (only in runs that follow tasks): the code-id field holds the task's
// number in the run, and the serializer moves what lies between them onto
// the task's track (kTaskTrackBit | number), consuming the pair. 0 marks a
// payload record once decoded; 16..255 are never recorded.
enum class EventKind : uint8_t {
  Start = 1,
  Return = 2,
  Yield = 3,
  Resume = 4,
  Unwind = 5,
  Throw = 6,
  SpanBegin = 7,
  SpanEnd = 8,
  Instant = 9,
  Counter = 10,
  Lost = 11,
  CCall = 12,
  CReturn = 13,
  TaskStep = 14,
  TaskStepEnd = 15,
};

// The track ids of tasks: never a thread's (thread_keys.h keeps this bit
// clear), so a task's track is told from a thread's by its id alone.
inline constexpr uint32_t kTaskTrackBit = uint32_t{1} << 31;
constexpr bool is_task_track(uint32_t tid) { return (tid & kTaskTrackBit) != 0; }

constexpr bool is_task_marker(uint8_t kind) {
  return kind == static_cast<uint8_t>(EventKind::TaskStep) ||
         kind == static_cast<uint8_t>(EventKind::TaskStepEnd);
}

constexpr bool is_user_kind(uint8_t kind) {
  return kind >= static_cast<uint8_t>(EventKind::SpanBegin) &&
         kind <= static_cast<uint8_t>(EventKind::Counter);
}

// Whether a header record of this kind is followed by payload records.
constexpr bool carries_payload(uint8_t kind) {
  return is_user_kind(kind) || kind == static_cast<uint8_t>(EventKind::Lost);
}

// Of a function's events, return, yield, unwind and a C call's return end a
// slice; every other
// kind byte outside those carrying payload, including the ones never recorded,
// begins one. The one place the writers and the nesting repair take it from.
constexpr bool ends_slice(uint8_t kind) {
  return kind == static_cast<uint8_t>(EventKind::Return) ||
         kind == static_cast<uint8_t>(EventKind::Yield) ||
         kind == static_cast<uint8_t>(EventKind::Unwind) ||
         kind == static_cast<uint8_t>(EventKind::CReturn);
}

inline constexpr uint32_t kCodeIdMask = 0x00FFFFFF;

// word = (kind << 24) | (code id & 0x00FFFFFF): masking keeps an oversized id
// from ever disturbing the kind bits.
constexpr uint32_t pack_word(uint8_t kind, uint32_t code_id) {
  return (uint32_t{kind} << 24) | (code_id & kCodeIdMask);
}
constexpr uint8_t word_kind(uint32_t word) { return static_cast<uint8_t>(word >> 24); }
constexpr uint32_t word_code_id(uint32_t word) { return word & kCodeIdMask; }

struct PackedEvent {
  uint32_t delta;  // raw clock ticks since the base of the batch holding it
  uint32_t word;
};
static_assert(sizeof(PackedEvent) == 8 && alignof(PackedEvent) == 4);
static_assert(std::is_trivial_v<PackedEvent>);

struct Event {
  uint64_t ts;  // nanoseconds since the run's clock start
  uint32_t tid;
  uint32_t word;

  uint8_t kind() const { return word_kind(word); }
  uint32_t code_id() const { return word_code_id(word); }
};
static_assert(sizeof(Event) == 16 && alignof(Event) == 8);

// One thread's run of consecutive events, owned by exactly one party at a
// time: the recording thread, then a ring, then the serializer.
struct EventBatch {
  static constexpr size_t kCapacity = 1024;  // 8 KiB of records

  uint64_t base = 0;  // raw time of the first record; deltas are relative to it
  uint32_t tid = 0;
  uint32_t len = 0;      // written only at hand-over, from the cursor
  uint32_t payload = 0;  // how many of the records are no events (user-event payload, step edges)
  PackedEvent events[kCapacity];

  EventBatch(uint64_t base_, uint32_t tid_) : base(base_), tid(tid_) {}
  // The events a lost batch takes with it: payload records are not events.
  uint32_t event_count() const { return len - payload; }
  PackedEvent* begin_ptr() { return events; }
  PackedEvent* end_ptr() { return events + kCapacity; }
};

}  // namespace morvex::core
