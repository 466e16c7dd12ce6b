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

namespace {

std::string span_name(std::span<const Event> unit) {
  std::string buf;
  UserPayload p;
  if (!decode_payload(payload_bytes(unit, 0, buf), p)) return {};
  return std::string(p.name);
}

}  // namespace

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

void SliceShaper::push(Thread& t, Open open, std::vector<Event>& out) {
  if (min_ns_ == 0) {
    out.insert(out.end(), open.begin.begin(), open.begin.end());
    open.written = true;
    if (open.key != kSpan) open.begin = {};
  }
  t.stack.push_back(std::move(open));
}

// Ends the slice at `depth` with `end` (its unit: the record and, for a
// span, its payload), closing the ones above it first, and begins again
// those of them that are still running.
void SliceShaper::end_at(Thread& t, size_t depth, const Event& end, std::span<const Event> unit,
                         std::vector<Event>& out) {
  const bool span_ends = is_user_kind(end.kind());
  std::vector<Open> running_on;  // innermost first
  while (t.stack.size() > depth + 1) {
    Open& top = t.stack.back();
    if (top.key == kSpan) {
      std::vector<Event> made = top.begin;
      made.front() =
          Event{end.ts, end.tid,
                pack_word(static_cast<uint8_t>(EventKind::SpanEnd), made.front().code_id())};
      Open again{kSpan, false, top.begin, top.name};
      again.begin.front().ts = end.ts;
      running_on.push_back(std::move(again));
      end_slice(t, made.front(), made, out);
    } else {
      if (span_ends) {
        // The frame runs on past the span's end: a resume of it follows.
        Event resumed{end.ts, end.tid, pack_word(static_cast<uint8_t>(EventKind::Resume), top.key)};
        running_on.push_back(Open{top.key, false, {resumed}, {}});
      }
      Event made{end.ts, end.tid, pack_word(static_cast<uint8_t>(EventKind::Unwind), top.key)};
      end_slice(t, made, std::span(&made, 1), out);
    }
  }
  end_slice(t, end, unit, out);
  for (auto it = running_on.rbegin(); it != running_on.rend(); ++it) push(t, std::move(*it), out);
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
        push(t, Open{kSpan, false, std::vector<Event>(unit.begin(), unit.end()), span_name(unit)},
             out);
        continue;
      case EventKind::SpanEnd: {
        std::string name = span_name(unit);
        auto it = std::find_if(t.stack.rbegin(), t.stack.rend(),
                               [&name](const Open& o) { return o.key == kSpan && o.name == name; });
        if (it == t.stack.rend()) continue;  // not open: closed at a yield, or never begun
        end_at(t, static_cast<size_t>(t.stack.rend() - it) - 1, ev, unit, out);
        continue;
      }
      default:
        break;
    }
    const uint32_t code = ev.code_id();
    if (!ends_slice(kind)) {
      if (min_ns_ == 0) [[likely]] {
        t.stack.push_back({code, true, {}, {}});
        out.push_back(ev);
      } else {
        t.stack.push_back({code, false, {ev}, {}});
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
    end_at(t, static_cast<size_t>(t.stack.rend() - it) - 1, ev, unit, out);
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
