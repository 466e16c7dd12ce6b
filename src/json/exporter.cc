#include "json/exporter.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/user_event.h"
#include "format/records.h"

namespace morvex::json {

namespace {

using core::Status;

// Per kind byte: the phase letter with the text up to the timestamp, and the
// kind name with the text that closes the record. Kind bytes that are never
// recorded read as a start.
struct KindText {
  char phase[8];     // B",  "ts":   exactly 8 bytes
  char closing[16];  // start"}},    NUL-padded
  uint8_t closing_len;
};

constexpr KindText make_kind(uint8_t kind_byte, const char* name) {
  KindText k{};
  const char phase = core::ends_slice(kind_byte) ? 'E' : 'B';
  const char* ts = "\",\"ts\":";
  k.phase[0] = phase;
  for (int i = 0; i < 7; ++i) k.phase[1 + i] = ts[i];
  uint8_t n = 0;
  while (name[n] != '\0') {
    k.closing[n] = name[n];
    ++n;
  }
  const char* close = "\"}},";
  for (int i = 0; i < 4; ++i) k.closing[n + i] = close[i];
  k.closing_len = static_cast<uint8_t>(n + 4);
  return k;
}

constexpr KindText kKinds[14] = {
    make_kind(0, "start"),  // never recorded, read as a start
    make_kind(1, "start"),  make_kind(2, "return"), make_kind(3, "yield"),
    make_kind(4, "resume"), make_kind(5, "unwind"), make_kind(6, "throw"),
    // 7..11 carry payload and never come here.
    make_kind(1, "start"),  make_kind(1, "start"),  make_kind(1, "start"),
    make_kind(1, "start"),  make_kind(1, "start"),
    make_kind(12, "c_call"), make_kind(13, "c_return"),
};

inline const KindText& kind_text(uint8_t kind) { return kKinds[kind < 14 ? kind : 1]; }

// The unit of the fixed-size copies: one SSE or NEON register.
constexpr size_t kBlock = 16;

// Heads and tails are copied this many bytes at least, whatever their
// length: enough for most functions' names and files, and cheaper to move
// whole than to branch on lengths that change from one event to the next.
constexpr size_t kHeadBytes = 64;
constexpr size_t kTailBytes = 96;

// The whole blocks that cover n bytes, and at least `least` bytes.
constexpr size_t padded(size_t n, size_t least) {
  const size_t blocks = (n + kBlock - 1) / kBlock * kBlock;
  return blocks > least ? blocks : least;
}

// Copies n bytes by moving padded(n, kLeast) bytes: the first kLeast in
// fixed-size moves, where a memcpy of n bytes would be a library call that
// first dispatches on n, then whole blocks for a longer text. Both sides
// have those bytes.
template <size_t kLeast>
inline char* copy_padded(char* dst, const char* src, size_t n) {
  static_assert(kLeast % kBlock == 0);
  std::memcpy(dst, src, kLeast);
  for (size_t k = kLeast; k < n; k += kBlock) std::memcpy(dst + k, src + k, kBlock);
  return dst + n;
}

// The timestamp text. Events come thousands to a millisecond, so the digits
// of the whole milliseconds are kept, and each event renders only the last
// three digits of its microseconds and its three decimals.
class TimestampText {
 public:
  // The most write() stores: a block of millisecond digits then two triples
  // after at most 14 of them, or the text of a time below a millisecond.
  static constexpr size_t kMaxWrite = std::max(kBlock + 8, kMaxMicros);

  char* write(uint64_t nanos, char* p) {
    const uint64_t ms = nanos / 1'000'000;
    if (ms != ms_) [[unlikely]] {
      refresh(ms);
    }
    // Below a millisecond the microseconds have no leading zeros to keep.
    if (ms == 0) [[unlikely]] {
      return write_micros(nanos, p);
    }
    std::memcpy(p, digits_, sizeof digits_);
    p += len_;
    const auto rest = static_cast<uint32_t>(nanos - ms * 1'000'000);
    std::memcpy(p, kTriples.text[rest / 1000], 4);
    std::memcpy(p + 4, kTriples.text[rest % 1000], 4);
    return p + 7;
  }

