// The Chrome trace-event JSON parser: "[" and then objects separated by
// commas, with or without the closing "]" (morvex never writes it, because
// several processes may append to one file); or the object form other tools
// write, {"traceEvents": [...], ...}, whose other members (displayTimeUnit,
// which changes only how a viewer shows times, metadata, ...) are skipped.
// An object that is not closed is a cut-off file.
//
// Records are parsed one at a time from the input window without building
// a document: the keys the reader knows are picked out as views into the
// window, every other value is skipped. A record that runs past the window
// is parsed again once the window holds more (the window doubles, so a long
// record is parsed a few times, not once per byte); one longer than
// Input::kMaxRecord fails the read.
//
// What it understands (everything else is skipped):
//   "B"/"E" in category "py" (functions, with args file, line and kind) and
//   "user" (spans), "X" complete events (a begin and its end in one record,
//   see HeldSlices), "i"/"I" instants, "C" counters (args.value), and the
//   metadata records thread_name, process_name, morvex_dropped_events and
//   morvex_filters.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/records.h"
#include "reader/parse.h"
#include "reader/strindex.h"

namespace morvex::reader {

namespace {

// A JSON string as it stands in the file, between its quotes.
struct Str {
  std::string_view raw;
  bool escaped = false;
  bool present = false;
};

// A JSON number as it stands in the file.
struct Num {
  std::string_view raw;
  bool present = false;
};

struct Record {
  Str name, cat, ph;
  Num ts, dur, pid, tid;
  // args
  Str arg_name, file, kind, include, exclude, host;
  Num line, count, value, max_depth, min_duration_ns, filtered_functions, max_depth_events,
      min_duration_events, realtime_ns;
};

inline bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

uint32_t hex_digit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint32_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint32_t>(c - 'A' + 10);
  return 0x100;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Reads \uXXXX at s[i] (s[i] == 'u'); returns the code unit or 0x10000+ when
// malformed, and moves i past it.
uint32_t read_u4(std::string_view s, size_t& i) {
  if (i + 5 > s.size()) return 0x110000;
  uint32_t v = 0;
  for (size_t k = 1; k <= 4; ++k) v = (v << 4) | hex_digit(s[i + k]);
  if (v > 0xFFFF) return 0x110000;
  i += 5;
  return v;
}

// The bytes a JSON string stands for; lone surrogates become U+FFFD.
std::string unescape(const Str& s) {
  if (!s.escaped) return std::string(s.raw);
  std::string out;
  std::string_view r = s.raw;
  for (size_t i = 0; i < r.size();) {
    if (r[i] != '\\' || i + 1 >= r.size()) {
      out.push_back(r[i++]);
      continue;
    }
    char e = r[i + 1];
    switch (e) {
      case 'b':
        out.push_back('\b');
        i += 2;
        continue;
      case 'f':
        out.push_back('\f');
        i += 2;
        continue;
      case 'n':
        out.push_back('\n');
        i += 2;
        continue;
      case 'r':
        out.push_back('\r');
        i += 2;
        continue;
      case 't':
        out.push_back('\t');
        i += 2;
        continue;
      case 'u':
        break;
      default:
        out.push_back(e);
        i += 2;
        continue;
    }
    ++i;
    uint32_t cp = read_u4(r, i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < r.size() && r[i] == '\\' && r[i + 1] == 'u') {
      size_t j = i + 1;
      uint32_t low = read_u4(r, j);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i = j;
      }
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    append_utf8(out, cp);
  }
  return out;
}

// A JSON number as a double, or `fallback` for what is not one.
double to_double(const Num& n, double fallback) {
  if (!n.present || n.raw.size() >= 64) return fallback;
  char buf[64];
  std::memcpy(buf, n.raw.data(), n.raw.size());
  buf[n.raw.size()] = '\0';
  char* end = nullptr;
  double v = std::strtod(buf, &end);
  return end == buf + n.raw.size() ? v : fallback;
}

// A count or id: plain digits exactly, anything else through a double,
// negative and missing values 0.
uint64_t to_u64(const Num& n) {
  if (!n.present) return 0;
  uint64_t v = 0;
  auto [ptr, ec] = std::from_chars(n.raw.data(), n.raw.data() + n.raw.size(), v);
  if (ec == std::errc() && ptr == n.raw.data() + n.raw.size()) return v;
  double d = to_double(n, 0);
  if (!(d > 0)) return 0;
  return d >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(d);
}

// Microseconds (as morvex writes them: digits, a point, three digits) to
// nanoseconds, exactly; other forms through a double.
uint64_t micros_to_nanos(const Num& n) {
  if (!n.present) return 0;
  std::string_view r = n.raw;
  uint64_t whole = 0;
  auto [ptr, ec] = std::from_chars(r.data(), r.data() + r.size(), whole);
  const char* end = r.data() + r.size();
  if (ec == std::errc() && whole <= (UINT64_MAX - 999) / 1000) {
    if (ptr == end) return whole * 1000;
    if (*ptr == '.' && end - ptr == 4) {
      uint64_t frac = 0;
      auto [p2, ec2] = std::from_chars(ptr + 1, end, frac);
      if (ec2 == std::errc() && p2 == end) return whole * 1000 + frac;
    }
  }
  double us = to_double(n, 0);
  if (!(us > 0)) return 0;
  double ns = std::round(us * 1000);
  return ns >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(ns);
}

// Complete ("X") events come in whatever order their writer chose; many
// write a slice when it ends, so children before their parents. From a
// thread's first X event on, its slices are held, and handed to the builder
// when the file ends: begins and ends in file order, X events by start
// (the longer first when two start together), merged by time, a begin or
// end before an X event of the same time. An X event holds what begins
// within it, and ends at its parent's end if it would outlive it. This is
// the one place where the reader's memory follows the number of events
// (24 bytes a slice, on threads that have X events).
class HeldSlices {
 public:
  bool holds(uint32_t thread) const { return thread < threads_.size() && threads_[thread].held; }

