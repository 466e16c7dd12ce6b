#include "core/slices.h"

#include <algorithm>
#include <variant>

#include "core/loss.h"
#include "core/user_event.h"
#include "format/records.h"

namespace morvex::core {

SliceShaper::SliceShaper(uint64_t min_duration_ns) : min_ns_(min_duration_ns) {}

SliceShaper::Thread& SliceShaper::thread(uint32_t tid) {
  auto [slot, inserted] = threads_.try_emplace(tid);
  if (inserted) {
    *slot = std::make_unique<Thread>();
    (*slot)->id = tid;
  }
  return **slot;
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
  size_t span = 0;
  for (Open& o : t.stack) {
    const bool is_span = o.key == kSpan;
    if (!o.written) {
      if (is_span) {
        const std::vector<Event>& begin = t.spans[span].begin;
        out.insert(out.end(), begin.begin(), begin.end());
      } else {
        out.push_back(o.begin);
      }
      o.written = true;
    }
    span += is_span;
  }
}

// Inlined: every call of the run comes through here.
[[gnu::always_inline]] inline void SliceShaper::begin_function(Thread& t, const Event& ev,
                                                              std::vector<Event>& out) {
  if (t.stack.size() < kMaxDepth) [[likely]] {
    t.stack.push_back({ev.code_id(), min_ns_ == 0, ev});
  } else {
    ++t.untracked;
  }
  if (min_ns_ == 0) out.push_back(ev);
}

void SliceShaper::begin_span(Thread& t, SpanData span, std::vector<Event>& out) {
  if (min_ns_ == 0) out.insert(out.end(), span.begin.begin(), span.begin.end());
  t.stack.push_back({kSpan, min_ns_ == 0, span.begin.front()});
  t.spans.push_back(std::move(span));
}

// Ends the top slice at `end` (the end record, with its payload for a span).
void SliceShaper::end_top(Thread& t, const Event& end, std::span<const Event> unit,
                          std::vector<Event>& out) {
  Open& top = t.stack.back();
  if (!top.written && end.ts - top.begin.ts >= min_ns_) write_held(t, out);
  if (top.written) {
    out.insert(out.end(), unit.begin(), unit.end());
  } else {
    short_events_ += 2;
  }
  if (top.key == kSpan) t.spans.pop_back();
  t.stack.pop_back();
}

// Ends the slice at `depth` with `end` (its unit: the record and, for a
// span, its payload), closing the ones above it first, and begins again
// those of them that are still running.
void SliceShaper::end_at(Thread& t, size_t depth, const Event& end, std::span<const Event> unit,
                         std::vector<Event>& out) {
  const bool span_ends = is_user_kind(end.kind());
  // What begins again, innermost first: spans, and resumes of frames.
  std::vector<std::variant<SpanData, Event>> running_on;
  while (t.stack.size() > depth + 1) {
    Open& top = t.stack.back();
    if (top.key == kSpan) {
      SpanData again = t.spans.back();
      again.begin.front().ts = end.ts;
      running_on.emplace_back(std::move(again));
    } else if (span_ends) {
      // The frame runs on past the span's end: a resume of it follows.
      running_on.emplace_back(
          Event{end.ts, end.tid, pack_word(static_cast<uint8_t>(EventKind::Resume), top.key)});
    }
    end_top_at(t, end.ts, end.tid, out);
  }
  end_top(t, end, unit, out);
  for (auto it = running_on.rbegin(); it != running_on.rend(); ++it) {
    if (auto* span = std::get_if<SpanData>(&*it)) {
      begin_span(t, std::move(*span), out);
    } else {
      begin_function(t, std::get<Event>(*it), out);
    }
  }
}

void SliceShaper::process(std::span<const Event> in, std::vector<Event>& out) {
  // Events come in runs of one thread (a batch each): look it up per run.
  Thread* current = nullptr;
  uint32_t current_tid = 0;
  // Where the thread's events go: itself, or the track of the task whose
  // step it is running.
  Thread* target = nullptr;
  for (size_t i = 0; i < in.size(); ++i) {
    const Event& ev = in[i];
    const uint8_t kind = ev.kind();
    if (kind == 0) continue;  // payload whose header was not whole: unreadable
    if (current == nullptr || ev.tid != current_tid) [[unlikely]] {
      current = &thread(ev.tid);
      current_tid = ev.tid;
      target = current->route != 0 ? &thread(current->route) : current;
    }
    if (is_task_marker(kind)) [[unlikely]] {
      const bool begins = kind == static_cast<uint8_t>(EventKind::TaskStep);
      current->route = begins ? (kTaskTrackBit | ev.code_id()) : 0;
      target = begins ? &thread(current->route) : current;
      continue;
    }
    Thread& t = *target;
    t.last_ts = std::max(t.last_ts, ev.ts);
    if (target != current) [[unlikely]] {
      routed(t, in, i, out);
      // A gap that may hold the step's end: what follows is the thread's
      // until a step is seen to begin.
      if (kind == static_cast<uint8_t>(EventKind::Lost) && last_loss_unknown_) {
        current->route = 0;
        target = current;
      }
      continue;
    }
    if (!carries_payload(kind)) [[likely]] {
      function_event(t, ev, out);
      continue;
    }
    std::span<const Event> unit = in.subspan(i, 1 + payload_records(in, i));
    i += unit.size() - 1;
    unit_event(t, unit, out);
  }
}

// An event of a task's step (with its payload, if it has one) as if the
// task's track had recorded it; `i` moves past the payload.
void SliceShaper::routed(Thread& t, std::span<const Event> in, size_t& i, std::vector<Event>& out) {
  if (!carries_payload(in[i].kind())) [[likely]] {
    Event ev = in[i];
    ev.tid = t.id;
    function_event(t, ev, out);
    return;
  }
  const size_t n = 1 + payload_records(in, i);
  std::vector<Event>& unit = route_buf_;
  unit.assign(in.begin() + static_cast<ptrdiff_t>(i), in.begin() + static_cast<ptrdiff_t>(i + n));
  for (Event& e : unit) e.tid = t.id;
  i += n - 1;
  unit_event(t, unit, out);
}

// A header record and its payload: what the program recorded, or a gap.
void SliceShaper::unit_event(Thread& t, std::span<const Event> unit, std::vector<Event>& out) {
  const Event& ev = unit.front();
  switch (static_cast<EventKind>(ev.kind())) {
    case EventKind::Instant:
    case EventKind::Counter:
      // Markers and samples are never short; what they lie in is written
      // first, so that the thread's events stay in time order.
      write_held(t, out);
      out.insert(out.end(), unit.begin(), unit.end());
      return;
    case EventKind::SpanBegin:
      begin_span(t, SpanData{std::vector<Event>(unit.begin(), unit.end()), span_name(unit)}, out);
      return;
    case EventKind::Lost:
      lost(t, unit, out);
      return;
    case EventKind::SpanEnd: {
      std::string name = span_name(unit);
      // The innermost span of that name: its stack entry, and its data.
      size_t spans_seen = 0;
      size_t at = t.stack.size();
      while (at-- > 0) {
        if (t.stack[at].key != kSpan) continue;
        if (t.spans[t.spans.size() - 1 - spans_seen++].name == name) break;
      }
      if (at == SIZE_MAX) return;  // not open: closed at a yield, or never begun
      end_at(t, at, ev, unit, out);
      return;
    }
    default:
      return;
  }
}

// Inlined: every function event of the run comes through here.
[[gnu::always_inline]] inline void SliceShaper::function_event(Thread& t, const Event& ev,
                                                              std::vector<Event>& out) {
  if (!ends_slice(ev.kind())) {
    begin_function(t, ev, out);
    return;
  }
  if (t.untracked != 0) [[unlikely]] {
    --t.untracked;
    if (min_ns_ == 0) out.push_back(ev);
    return;
  }
  const uint32_t code = ev.code_id();
  if (!t.stack.empty() && t.stack.back().key == code) [[likely]] {
    if (t.stack.back().written) [[likely]] {
      // Most ends: the slice's begin is out already, and a function's end
      // is one record.
      t.stack.pop_back();
      out.push_back(ev);
      return;
    }
    end_top(t, ev, std::span(&ev, 1), out);
    return;
  }
  auto it = std::find_if(t.stack.rbegin(), t.stack.rend(),
                         [code](const Open& o) { return o.key == code; });
  if (it == t.stack.rend()) return;  // began before the trace, or never reported
  end_at(t, static_cast<size_t>(t.stack.rend() - it) - 1, ev, std::span(&ev, 1), out);
}

// Ends the top slice at `ts` with an end made for it: a span's from its
// begin and payload, a function's an unwind.
void SliceShaper::end_top_at(Thread& t, uint64_t ts, uint32_t tid, std::vector<Event>& out) {
  const Open& top = t.stack.back();
  if (top.key == kSpan) {
    std::vector<Event> made = t.spans.back().begin;
    made.front() =
        Event{ts, tid, pack_word(static_cast<uint8_t>(EventKind::SpanEnd), made.front().code_id())};
    end_top(t, made.front(), made, out);
  } else {
    Event made{ts, tid, pack_word(static_cast<uint8_t>(EventKind::Unwind), top.key)};
    end_top(t, made, std::span(&made, 1), out);
  }
}

void SliceShaper::close_all(Thread& t, uint64_t ts, uint32_t tid, std::vector<Event>& out) {
  while (!t.stack.empty()) end_top_at(t, ts, tid, out);
  t.untracked = 0;
}

void SliceShaper::lost(Thread& t, std::span<const Event> unit, std::vector<Event>& out) {
  uint32_t words[2 * LossSummary::kMaxFrames];
  DecodedLoss loss;
  const Event& head = unit.front();
  if (!decode_loss(unit, loss, words)) loss = DecodedLoss{0, head.ts, true, {}, {}};
  last_loss_unknown_ = loss.unknown;
  const uint64_t end_ns = head.ts;
  const uint64_t start_ns = std::min(loss.start_ns, end_ns);
  // What ended in the gap ends at its start, what began in it begins at its
  // end: no slice is drawn longer than it ran.
  if (loss.unknown) {
    close_all(t, start_ns, head.tid, out);
  } else {
    for (uint32_t word : loss.ends) function_event(t, Event{start_ns, head.tid, word}, out);
  }
  // The gap itself, as a slice of its own that is never left out for being
  // short; what it lies in is written first.
  write_held(t, out);
  PayloadWriter payload(kLostEventsName);
  payload.add(format::kLostEventsArg,
              UserValue{UserValue::Type::Int, static_cast<int64_t>(loss.events)});
  const std::vector<uint64_t> records = payload.words().value_or(std::vector<uint64_t>{});
  for (auto [kind, ts] : {std::pair{EventKind::SpanBegin, start_ns}, std::pair{EventKind::SpanEnd, end_ns}}) {
    out.push_back(Event{ts, head.tid,
                        pack_word(static_cast<uint8_t>(kind), static_cast<uint32_t>(records.size()))});
    for (uint64_t r : records) out.push_back(Event{r, head.tid, 0});
  }
  for (uint32_t word : loss.begins) function_event(t, Event{end_ns, head.tid, word}, out);
  ++gaps_;
}

void SliceShaper::end_everything(std::vector<Event>& out) {
  threads_.for_each(
      [&](uint32_t tid, std::unique_ptr<Thread>& t) { close_all(*t, t->last_ts, tid, out); });
}

void SliceShaper::finish(std::vector<Event>& out) {
  if (min_ns_ == 0) return;
  uint64_t last_ts = 0;
  threads_.for_each(
      [&](uint32_t, std::unique_ptr<Thread>& t) { last_ts = std::max(last_ts, t->last_ts); });
  threads_.for_each([&](uint32_t, std::unique_ptr<Thread>& t) {
    // The deepest open slice that has lasted long enough, with everything
    // around it; what lies above it is short and left out.
    size_t keep = 0;
    for (size_t d = 0; d < t->stack.size(); ++d) {
      const Open& o = t->stack[d];
      if (o.written || last_ts - o.begin.ts >= min_ns_) keep = d + 1;
    }
    for (size_t d = keep; d < t->stack.size(); ++d) {
      ++short_events_;
      if (t->stack[d].key == kSpan) t->spans.pop_back();
    }
    t->stack.resize(keep);
    write_held(*t, out);
    t->stack.clear();
  });
}

}  // namespace morvex::core