 private:
  void refresh(uint64_t ms) {
    ms_ = ms;
    len_ = static_cast<size_t>(write_u64(ms, digits_) - digits_);
  }

  // No nanosecond count has this many milliseconds: the first event refreshes.
  uint64_t ms_ = UINT64_MAX;
  // (2^64 - 1) / 10^6 has 14 digits.
  char digits_[kBlock] = {};
  size_t len_ = 0;
};

// ,"pid":P,"tid":T for the thread of the last event: a batch holds long runs
// of one thread's events.
class ThreadText {
 public:
  static constexpr size_t kMaxWrite = 3 * kBlock;

  explicit ThreadText(uint32_t pid) : pid_(pid) {}

  char* write(uint32_t tid, char* p) {
    if (tid != tid_) [[unlikely]] {
      refresh(tid);
    }
    std::memcpy(p, text_, sizeof text_);
    return p + len_;
  }

 private:
  void refresh(uint32_t tid) {
    tid_ = tid;
    char* p = text_;
    std::memcpy(p, ",\"pid\":", 7);
    p = write_u64(pid_, p + 7);
    std::memcpy(p, ",\"tid\":", 7);
    p = write_u64(tid, p + 7);
    len_ = static_cast<size_t>(p - text_);
  }

  uint32_t pid_;
  // Wider than any tid: the first event refreshes.
  uint64_t tid_ = UINT64_MAX;
  // 7 + 10 + 7 + 10 bytes at most.
  char text_[kMaxWrite] = {};
  size_t len_ = 0;
};

// Record bytes beyond the code's head and tail blocks: the phase piece, the
// timestamp, the pid/tid piece and the closing, each as much as it stores.
constexpr size_t kMaxRecordExtra = sizeof(KindText::phase) + TimestampText::kMaxWrite +
                                   ThreadText::kMaxWrite + sizeof(KindText::closing);

// How far past its end the dense table grows to take a new id: ids come
// nearly in order, but not quite, as threads' batches interleave.
constexpr size_t kDenseGrowth = 4096;

// Rendering asks the file for this much room at a time.
constexpr size_t kRoomChunk = 64 * 1024;

uint64_t process_seed() {
  static const uint64_t seed = core::random_seed();
  return seed;
}

}  // namespace

Template Template::of(const core::CodeInfo& info) {
  Template t;
  t.head = "{\"name\":";
  push_json_string(t.head, info.qualname.empty() ? std::string_view("<unknown>") : info.qualname);
  t.head += ",\"cat\":";
  push_json_string(t.head, format::kFunctionCategory);
  t.head += ",\"ph\":\"";
  t.tail = ",\"args\":{\"file\":";
  push_json_string(t.tail, info.filename);
  t.tail += ",\"line\":";
  push_u64(t.tail, info.first_line);
  t.tail += ",\"kind\":\"";
  return t;
}

JsonExporter::CodeText::CodeText(const Template& t)
    : head_len(static_cast<uint32_t>(t.head.size())),
      tail_at(static_cast<uint32_t>(padded(t.head.size(), kHeadBytes))),
      tail_len(static_cast<uint32_t>(t.tail.size())) {
  const size_t size = tail_at + padded(t.tail.size(), kTailBytes);
  bytes = std::make_unique<char[]>(size);  // zeroed: the padding is never garbage
  std::memcpy(bytes.get(), t.head.data(), t.head.size());
  std::memcpy(bytes.get() + tail_at, t.tail.data(), t.tail.size());
  room = static_cast<uint32_t>(size + kMaxRecordExtra);
}

JsonExporter::JsonExporter(core::SharedFile out, uint32_t pid)
    : out_(std::move(out)), sparse_(process_seed()), pid_(pid) {}

JsonExporter JsonExporter::create(core::SharedFile out) {
  return JsonExporter(std::move(out), static_cast<uint32_t>(::getpid()));
}

JsonExporter JsonExporter::create(core::SharedFile out, uint32_t pid) {
  return JsonExporter(std::move(out), pid);
}

const JsonExporter::CodeText& JsonExporter::other_code_text(uint32_t code_id,
                                                            const core::CodeLookup& code) {
  if (const CodeText* t = sparse_.find(code_id)) return *t;
  // An id the lookup does not know still gets a record: "<unknown>", no
  // file, line 0, cached like any other.
  std::optional<core::CodeInfo> info = code.code(code_id);
  CodeText text(Template::of(info ? *info : core::CodeInfo{}));
  if (code_id < dense_.size() + kDenseGrowth) {
    if (code_id >= dense_.size()) dense_.resize(std::max<size_t>(code_id + 1, dense_.size() * 2));
    return dense_[code_id] = std::move(text);
  }
  return *sparse_.try_emplace(code_id, std::move(text)).first;
}

Status JsonExporter::write_batch(std::span<const core::Event> events, const core::CodeLookup& code,
                                 const core::ThreadNames&) {
  TimestampText timestamp;
  ThreadText thread(pid_);
  // Ids have 24 bits: no event has this one.
  uint32_t last_id = UINT32_MAX;
  const CodeText* text = nullptr;

  // Records are rendered at p, in the file's buffer between base and end;
  // they become pending when committed.
  char* base = nullptr;
  char* p = nullptr;
  char* end = nullptr;
  auto reopen = [&](size_t at_least) {
    std::span<uint8_t> room = out_.room(std::max(at_least, kRoomChunk));
    base = p = reinterpret_cast<char*>(room.data());
    end = base + room.size();
  };
  reopen(0);

  for (size_t i = 0; i < events.size(); ++i) {
    const core::Event& ev = events[i];
    const uint8_t kind = ev.kind();
    if (core::is_user_kind(kind)) [[unlikely]] {
      out_.commit(static_cast<size_t>(p - base));
      std::span<const core::Event> unit = events.subspan(i, 1 + core::payload_records(events, i));
      write_user_event(unit);
      i += unit.size() - 1;
      reopen(0);
      continue;
    }
    if (ev.code_id() != last_id) {
      last_id = ev.code_id();
      if (last_id < dense_.size() && dense_[last_id].bytes) [[likely]] {
        text = &dense_[last_id];
      } else {
        text = &other_code_text(last_id, code);
      }
    }
    if (static_cast<size_t>(end - p) < text->room) [[unlikely]] {
      out_.commit(static_cast<size_t>(p - base));
      reopen(text->room);
    }
    const KindText& k = kind_text(kind);
    p = copy_padded<kHeadBytes>(p, text->bytes.get(), text->head_len);
    std::memcpy(p, k.phase, sizeof k.phase);
    p = timestamp.write(ev.ts, p + sizeof k.phase);
    p = thread.write(ev.tid, p);
    p = copy_padded<kTailBytes>(p, text->bytes.get() + text->tail_at, text->tail_len);
    std::memcpy(p, k.closing, sizeof k.closing);
    p += k.closing_len;
  }
  out_.commit(static_cast<size_t>(p - base));
  return out_.flush();
}

namespace {

// Shortest text that reads back as the same double; JSON has no NaN or
// infinity, so those are null.
void push_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string_view text(buf, static_cast<size_t>(end - buf));
  out += text;
  // "1e+20" and "5" are numbers already; keep a float a float.
  if (text.find_first_of(".eEn") == std::string_view::npos) out += ".0";
}

void push_value(std::string& out, const core::UserValue& v) {
  switch (v.type) {
    case core::UserValue::Type::None:
      out += "null";
      break;
    case core::UserValue::Type::Bool:
      out += v.i != 0 ? "true" : "false";
      break;
    case core::UserValue::Type::Int:
      out += std::to_string(v.i);
      break;
    case core::UserValue::Type::Double:
      push_double(out, v.d);
      break;
    case core::UserValue::Type::Str:
      push_json_string(out, v.s);
      break;
  }
}

}  // namespace