  void begin(uint32_t thread, uint32_t function, uint64_t ts, bool call) {
    Lane& l = lane(thread);
    l.ordered.push_back({monotone(l, ts), kOpen, function, true, call});
  }
  void end(uint32_t thread, uint64_t ts) {
    Lane& l = lane(thread);
    l.ordered.push_back({monotone(l, ts), 0, kNone, false, false});
  }
  void complete(uint32_t thread, uint32_t function, uint64_t ts, uint64_t dur, bool call) {
    const uint64_t end = ts > UINT64_MAX - dur ? UINT64_MAX - 1 : ts + dur;
    lane(thread).complete.push_back({ts, end, function, true, call});
  }

  void flush(Builder& b) {
    for (uint32_t thread = 0; thread < threads_.size(); ++thread) {
      Lane& l = threads_[thread];
      if (!l.held) continue;
      std::stable_sort(l.complete.begin(), l.complete.end(), [](const Item& a, const Item& x) {
        return a.ts != x.ts ? a.ts < x.ts : a.end > x.end;
      });
      replay(b, thread, l);
      l = Lane{};
    }
  }

 private:
  // The end of a held begin whose end comes as a record of its own.
  static constexpr uint64_t kOpen = UINT64_MAX;

  struct Item {
    uint64_t ts;
    uint64_t end;  // X events; kOpen for a begin, 0 for an end
    uint32_t function;
    bool begin;
    bool call;
  };
  struct Lane {
    bool held = false;
    uint64_t last_ts = 0;
    std::vector<Item> ordered;   // begins and ends, in file order
    std::vector<Item> complete;  // X events
  };

  Lane& lane(uint32_t thread) {
    if (threads_.size() <= thread) threads_.resize(thread + 1);
    Lane& l = threads_[thread];
    l.held = true;
    return l;
  }

  // Begins and ends keep their order, as the builder would keep it by
  // raising a time that goes backwards.
  static uint64_t monotone(Lane& l, uint64_t ts) {
    if (ts < l.last_ts) ts = l.last_ts;
    l.last_ts = ts;
    return ts;
  }

