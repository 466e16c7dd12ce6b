// What a thread knows of the events it had to discard, carried to the
// serializer in the stream itself so that the gap is seen where it happened.
//
// A thread whose ring is full discards its batch. It keeps a LossSummary of
// every batch discarded since its last batch that got through: how many
// events, from when, and what they did to the thread's stack of frames -
// the ends of frames begun before the gap and the begins of frames still
// running after it, with what began and ended within the gap cancelled
// out. The batch after a discard starts with a Lost record holding the
// summary; the summary is forgotten once a batch carrying it got through.
// From it the nesting repair closes what ended in the gap (at the gap's
// start: never later than it really ended), begins what started in it (at
// the gap's end: never earlier), and marks the gap on the thread's track.
//
// When the nesting within the gap cannot be told exactly (a span began or
// ended in it, an end met begins it does not match, or there are more
// frames than fit), the summary says so, and everything open on the thread
// is closed at the gap's start instead.
//
// Threads: a LossSummary belongs to its recording thread (in COLD); the
// decoded form is read by the serializer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/event.h"

namespace morvex::core {

struct LossSummary {
  // Frames per list: enough for the few levels a hot loop moves through,
  // small enough to carry in one batch (kMaxRecords).
  static constexpr size_t kMaxFrames = 32;
  // The Lost header and its payload: count, start, shape, two words a record.
  static constexpr size_t kMaxRecords = 1 + 3 + kMaxFrames;

  uint64_t events = 0;    // events discarded (0: nothing to tell)
  uint64_t first_raw = 0;  // raw clock time of the first
  uint32_t ends[kMaxFrames];
  uint32_t begins[kMaxFrames];
  uint16_t n_ends = 0;
  uint16_t n_begins = 0;
  bool unknown = false;  // the nesting within the gap is not known

  bool empty() const { return events == 0; }
  void clear() {
    events = 0;
    n_ends = n_begins = 0;
    unknown = false;
  }

  // Takes in a batch that is being discarded (whose own Lost record, if it
  // has one, is already summarised here).
  void add(const EventBatch& batch);

  // Writes the Lost record and its payload at `at`, which has room for
  // record_count() records; returns how many were written.
  size_t write(PackedEvent* at) const;
  size_t record_count() const;
};

// What became of a run's events: each one recorded was either taken out of
// its ring by the serializer or refused by a full ring (`behind`: the writers
// fell behind, or a lossless wait was cut short); of those taken,
// `unwritten` never reached the trace.
struct LossCounts {
  uint64_t recorded = 0;
  uint64_t behind = 0;
  uint64_t unwritten = 0;

  uint64_t lost() const { return behind + unwritten; }
  LossCounts& operator+=(const LossCounts& o) {
    recorded += o.recorded;
    behind += o.behind;
    unwritten += o.unwritten;
    return *this;
  }
};

// A Lost record as the serializer reads it: `unit` is the decoded header
// (its time the gap's end) and payload, whose second record the decoder
// turned from raw time into nanoseconds (the gap's start).
struct DecodedLoss {
  uint64_t events = 0;
  uint64_t start_ns = 0;
  bool unknown = false;
  std::span<const uint32_t> ends;
  std::span<const uint32_t> begins;
};

// False when the payload is malformed; `words` holds the frame words after.
bool decode_loss(std::span<const Event> unit, DecodedLoss& out, uint32_t (&words)[2 * LossSummary::kMaxFrames]);

}  // namespace morvex::core