void JsonExporter::write_user_event(std::span<const core::Event> unit) {
  const core::Event& head = unit.front();
  core::UserPayload payload;
  if (!core::decode_payload(core::payload_bytes(unit, 0, payload_buf_), payload)) return;
  const auto kind = static_cast<core::EventKind>(head.kind());
  std::string r = "{\"name\":";
  push_json_string(r, payload.name);
  r += ",\"cat\":";
  push_json_string(r, payload.name == format::kLostEventsName ? format::kMorvexCategory
                                                              : format::kUserCategory);
  r += ",\"ph\":";
  switch (kind) {
    case core::EventKind::SpanBegin:
      r += "\"B\"";
      break;
    case core::EventKind::SpanEnd:
      r += "\"E\"";
      break;
    case core::EventKind::Instant:
      r += "\"i\",\"s\":\"t\"";
      break;
    default:
      r += "\"C\"";
      break;
  }
  r += ",\"ts\":";
  push_micros(r, head.ts);
  r += ",\"pid\":";
  push_u64(r, pid_);
  r += ",\"tid\":";
  push_u64(r, head.tid);
  if (kind != core::EventKind::SpanEnd) {
    r += ",\"args\":{";
    if (kind == core::EventKind::Counter) {
      // A number whatever the value's type, as Chrome's counters need and as
      // the Perfetto writer reads it: a bool is 1 or 0.
      const core::UserValue v = payload.args.empty() ? core::UserValue{} : payload.args[0].value;
      r += "\"value\":";
      if (v.type == core::UserValue::Type::Double) {
        push_double(r, v.d);
      } else {
        r += std::to_string(v.i);
      }
    } else {
      for (size_t k = 0; k < payload.args.size(); ++k) {
        if (k != 0) r += ',';
        push_json_string(r, payload.args[k].key);
        r += ':';
        push_value(r, payload.args[k].value);
      }
    }
    r += '}';
  }
  r += "},";
  out_.write_all(r);
}