  static void replay(Builder& b, uint32_t thread, const Lane& l) {
    // The ends of the slices begun here and still open, innermost last.
    std::vector<uint64_t> open;
    auto close_due = [&](uint64_t ts) {
      while (!open.empty() && open.back() != kOpen && open.back() <= ts) {
        b.end(thread, open.back());
        open.pop_back();
      }
    };
    size_t i = 0, k = 0;
    while (i < l.ordered.size() || k < l.complete.size()) {
      const bool take_ordered =
          k == l.complete.size() || (i < l.ordered.size() && l.ordered[i].ts <= l.complete[k].ts);
      const Item& it = take_ordered ? l.ordered[i++] : l.complete[k++];
      close_due(it.ts);
      if (!it.begin) {
        // An end closes the innermost open begin, and the X events inside it
        // that would outlive it.
        while (!open.empty() && open.back() != kOpen) {
          b.end(thread, it.ts);
          open.pop_back();
        }
        if (!open.empty()) open.pop_back();
        b.end(thread, it.ts);
        continue;
      }
      uint64_t end = it.end;
      if (end != kOpen && !open.empty() && open.back() != kOpen && open.back() < end) {
        end = open.back();
      }
      b.begin(thread, it.function, it.ts, it.call);
      open.push_back(end);
    }
    while (!open.empty() && open.back() != kOpen) {
      b.end(thread, open.back());
      open.pop_back();
    }
  }

  std::vector<Lane> threads_;  // by the builder's thread id
};

class JsonParser {
 public:
  explicit JsonParser(Builder& b) : b_(b) {}

  enum class Status { Ok, More, Bad };

  // Parses the object at p (*p == '{') and moves p past it.
  Status record(const char*& p, const char* end) {
    more_ = false;
    rec_ = Record{};
    const char* q = object(p, end, /*args=*/false);
    if (q == nullptr) return more_ ? Status::More : Status::Bad;
    p = q;
    apply();
    return Status::Ok;
  }

  // A member of the top-level object, p at its key's quote: moves p past the
  // member, or for "traceEvents" holding an array past its "[", and says so.
  Status member(const char*& p, const char* end, bool& events) {
    more_ = false;
    events = false;
    Str key;
    const char* q = string(p, end, &key);
    if (q == nullptr || (q = ws(q, end)) == end) return more_ ? Status::More : Status::Bad;
    if (*q != ':') return Status::Bad;
    if ((q = ws(q + 1, end)) == end) return Status::More;
    if (key.raw == "traceEvents" && *q == '[') {
      events = true;
      p = q + 1;
      return Status::Ok;
    }
    q = skip_value(q, end);
    if (q == nullptr) return more_ ? Status::More : Status::Bad;
    p = q;
    return Status::Ok;
  }

  // Hands the held slices to the builder, once the file has ended.
  void finish() { held_.flush(b_); }

 private:
  const char* ws(const char* p, const char* end) {
    while (p < end && is_ws(*p)) ++p;
    if (p == end) more_ = true;
    return p;
  }

  // p at the opening quote.
  const char* string(const char* p, const char* end, Str* out) {
    const char* q = p + 1;
    bool escaped = false;
    for (;;) {
      while (q < end && *q != '"' && *q != '\\') ++q;
      if (q >= end) {
        more_ = true;
        return nullptr;
      }
      if (*q == '"') break;
      escaped = true;
      q += 2;  // the backslash and the character it escapes
    }
    if (out != nullptr)
      *out = Str{std::string_view(p + 1, static_cast<size_t>(q - p - 1)), escaped, true};
    return q + 1;
  }

  const char* number(const char* p, const char* end, Num* out) {
    const char* q = p;
    while (q < end && ((*q >= '0' && *q <= '9') || *q == '-' || *q == '+' || *q == '.' ||
                       *q == 'e' || *q == 'E')) {
      ++q;
    }
    if (q == end) {
      more_ = true;
      return nullptr;
    }
    if (q == p) return nullptr;
    if (out != nullptr) *out = Num{std::string_view(p, static_cast<size_t>(q - p)), true};
    return q;
  }

  const char* literal(const char* p, const char* end) {
    for (std::string_view word : {"true", "false", "null"}) {
      if (*p != word[0]) continue;
      size_t have = std::min(word.size(), static_cast<size_t>(end - p));
      if (std::string_view(p, have) != word.substr(0, have)) return nullptr;
      if (have < word.size()) {
        more_ = true;
        return nullptr;
      }
      return p + word.size();
    }
    return nullptr;
  }

