#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/loss.h"
#include "core/slices.h"
#include "core/user_event.h"

namespace morvex::core {
namespace {

// Events of one thread written as "S3@10": kind letter, code id, time.
// S start, R return, Y yield, U unwind, M resume, C a C call, X its return;
// [ and ] a span named by
// the digit, i an instant, c a counter.
std::vector<Event> parse(const std::string& text, uint32_t tid = 1) {
  std::vector<Event> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t space = text.find(' ', at);
    std::string tok = text.substr(at, space == std::string::npos ? std::string::npos : space - at);
    at = space == std::string::npos ? text.size() : space + 1;
    char k = tok[0];
    size_t sign = tok.find('@');
    uint32_t code = static_cast<uint32_t>(std::stoul(tok.substr(1, sign - 1)));
    uint64_t ts = std::stoull(tok.substr(sign + 1));
    auto user = [&](EventKind kind) {
      auto words = *PayloadWriter(std::to_string(code)).words();
      out.push_back({ts, tid, pack_word(static_cast<uint8_t>(kind), uint32_t(words.size()))});
      for (uint64_t w : words) out.push_back({w, tid, 0});
    };
    switch (k) {
      case 'S':
        out.push_back({ts, tid, pack_word(1, code)});
        break;
      case 'R':
        out.push_back({ts, tid, pack_word(2, code)});
        break;
      case 'Y':
        out.push_back({ts, tid, pack_word(3, code)});
        break;
      case 'M':
        out.push_back({ts, tid, pack_word(4, code)});
        break;
      case 'U':
        out.push_back({ts, tid, pack_word(5, code)});
        break;
      case 'C':
        out.push_back({ts, tid, pack_word(12, code)});
        break;
      case 'X':
        out.push_back({ts, tid, pack_word(13, code)});
        break;
      case 'G': {
        // A Lost record: G<events>@<end>:<start>:<ends>:<begins>, the frame
        // lists as S/M/R/Y/U<code> separated by commas; "?" for an unknown
        // nesting.
        std::vector<std::string> parts;
        for (size_t from = tok.find(':'); from != std::string::npos;) {
          size_t to = tok.find(':', from + 1);
          parts.push_back(tok.substr(from + 1, to == std::string::npos ? to : to - from - 1));
          from = to;
        }
        LossSummary loss;
        loss.events = code;
        loss.first_raw = std::stoull(parts.at(0));
        loss.unknown = parts.at(1) == "?";
        auto frames = [](const std::string& list, uint32_t* into, uint16_t& n) {
          static const std::string kKinds = "?SRYMU";
          for (size_t from = 0; from < list.size();) {
            size_t to = std::min(list.find(',', from), list.size());
            auto kind = static_cast<uint8_t>(kKinds.find(list[from]));
            into[n++] = pack_word(kind, std::stoul(list.substr(from + 1, to - from - 1)));
            from = to + 1;
          }
        };
        if (!loss.unknown) {
          frames(parts.at(1), loss.ends, loss.n_ends);
          frames(parts.size() > 2 ? parts[2] : "", loss.begins, loss.n_begins);
        }
        PackedEvent records[LossSummary::kMaxRecords];
        size_t n = loss.write(records);
        out.push_back({ts, tid, records[0].word});
        for (size_t r = 1; r < n; ++r) {
          uint64_t raw;
          std::memcpy(&raw, &records[r], sizeof raw);
          out.push_back({raw, tid, 0});  // the start is a time already: a clock of nanoseconds
        }
        break;
      }
      case 'T':
        out.push_back({ts, tid, pack_word(uint8_t(EventKind::TaskStep), code)});
        break;
      case 't':
        out.push_back({ts, tid, pack_word(uint8_t(EventKind::TaskStepEnd), code)});
        break;
      case '[':
        user(EventKind::SpanBegin);
        break;
      case ']':
        user(EventKind::SpanEnd);
        break;
      case 'i':
        user(EventKind::Instant);
        break;
      case 'c':
        user(EventKind::Counter);
        break;
      default:
        ADD_FAILURE() << "bad token " << tok;
    }
  }
  return out;
}

std::string show(const std::vector<Event>& events) {
  std::string s;
  std::string buf;
  for (size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    static const char kLetters[] = "?SRYMU?[]ic?CX";
    char k = e.kind() < 14 ? kLetters[e.kind()] : '?';
    uint32_t code = e.code_id();
    std::string what;
    if (is_user_kind(e.kind())) {
      UserPayload p;
      EXPECT_TRUE(decode_payload(payload_bytes(events, i, buf), p));
      // The gap's slice shows as L, with its count on its begin.
      if (p.name == kLostEventsName) {
        what = "L";
        if (e.kind() == uint8_t(EventKind::SpanBegin) && !p.args.empty())
          what += std::to_string(p.args[0].value.i);
      } else {
        what = std::string(p.name);
      }
      i += payload_records(events, i);
    } else {
      what = std::to_string(code);
    }
    if (!s.empty()) s += ' ';
    s += k + what + "@" + std::to_string(e.ts);
    if (is_task_track(e.tid)) {
      s += "/T" + std::to_string(e.tid & ~kTaskTrackBit);
    } else if (e.tid != 1) {
      s += "/t" + std::to_string(e.tid);
    }
  }
  return s;
}

std::string shaped(const std::string& in, uint64_t min_ns = 0, uint64_t* short_events = nullptr) {
  SliceShaper shaper(min_ns);
  std::vector<Event> out;
  shaper.process(parse(in), out);
  shaper.finish(out);
  if (short_events != nullptr) *short_events = shaper.short_events();
  return show(out);
}

TEST(SliceShaper, KeepsEveryThreadWellNested) {
  const std::pair<const char*, const char*> cases[] = {
      // Well nested input passes unchanged, generators included.
      {"S1@0 S2@1 R2@2 M3@3 Y3@4 R1@5", "S1@0 S2@1 R2@2 M3@3 Y3@4 R1@5"},
      // Returns of frames that began before the trace are left out.
      {"R7@0 U8@1 S1@2 R1@3 R9@4", "S1@2 R1@3"},
      // An end that matches a slice further down closes the ones above it.
      {"S1@0 S2@1 S3@2 R1@9", "S1@0 S2@1 S3@2 U3@9 U2@9 R1@9"},
      // An end that matches nothing open is left out; the rest is kept.
      {"S1@0 S2@1 R5@2 R2@3 R1@4", "S1@0 S2@1 R2@3 R1@4"},
      // Spans nest with functions. A span's end closes what is open above it
      // and lets it begin again after: those frames are still running.
      {"S1@0 [4@1 S2@2 ]4@3 R2@4 R1@5", "S1@0 [4@1 S2@2 U2@3 ]4@3 M2@3 R2@4 R1@5"},
      {"S1@0 ]4@1 R1@2", "S1@0 R1@2"},
      // A function's end below an open span closes the span and lets it run
      // on after; the span's own end comes later.
      {"S1@0 [4@1 R1@2 ]4@3", "S1@0 [4@1 ]4@2 R1@2 [4@2 ]4@3"},
      // A span ends only with its own end, even under another span.
      {"[4@0 [5@1 ]4@2 ]5@3", "[4@0 [5@1 ]5@2 ]4@2 [5@2 ]5@3"},
      // A span opened in a generator (a context manager written with
      // contextlib) and yielded out of: it runs on, in pieces, around the
      // with block's body, and what follows the block stays in the outer span.
      {"S1@0 [7@1 S3@2 S5@3 [9@4 Y5@5 R3@6 S6@7 R6@8 S8@9 M5@10 ]9@11 R5@12 R8@13 S2@14 R2@15 "
       "]7@16 R1@17",
       "S1@0 [7@1 S3@2 S5@3 [9@4 ]9@5 Y5@5 [9@5 ]9@6 R3@6 [9@6 S6@7 R6@8 S8@9 M5@10 U5@11 U8@11 "
       "]9@11 M8@11 M5@11 R5@12 R8@13 S2@14 R2@15 ]7@16 R1@17"},
      // A C call nests like a frame, around the Python code it calls back;
      // its end closes a frame inside it whose return never came.
      {"S1@0 C2@1 S3@2 R3@3 X2@4 R1@5", "S1@0 C2@1 S3@2 R3@3 X2@4 R1@5"},
      {"S1@0 C2@1 S3@2 X2@4 R1@5", "S1@0 C2@1 S3@2 U3@4 X2@4 R1@5"},
      // Markers and samples pass wherever they are.
      {"i6@0 S1@1 c7@2 R1@3 i8@4", "i6@0 S1@1 c7@2 R1@3 i8@4"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(shaped(in), out) << in;
}

// Between a thread's TaskStep and TaskStepEnd records its events go to the
// task's track (T<n>), nesting there on their own; the records themselves
// are consumed.
TEST(SliceShaper, MovesATaskStepOntoItsTasksTrack) {
  const std::pair<const char*, const char*> cases[] = {
      // The step and all it calls on the task's track; the loop's frame stays.
      {"S1@0 T2@1 M3@1 S4@2 R4@3 Y3@4 t2@4 R1@5", "S1@0 M3@1/T2 S4@2/T2 R4@3/T2 Y3@4/T2 R1@5"},
      // Steps of two tasks with loop work between them.
      {"S1@0 T2@1 M3@1 Y3@2 t2@2 S5@3 R5@4 T7@5 S6@5 U6@6 t7@6 R1@7",
       "S1@0 M3@1/T2 Y3@2/T2 S5@3 R5@4 S6@5/T7 U6@6/T7 R1@7"},
      // The loop's frame ending inside a step (its end was missed before)
      // closes nothing on the task's track: each track nests on its own.
      {"S1@0 T2@1 M3@1 R1@2 Y3@3 t2@3", "S1@0 M3@1/T2 Y3@3/T2"},
      // A span the step opens goes with it, payload and all; one left open
      // across the task's await runs on, on the task's track.
      {"T2@0 M3@0 [4@1 ]4@2 [5@2 Y3@3 t2@3 S1@4 R1@5 T2@6 M3@6 ]5@7 Y3@8 t2@8",
       "M3@0/T2 [4@1/T2 ]4@2/T2 [5@2/T2 ]5@3/T2 Y3@3/T2 [5@3/T2 S1@4 R1@5 M3@6/T2 U3@7/T2 ]5@7/T2 "
       "M3@7/T2 Y3@8/T2"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(shaped(in), out) << in;
}

TEST(SliceShaper, AGapThatMayHoldAStepsEndHandsTheThreadBackItsEvents) {
  // Unknown nesting: the task's frames end at the gap's start, the gap is
  // on the task's track, and what follows is the thread's.
  EXPECT_EQ(shaped("S1@0 T2@1 M3@1 G5@20:10:? S4@25 R4@26"),
            "S1@0 M3@1/T2 U3@10/T2 [L5@10/T2 ]L@20/T2 S4@25 R4@26");
  // A known one (no step edge in it) keeps the step on its track.
  EXPECT_EQ(shaped("T2@1 M3@1 G5@20:10:: S4@25 R4@26 Y3@27 t2@27"),
            "M3@1/T2 [L5@10/T2 ]L@20/T2 S4@25/T2 R4@26/T2 Y3@27/T2");
}

TEST(SliceShaper, ThreadsRouteTheirOwnStepsAndAStopEndsWhatIsOpenOnTaskTracks) {
  SliceShaper shaper;
  std::vector<Event> out;
  // Two threads' batches interleave; each is in a step of its own task.
  shaper.process(parse("S1@0 T2@1 M3@1", 1), out);
  shaper.process(parse("T5@2 M6@2 S7@3", 9), out);
  shaper.process(parse("S4@4", 1), out);
  shaper.end_everything(out);
  std::string shown = show(out);
  EXPECT_EQ(shown.substr(0, shown.find(" U")), "S1@0 M3@1/T2 M6@2/T5 S7@3/T5 S4@4/T2");
  // The tracer stopped mid-step: every track's slices end, none is left open.
  for (const char* end : {"U7@3/T5", "U6@3/T5", "U4@4/T2", "U3@4/T2", "U1@0"})
    EXPECT_NE(shown.find(end), std::string::npos) << end << " in " << shown;
}

// Where a thread lost events, what ended in the gap ends at its start, what
// began in it begins at its end, and the gap is a slice of its own: no slice
// is longer than it ran, and what follows nests as it did.
TEST(SliceShaper, AGapClosesWhatEndedInItAndBeginsWhatBeganInIt) {
  const std::pair<const char*, const char*> cases[] = {
      // A loop over mid(i) calling leaf(): leaf and mid ended in the gap, a
      // new mid and leaf were running after it; main and top ran through.
      {"S1@0 S2@1 S3@2 S4@3 G9@100:50:R4,R3:S3,S4 R4@101 R3@102 R2@103 R1@104",
       "S1@0 S2@1 S3@2 S4@3 R4@50 R3@50 [L9@50 ]L@100 S3@100 S4@100 R4@101 R3@102 R2@103 R1@104"},
      // Calls that began and ended within the gap leave nothing behind.
      {"S1@0 G5@20:10:: R1@30", "S1@0 [L5@10 ]L@20 R1@30"},
      // An end in the gap of a frame that was never open is left out.
      {"S1@0 G5@20:10:R7: R1@30", "S1@0 [L5@10 ]L@20 R1@30"},
      // Unknown nesting (a span began in the gap): everything open, spans
      // included, ends at the gap's start; later ends match nothing.
      {"S1@0 [6@1 S2@2 G5@20:10:? R2@21 ]6@22 R1@23 S3@24 R3@25",
       "S1@0 [6@1 S2@2 U2@10 ]6@10 U1@10 [L5@10 ]L@20 S3@24 R3@25"},
      // A start after the end (counter skew) is clamped to the end.
      {"S1@0 G5@20:30:R1:", "S1@0 R1@20 [L5@20 ]L@20"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(shaped(in), out) << in;
}

TEST(SliceShaper, AGapIsNeverLeftOutAsShortAndWritesWhatItLiesIn) {
  uint64_t short_events = 0;
  // S1 is held back (it never lasts 100), but the gap inside it is written,
  // and so S1 with it; S2 began in the gap and is short.
  EXPECT_EQ(shaped("S1@0 G3@20:10::S2 R2@25 R1@30", 100, &short_events),
            "S1@0 [L3@10 ]L@20 R1@30");
  EXPECT_EQ(short_events, 2u);
}

TEST(SliceShaper, ThreadsHaveStacksOfTheirOwn) {
  std::vector<Event> in = parse("S1@0 S2@1");
  for (Event& e : parse("S1@2 R1@3", 2)) in.push_back(e);
  for (Event& e : parse("R2@4 R1@5")) in.push_back(e);
  for (Event& e : parse("R1@6", 2)) in.push_back(e);  // thread 2 has nothing open
  SliceShaper shaper;
  std::vector<Event> out;
  shaper.process(in, out);
  EXPECT_EQ(show(out), "S1@0 S2@1 S1@2/t2 R1@3/t2 R2@4 R1@5");
}

TEST(SliceShaper, MinimumDurationLeavesOutShortSlicesWithWhatIsInThem) {
  struct Case {
    const char* in;
    const char* out;
    uint64_t short_events;
  };
  const Case cases[] = {
      // Short slices go with everything inside them.
      {"S1@0 S2@1 R2@2 R1@50", "", 4},
      // A long slice is written with its original begin, at its end.
      {"S1@0 S2@1 R2@2 R1@150", "S1@0 R1@150", 2},
      // A long child brings out the begins around it, in order.
      {"S1@0 S2@10 S3@20 R3@21 R2@200 R1@210", "S1@0 S2@10 R2@200 R1@210", 2},
      // Generators: each resume..yield is a slice of its own.
      {"S1@0 Y1@150 M1@200 Y1@210 M1@300 R1@500", "S1@0 Y1@150 M1@300 R1@500", 2},
      // Exactly the minimum is long enough.
      {"S1@0 R1@100", "S1@0 R1@100", 0},
      // Markers and samples are written whatever they lie in, after it.
      {"S1@0 S2@1 R2@2 i5@3 R1@4", "S1@0 i5@3 R1@4", 2},
      {"S1@0 c5@3 R1@4 S2@5 R2@6", "S1@0 c5@3 R1@4", 2},
      // Ends of slices that began before the trace stay out.
      {"R9@0 S1@10 R1@500 R8@600", "S1@10 R1@500", 0},
      // Slices open at the end are written if they lasted long enough by the
      // last time seen: here the outer two, not the short innermost one.
      {"S1@0 S2@10 S3@190 S4@200", "S1@0 S2@10", 2},
  };
  for (const Case& c : cases) {
    uint64_t n = 0;
    EXPECT_EQ(shaped(c.in, 100, &n), c.out) << c.in;
    EXPECT_EQ(n, c.short_events) << c.in;
  }
}

TEST(SliceShaper, MinimumDurationKeepsEachThreadInTimeOrder) {
  // Deep, random-ish call trees: the output is well nested, every slice in
  // it lasted the minimum, ends come in time order, and every event is
  // either written or counted.
  std::vector<Event> in;
  uint64_t ts = 0;
  std::vector<uint32_t> stack;
  uint32_t seed = 12345;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 1103515245 + 12345;
    ts += (seed >> 16) % 40;
    if (stack.empty() || (((seed >> 8) & 3) != 0 && stack.size() < 30)) {
      uint32_t code = (seed >> 4) % 50;
      stack.push_back(code);
      in.push_back({ts, 1, pack_word(1, code)});
    } else {
      in.push_back({ts, 1, pack_word(2, stack.back())});
      stack.pop_back();
    }
  }
  SliceShaper shaper(200);
  std::vector<Event> out;
  shaper.process(in, out);
  shaper.finish(out);
  std::vector<std::pair<uint32_t, uint64_t>> open;
  uint64_t last_end = 0;
  for (const Event& e : out) {
    if (ends_slice(e.kind())) {
      ASSERT_FALSE(open.empty());
      ASSERT_EQ(open.back().first, e.code_id());
      ASSERT_GE(e.ts - open.back().second, 200u) << "a short slice was written";
      ASSERT_GE(e.ts, last_end);
      last_end = e.ts;
      open.pop_back();
    } else {
      ASSERT_GE(e.ts, open.empty() ? 0 : open.back().second);
      open.push_back({e.code_id(), e.ts});
    }
  }
  EXPECT_GT(out.size(), 100u);
  EXPECT_LT(out.size(), in.size());
  EXPECT_EQ(out.size() + shaper.short_events(), in.size())
      << "every event is either written or counted as short";
}

}  // namespace
}  // namespace morvex::core
