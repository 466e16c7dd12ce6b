#include "core/slices.h"

#include <algorithm>

#include "core/user_event.h"

namespace morvex::core {

SliceShaper::SliceShaper(uint64_t min_duration_ns) : min_ns_(min_duration_ns) {}

SliceShaper::Thread& SliceShaper::thread(uint32_t tid) {
  if (last_ != nullptr && tid == last_tid_) return *last_;
  auto [slot, inserted] = threads_.try_emplace(tid);
  if (inserted) *slot = std::make_unique<Thread>();
  last_ = slot->get();
  last_tid_ = tid;
  return *last_;
}

void SliceShaper::write_held(Thread& t, std::vector<Event>& out) {
  for (Open& o : t.stack) {
    if (o.written) continue;
    out.insert(out.end(), o.begin.begin(), o.begin.end());
    o.written = true;
    // A span keeps its begin: an end may have to be made from it.
    if (o.key != kSpan) o.begin = {};
  }
}

// Ends the top slice at `end` (the end record, with its payload for a span).
void SliceShaper::end_slice(Thread& t, const Event& end, std::span<const Event> unit,
                            std::vector<Event>& out) {
  Open& top = t.stack.back();
  if (!top.written && end.ts - top.begin.front().ts >= min_ns_) write_held(t, out);
  if (top.written) {
    out.insert(out.end(), unit.begin(), unit.end());
  } else {
    short_events_ += 2;
  }
  t.stack.pop_back();
}

// Closes every slice above `depth` at the time of `end`: their own ends
// never came (or were lost), and the one that did belongs further down.
void SliceShaper::close_to(Thread& t, size_t depth, const Event& end, std::vector<Event>& out) {
  while (t.stack.size() > depth) {
    Open& top = t.stack.back();
    if (top.key == kSpan) {
      std::vector<Event> made = top.begin;
      made.front() =
          Event{end.ts, end.tid,
                pack_word(static_cast<uint8_t>(EventKind::SpanEnd), made.front().code_id())};
      end_slice(t, made.front(), made, out);
    } else {
      Event made{end.ts, end.tid, pack_word(static_cast<uint8_t>(EventKind::Unwind), top.key)};
      end_slice(t, made, std::span(&made, 1), out);
    }
  }
}

void SliceShaper::process(std::span<const Event> in, std::vector<Event>& out) {
  for (size_t i = 0; i < in.size(); ++i) {
    const Event& ev = in[i];
    const uint8_t kind = ev.kind();
    if (kind == 0) continue;  // payload whose header was not whole: unreadable
    std::span<const Event> unit(&in[i], 1);
    if (is_user_kind(kind)) {
      unit = in.subspan(i, 1 + payload_records(in, i));
      i += unit.size() - 1;
    }
    last_ts_ = std::max(last_ts_, ev.ts);
    Thread& t = thread(ev.tid);
    switch (static_cast<EventKind>(kind)) {
      case EventKind::Instant:
      case EventKind::Counter:
        // Markers and samples are never short; what they lie in is written
        // first, so that the thread's events stay in time order.
        write_held(t, out);
        out.insert(out.end(), unit.begin(), unit.end());
        continue;
      case EventKind::SpanBegin:
        t.stack.push_back({kSpan, min_ns_ == 0, std::vector<Event>(unit.begin(), unit.end())});
        if (min_ns_ == 0) out.insert(out.end(), unit.begin(), unit.end());
        continue;
      case EventKind::SpanEnd: {
        auto it = std::find_if(t.stack.rbegin(), t.stack.rend(),
                               [](const Open& o) { return o.key == kSpan; });
        if (it == t.stack.rend()) continue;
        close_to(t, static_cast<size_t>(t.stack.rend() - it), ev, out);
        end_slice(t, ev, unit, out);
        continue;
      }
      default:
        break;
    }
    const uint32_t code = ev.code_id();
    if (!ends_slice(kind)) {
      if (min_ns_ == 0) {
        t.stack.push_back({code, true, {}});
        out.push_back(ev);
      } else {
        t.stack.push_back({code, false, {ev}});
      }
      continue;
    }
    if (!t.stack.empty() && t.stack.back().key == code) [[likely]] {
      end_slice(t, ev, unit, out);
      continue;
    }
    auto it = std::find_if(t.stack.rbegin(), t.stack.rend(),
                           [code](const Open& o) { return o.key == code; });
    if (it == t.stack.rend()) continue;  // began before the trace, or never reported
    close_to(t, static_cast<size_t>(t.stack.rend() - it), ev, out);
    end_slice(t, ev, unit, out);
  }
}

void SliceShaper::finish(std::vector<Event>& out) {
  if (min_ns_ == 0) return;
  threads_.for_each([&](uint32_t, std::unique_ptr<Thread>& t) {
    // The deepest open slice that has lasted long enough, with everything
    // around it; what lies above it is short and left out.
    size_t keep = 0;
    for (size_t d = 0; d < t->stack.size(); ++d) {
      const Open& o = t->stack[d];
      if (o.written || last_ts_ - o.begin.front().ts >= min_ns_) keep = d + 1;
    }
    for (size_t d = keep; d < t->stack.size(); ++d) ++short_events_;
    t->stack.resize(keep);
    write_held(*t, out);
    t->stack.clear();
  });
}

}  // namespace morvex::core