  // Any value, without recursion: nesting is counted, strings are skipped
  // whole so brackets inside them do not count.
  const char* skip_value(const char* p, const char* end) {
    size_t depth = 0;
    for (;;) {
      if (p >= end) {
        more_ = true;
        return nullptr;
      }
      const char c = *p;
      if (c == '"') {
        p = string(p, end, nullptr);
        if (p == nullptr) return nullptr;
      } else if (c == '{' || c == '[') {
        ++depth;
        ++p;
      } else if (c == '}' || c == ']') {
        if (depth == 0) return nullptr;
        --depth;
        ++p;
      } else if (is_ws(c) || c == ',' || c == ':') {
        if (depth == 0) return nullptr;
        ++p;
      } else if (c == 't' || c == 'f' || c == 'n') {
        p = literal(p, end);
        if (p == nullptr) return nullptr;
      } else {
        p = number(p, end, nullptr);
        if (p == nullptr) return nullptr;
      }
      if (depth == 0) return p;
    }
  }

  // A value for a known key: taken when of the expected kind, else skipped.
  const char* take(const char* p, const char* end, Str* s, Num* n) {
    if (s != nullptr && *p == '"') return string(p, end, s);
    if (n != nullptr && (*p == '-' || (*p >= '0' && *p <= '9'))) return number(p, end, n);
    return skip_value(p, end);
  }

  const char* value(std::string_view key, const char* p, const char* end, bool args) {
    Record& r = rec_;
    if (!args) {
      if (key == "name") return take(p, end, &r.name, nullptr);
      if (key == "cat") return take(p, end, &r.cat, nullptr);
      if (key == "ph") return take(p, end, &r.ph, nullptr);
      if (key == "ts") return take(p, end, nullptr, &r.ts);
      if (key == "dur") return take(p, end, nullptr, &r.dur);
      if (key == "pid") return take(p, end, nullptr, &r.pid);
      if (key == "tid") return take(p, end, nullptr, &r.tid);
      if (key == "args" && *p == '{') return object(p, end, /*args=*/true);
      return skip_value(p, end);
    }
    if (key == "file") return take(p, end, &r.file, nullptr);
    if (key == "line") return take(p, end, nullptr, &r.line);
    if (key == "kind") return take(p, end, &r.kind, nullptr);
    if (key == "name") return take(p, end, &r.arg_name, nullptr);
    namespace fk = format::filter_key;
    if (key == format::kDroppedCountKey) return take(p, end, nullptr, &r.count);
    if (key == "value") return take(p, end, nullptr, &r.value);
    if (key == format::kHostKey) return take(p, end, &r.host, nullptr);
    if (key == format::kRealtimeKey) return take(p, end, nullptr, &r.realtime_ns);
    if (key == fk::kInclude) return take(p, end, &r.include, nullptr);
    if (key == fk::kExclude) return take(p, end, &r.exclude, nullptr);
    if (key == fk::kMaxDepth) return take(p, end, nullptr, &r.max_depth);
    if (key == fk::kMinDurationNs) return take(p, end, nullptr, &r.min_duration_ns);
    if (key == fk::kFilteredFunctions) return take(p, end, nullptr, &r.filtered_functions);
    if (key == fk::kMaxDepthEvents) return take(p, end, nullptr, &r.max_depth_events);
    if (key == fk::kMinDurationEvents) return take(p, end, nullptr, &r.min_duration_events);
    return skip_value(p, end);
  }

  // p at '{'.
  const char* object(const char* p, const char* end, bool args) {
    p = ws(p + 1, end);
    if (p == end) return nullptr;
    if (*p == '}') return p + 1;
    for (;;) {
      if (*p != '"') return nullptr;
      Str key;
      p = string(p, end, &key);
      if (p == nullptr || (p = ws(p, end)) == end) return nullptr;
      if (*p != ':') return nullptr;
      if ((p = ws(p + 1, end)) == end) return nullptr;
      p = value(key.raw, p, end, args);
      if (p == nullptr || (p = ws(p, end)) == end) return nullptr;
      if (*p == '}') return p + 1;
      if (*p != ',') return nullptr;
      if ((p = ws(p + 1, end)) == end) return nullptr;
    }
  }

  uint32_t thread() {
    const auto pid = static_cast<uint32_t>(to_u64(rec_.pid));
    const auto tid = static_cast<uint32_t>(to_u64(rec_.tid));
    const uint64_t key = (uint64_t{pid} << 32) | tid;
    if (key != last_thread_key_ || last_thread_ == kNone) {
      last_thread_key_ = key;
      last_thread_ = b_.thread(pid, tid);
    }
    return last_thread_;
  }

