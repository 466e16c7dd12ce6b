#include "core/loss.h"

#include <cstring>

namespace morvex::core {

void LossSummary::add(const EventBatch& batch) {
  if (events == 0) first_raw = batch.base;
  events += batch.event_count();
  // The edge of a task step is no event of the program's, and where the
  // frames around it went (a thread's track or a task's) is not known.
  for (uint32_t i = 0; i < batch.len; ++i) {
    const uint32_t word = batch.events[i].word;
    if (carries_payload(word_kind(word))) {
      i += word_code_id(word);
    } else if (is_task_marker(word_kind(word))) {
      unknown = true;  // event_count() left it out already
    }
  }
  if (unknown) return;
  for (uint32_t i = 0; i < batch.len; ++i) {
    const uint32_t word = batch.events[i].word;
    const uint8_t kind = word_kind(word);
    if (carries_payload(kind)) {
      // Markers and samples leave the stack alone; a span's begin or end is
      // matched by a name this summary does not keep.
      if (kind == static_cast<uint8_t>(EventKind::SpanBegin) ||
          kind == static_cast<uint8_t>(EventKind::SpanEnd))
        unknown = true;
      i += word_code_id(word);
      continue;
    }
    if (!ends_slice(kind)) {
      if (n_begins == kMaxFrames) {
        unknown = true;
        return;
      }
      begins[n_begins++] = word;
      continue;
    }
    // An end closes the innermost begin of its function within the gap and
    // every begin above it, as the nesting repair would.
    const uint32_t code = word_code_id(word);
    size_t at = n_begins;
    while (at > 0 && word_code_id(begins[at - 1]) != code) --at;
    if (at > 0) {
      n_begins = static_cast<uint16_t>(at - 1);
    } else if (n_begins != 0 || n_ends == kMaxFrames) {
      // Whether it closes the begins above its frame depends on a stack
      // this thread does not see.
      unknown = true;
      return;
    } else {
      ends[n_ends++] = word;
    }
  }
}

size_t LossSummary::record_count() const {
  if (unknown) return 4;
  return 4 + (size_t{n_ends} + n_begins + 1) / 2;
}

size_t LossSummary::write(PackedEvent* at) const {
  const size_t n = record_count();
  at[0] = PackedEvent{0, pack_word(static_cast<uint8_t>(EventKind::Lost),
                                   static_cast<uint32_t>(n - 1))};
  const uint64_t shape =
      uint64_t{n_ends} | uint64_t{n_begins} << 16 | uint64_t{unknown} << 32;
  const uint64_t head[3] = {events, first_raw, shape};
  std::memcpy(at + 1, head, sizeof head);
  if (unknown) return n;
  uint32_t words[2 * kMaxFrames + 1] = {};
  std::memcpy(words, ends, n_ends * sizeof(uint32_t));
  std::memcpy(words + n_ends, begins, n_begins * sizeof(uint32_t));
  std::memcpy(at + 4, words, (n - 4) * sizeof(PackedEvent));
  return n;
}

bool decode_loss(std::span<const Event> unit, DecodedLoss& out,
                 uint32_t (&words)[2 * LossSummary::kMaxFrames]) {
  if (unit.size() < 4) return false;
  const uint64_t shape = unit[3].ts;
  const size_t n_ends = shape & 0xFFFF;
  const size_t n_begins = (shape >> 16) & 0xFFFF;
  out.events = unit[1].ts;
  out.start_ns = unit[2].ts;
  out.unknown = (shape >> 32) != 0;
  if (out.unknown) {
    out.ends = out.begins = {};
    return true;
  }
  if (n_ends > LossSummary::kMaxFrames || n_begins > LossSummary::kMaxFrames) return false;
  const size_t records = (n_ends + n_begins + 1) / 2;
  if (unit.size() != 4 + records) return false;
  for (size_t k = 0; k < records; ++k) {
    // The decoder carries a payload record's eight bytes in the time field.
    std::memcpy(&words[2 * k], &unit[4 + k].ts, sizeof(uint64_t));
  }
  out.ends = std::span<const uint32_t>(words, n_ends);
  out.begins = std::span<const uint32_t>(words + n_ends, n_begins);
  return true;
}

}  // namespace morvex::core