void JsonExporter::write_record(const Value& record) {
  std::string text;
  record.write_to(text);
  text.push_back(',');
  out_.write_all(text);
}

Status JsonExporter::finish(const core::CodeLookup&, const core::ThreadNames& threads,
                            const core::RunEnd& end) {
  if (anchor_) {
    Value record = Value::object();
    record.set("name", std::string(format::kClockRecord))
        .set("ph", "M")
        .set("pid", uint64_t{pid_})
        .set("tid", uint64_t{0})
        .set("args", Value::object()
                         .set(std::string(format::kHostKey), anchor_->host)
                         .set(std::string(format::kRealtimeKey), anchor_->realtime_ns));
    write_record(record);
  }
  for (const auto& [tid, name] : threads.snapshot()) {
    Value record = Value::object();
    record.set("name", "thread_name")
        .set("ph", "M")
        .set("pid", uint64_t{pid_})
        .set("tid", uint64_t{tid})
        .set("args", Value::object().set("name", name));
    write_record(record);
  }
  if (end.filters) {
    Value args = Value::object();
    for (core::FilterField& f : core::filter_fields(*end.filters))
      args.set(std::string(f.key), f.is_number ? Value(f.number) : Value(std::move(f.text)));
    Value record = Value::object();
    record.set("name", std::string(format::kFiltersRecord))
        .set("ph", "M")
        .set("pid", uint64_t{pid_})
        .set("tid", uint64_t{0})
        .set("args", std::move(args));
    write_record(record);
  }
  if (end.dropped != 0) {
    Value record = Value::object();
    record.set("name", std::string(format::kDroppedRecord))
        .set("ph", "M")
        .set("pid", uint64_t{pid_})
        .set("tid", uint64_t{0})
        .set("args", Value::object().set(std::string(format::kDroppedCountKey), end.dropped));
    write_record(record);
  }
  return out_.flush();
}

}  // namespace morvex::json