  // The function of a begin, found by the record's raw bytes so that a
  // known function costs one hash lookup.
  uint32_t function(bool span) {
    const uint64_t line = span ? 0 : to_u64(rec_.line);
    key_.clear();
    key_.push_back(span ? 'S' : 'F');
    key_.append(rec_.name.raw);
    key_.push_back('\0');
    if (!span) {
      key_.append(rec_.file.raw);
      key_.push_back('\0');
      key_.append(reinterpret_cast<const char*>(&line), sizeof line);
    }
    uint32_t id = functions_.find(key_);
    if (id != StringIndex::kMissing) return id;
    id = b_.function(unescape(rec_.name), span ? std::string() : unescape(rec_.file),
                     static_cast<uint32_t>(std::min<uint64_t>(line, UINT32_MAX)), span);
    functions_.insert(key_, id);
    return id;
  }

  void apply() {
    const Record& r = rec_;
    if (r.ph.raw.size() != 1) return;
    const bool user = r.cat.raw == format::kUserCategory;
    switch (r.ph.raw[0]) {
      case 'B': {
        const uint32_t t = thread();
        if (held_.holds(t)) [[unlikely]] {
          held_.begin(t, function(user), micros_to_nanos(r.ts), is_call(user));
        } else {
          b_.begin(t, function(user), micros_to_nanos(r.ts), is_call(user));
        }
        break;
      }
      case 'E': {
        const uint32_t t = thread();
        if (held_.holds(t)) [[unlikely]] {
          held_.end(t, micros_to_nanos(r.ts));
        } else {
          b_.end(t, micros_to_nanos(r.ts));
        }
        break;
      }
      case 'X': {
        // A duration that is missing, negative or no number leaves no slice
        // to draw: the event is skipped, and counted.
        const double dur = to_double(r.dur, -1);
        if (!(dur >= 0)) {
          b_.skip_complete();
          break;
        }
        held_.complete(thread(), function(user), micros_to_nanos(r.ts), micros_to_nanos(r.dur),
                       is_call(user));
        break;
      }
      case 'i':
      case 'I':
        b_.instant(thread(), micros_to_nanos(r.ts), r.name.escaped ? unescape(r.name) : r.name.raw);
        break;
      case 'C': {
        const uint32_t counter = b_.counter(static_cast<uint32_t>(to_u64(r.pid)),
                                            r.name.escaped ? unescape(r.name) : r.name.raw);
        if (r.value.present) b_.sample(counter, micros_to_nanos(r.ts), to_double(r.value, 0));
        break;
      }
      case 'M':
        metadata();
        break;
      default:
        break;
    }
  }

  // Resumes and throws begin a slice, not a call; a begin without a kind
  // (user spans, other writers) is a call, and so is a C call's.
  bool is_call(bool user) const {
    return user || !rec_.kind.present || rec_.kind.raw == "start" || rec_.kind.raw == "c_call";
  }

  void metadata() {
    const Record& r = rec_;
    const auto pid = static_cast<uint32_t>(to_u64(r.pid));
    if (r.name.raw == "thread_name" && r.arg_name.present) {
      b_.set_thread_name(thread(), unescape(r.arg_name));
    } else if (r.name.raw == "process_name" && r.arg_name.present) {
      b_.set_process_name(pid, unescape(r.arg_name));
    } else if (r.name.raw == format::kDroppedRecord) {
      b_.add_dropped(pid, to_u64(r.count));
    } else if (r.name.raw == format::kClockRecord && r.realtime_ns.present) {
      b_.set_anchor(pid, to_u64(r.realtime_ns), r.host.present ? unescape(r.host) : std::string());
    } else if (r.name.raw == format::kFiltersRecord) {
      FilterInfo f;
      if (r.include.present) f.include = unescape(r.include);
      if (r.exclude.present) f.exclude = unescape(r.exclude);
      if (r.max_depth.present) f.max_depth = to_u64(r.max_depth);
      if (r.min_duration_ns.present) f.min_duration_ns = to_u64(r.min_duration_ns);
      f.filtered_functions = to_u64(r.filtered_functions);
      f.max_depth_events = to_u64(r.max_depth_events);
      f.min_duration_events = to_u64(r.min_duration_events);
      b_.set_filters(pid, f);
    }
  }

  Builder& b_;
  HeldSlices held_;
  Record rec_;
  bool more_ = false;
  std::string key_;
  StringIndex functions_;
  uint64_t last_thread_key_ = 0;
  uint32_t last_thread_ = kNone;
};

}  // namespace

bool looks_like_json(Input& in) {
  // A JSON trace starts with "[" or "{" after at most a little whitespace.
  constexpr size_t kMaxLeadingWhitespace = 4096;
  for (size_t i = 0; i <= kMaxLeadingWhitespace; ++i) {
    if (!in.ensure(i + 1)) return false;
    const char c = static_cast<char>(in.data()[i]);
    if (c == '[' || c == '{') return true;
    if (!is_ws(c)) return false;
  }
  return false;
}

bool only_whitespace(Input& in) {
  for (size_t i = 0; i < Input::kMaxRecord; ++i) {
    if (!in.ensure(i + 1)) return i != 0 && !in.error();
    if (!is_ws(static_cast<char>(in.data()[i]))) return false;
  }
  return false;
}

namespace {

// Where the parser is in the file.
enum class Where {
  Array,    // the bare array, which further appends may follow
  Members,  // between the members of the top-level object
  Events,   // in its "traceEvents" array
  Done,     // past the object's "}": only whitespace may follow
};

ParseOutcome parse_records(Input& in, JsonParser& parser) {
  uint64_t records = 0;
  Where where = Where::Array;
  bool started = false, found_events = false;
  for (;;) {
    if (in.avail() == 0 && !in.ensure(1)) {
      if (where == Where::Members || where == Where::Events) {
        return {Damage::CutOff, in.offset(), false, records};
      }
      // An object without "traceEvents" is JSON, but no trace.
      if (where == Where::Done && !found_events) return {Damage::Corrupt, 0, false, 0};
      return {.records = records};
    }
    const char* base = reinterpret_cast<const char*>(in.data());
    const char* end = base + in.avail();
    const char* p = base;
    size_t need = 0;
    auto corrupt = [&]() -> ParseOutcome {
      in.advance(static_cast<size_t>(p - base));
      return {Damage::Corrupt, in.offset(), false, records};
    };
    while (p < end) {
      const char c = *p;
      if (is_ws(c) || (c == ',' && where != Where::Done)) {
        ++p;
        continue;
      }
      if (!started) {
        started = true;
        if (c == '{') {
          where = Where::Members;
          ++p;
          continue;
        }
      }
      JsonParser::Status status;
      if (where == Where::Array) {
        // The opening bracket, and a closing one (after which further
        // appends may still follow).
        if (c == '[' || c == ']') {
          ++p;
          continue;
        }
        if (c != '{') return corrupt();
        status = parser.record(p, end);
        if (status == JsonParser::Status::Ok) ++records;
      } else if (where == Where::Events) {
        if (c == ']') {
          where = Where::Members;
          ++p;
          continue;
        }
        if (c != '{') return corrupt();
        status = parser.record(p, end);
        if (status == JsonParser::Status::Ok) ++records;
      } else if (where == Where::Members) {
        if (c == '}') {
          where = Where::Done;
          ++p;
          continue;
        }
        if (c != '"') return corrupt();
        bool events = false;
        status = parser.member(p, end, events);
        if (events) {
          where = Where::Events;
          found_events = true;
        }
      } else {
        return corrupt();
      }
      if (status == JsonParser::Status::Bad) return corrupt();
      if (status == JsonParser::Status::More) {
        need = static_cast<size_t>(end - p) + 1;
        break;
      }
    }
    in.advance(static_cast<size_t>(p - base));
    if (need != 0 && !in.ensure(need)) {
      if (need > Input::kMaxRecord) return {Damage::CutOff, in.offset(), true, records};
      if (in.avail() == 0) return {.records = records};
      return {Damage::CutOff, in.offset(), false, records};
    }
  }
}

}  // namespace

ParseOutcome parse_json(Input& in, Builder& builder) {
  JsonParser parser(builder);
  const ParseOutcome outcome = parse_records(in, parser);
  parser.finish();
  return outcome;
}

}  // namespace morvex::reader
