#include "json/exporter.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/user_event.h"

namespace morvex::json {

namespace {

using core::Status;

constexpr size_t kBatchCapacity = 256 * 1024;

// Decimal digit pairs "00".."99", so a number is written two digits a step.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr size_t kMaxU64Digits = 20;

inline unsigned decimal_digits(uint64_t v) {
  unsigned n = 1;
  for (;;) {
    if (v < 10) return n;
    if (v < 100) return n + 1;
    if (v < 1000) return n + 2;
    if (v < 10000) return n + 3;
    v /= 10000;
    n += 4;
  }
}

inline char* write_u64(uint64_t v, char* out) {
  char* end = out + decimal_digits(v);
  char* p = end;
  while (v >= 100) {
    unsigned pair = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    *--p = kDigitPairs[pair + 1];
    *--p = kDigitPairs[pair];
  }
  if (v >= 10) {
    *--p = kDigitPairs[v * 2 + 1];
    *--p = kDigitPairs[v * 2];
  } else {
    *--p = static_cast<char>('0' + v);
  }
  return end;
}

// Integer part, a point, then always three digits of the remainder.
constexpr size_t kMaxMicros = kMaxU64Digits + 4;
inline char* write_micros(uint64_t nanos, char* out) {
  char* p = write_u64(nanos / 1000, out);
  auto frac = static_cast<unsigned>(nanos % 1000);
  p[0] = '.';
  p[1] = static_cast<char>('0' + frac / 100);
  p[2] = kDigitPairs[(frac % 100) * 2];
  p[3] = kDigitPairs[(frac % 100) * 2 + 1];
  return p + 4;
}

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

constexpr KindText kKinds[7] = {
    make_kind(0, "start"),  // never recorded, read as a start
    make_kind(1, "start"),  make_kind(2, "return"), make_kind(3, "yield"),
    make_kind(4, "resume"), make_kind(5, "unwind"), make_kind(6, "throw"),
};

inline const KindText& kind_text(uint8_t kind) { return kKinds[kind < 7 ? kind : 1]; }

// Longest record apart from the template: phase piece, timestamp, pid and
// tid with their keys, closing.
constexpr size_t kMaxRecordExtra = 8 + kMaxMicros + 7 + 10 + 7 + 10 + sizeof(KindText::closing);

uint64_t process_seed() {
  static const uint64_t seed = core::random_seed();
  return seed;
}

}  // namespace

void push_string(std::string& out, std::string_view bytes) {
  // The bytes that have a two-character escape, and the letter each takes.
  static constexpr std::string_view kShort("\b\t\n\f\r\"\\");
  static constexpr std::string_view kLetter("btnfr\"\\");
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (size_t i = kShort.find(ch); i != std::string_view::npos) {
      out.push_back('\\');
      out.push_back(kLetter[i]);
    } else if (c < 0x20) {
      char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(esc, sizeof esc);
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

void push_u64(std::string& out, uint64_t value) {
  char buf[kMaxU64Digits];
  out.append(buf, write_u64(value, buf));
}

void push_micros(std::string& out, uint64_t nanos) {
  char buf[kMaxMicros];
  out.append(buf, write_micros(nanos, buf));
}

Template Template::of(const core::CodeInfo& info) {
  Template t;
  t.head = "{\"name\":";
  push_string(t.head, info.qualname.empty() ? std::string_view("<unknown>") : info.qualname);
  t.head += ",\"cat\":\"py\",\"ph\":\"";
  t.tail = ",\"args\":{\"file\":";
  push_string(t.tail, info.filename);
  t.tail += ",\"line\":";
  push_u64(t.tail, info.first_line);
  t.tail += ",\"kind\":\"";
  return t;
}

Value& Value::set(std::string key, Value value) {
  auto& members = std::get<Object>(v_);
  // std::string compares its chars as unsigned char: byte-wise order.
  auto at =
      std::lower_bound(members.begin(), members.end(), key,
                       [](const auto& member, const std::string& k) { return member.first < k; });
  if (at != members.end() && at->first == key) {
    at->second = std::move(value);
  } else {
    members.emplace(at, std::move(key), std::move(value));
  }
  return *this;
}

void Value::write_to(std::string& out) const {
  if (const auto* n = std::get_if<uint64_t>(&v_)) {
    push_u64(out, *n);
  } else if (const auto* s = std::get_if<std::string>(&v_)) {
    push_string(out, *s);
  } else {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : std::get<Object>(v_)) {
      if (!first) out.push_back(',');
      first = false;
      push_string(out, key);
      out.push_back(':');
      value.write_to(out);
    }
    out.push_back('}');
  }
}

JsonExporter::JsonExporter(core::SharedFile out, uint32_t pid)
    : out_(std::move(out)), templates_(process_seed()), pid_(pid) {
  buf_.resize(kBatchCapacity);
}

JsonExporter JsonExporter::create(core::SharedFile out) {
  return JsonExporter(std::move(out), static_cast<uint32_t>(::getpid()));
}

JsonExporter JsonExporter::create(core::SharedFile out, uint32_t pid) {
  return JsonExporter(std::move(out), pid);
}

const Template& JsonExporter::template_for(uint32_t code_id, const core::CodeLookup& code) {
  if (const Template* t = templates_.find(code_id)) return *t;
  // An id the lookup does not know still gets a record: "<unknown>", no
  // file, line 0, cached like any other.
  std::optional<core::CodeInfo> info = code.code(code_id);
  return *templates_.try_emplace(code_id, Template::of(info ? *info : core::CodeInfo{})).first;
}

Status JsonExporter::write_batch(std::span<const core::Event> events, const core::CodeLookup& code,
                                 const core::ThreadNames&) {
  // The pid never changes, so its key and the tid key go out as one piece.
  char pid_piece[7 + 10 + 7];
  char* pe = pid_piece;
  std::memcpy(pe, ",\"pid\":", 7);
  pe = write_u64(pid_, pe + 7);
  std::memcpy(pe, ",\"tid\":", 7);
  pe += 7;
  const auto pid_len = static_cast<size_t>(pe - pid_piece);

  size_t len = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const core::Event& ev = events[i];
    if (core::is_user_kind(ev.kind())) [[unlikely]] {
      std::span<const core::Event> unit = events.subspan(i, 1 + core::payload_records(events, i));
      len = write_user_event(unit, len);
      i += unit.size() - 1;
      continue;
    }
    const Template& t = template_for(ev.code_id(), code);
    const size_t need = t.head.size() + t.tail.size() + kMaxRecordExtra;
    if (buf_.size() - len < need) buf_.resize(std::max(buf_.size() * 2, len + need));

    const KindText& kind = kind_text(ev.kind());
    char* p = buf_.data() + len;
    std::memcpy(p, t.head.data(), t.head.size());
    p += t.head.size();
    std::memcpy(p, kind.phase, sizeof kind.phase);
    p = write_micros(ev.ts, p + sizeof kind.phase);
    std::memcpy(p, pid_piece, pid_len);
    p = write_u64(ev.tid, p + pid_len);
    std::memcpy(p, t.tail.data(), t.tail.size());
    p += t.tail.size();
    std::memcpy(p, kind.closing, sizeof kind.closing);
    p += kind.closing_len;
    len = static_cast<size_t>(p - buf_.data());
  }

  out_.write_all(std::string_view(buf_.data(), len));
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
      push_string(out, v.s);
      break;
  }
}

}  // namespace

size_t JsonExporter::write_user_event(std::span<const core::Event> unit, size_t len) {
  const core::Event& head = unit.front();
  core::UserPayload payload;
  if (!core::decode_payload(core::payload_bytes(unit, 0, payload_buf_), payload)) return len;
  const auto kind = static_cast<core::EventKind>(head.kind());
  std::string r = "{\"name\":";
  push_string(r, payload.name);
  r += ",\"cat\":\"user\",\"ph\":";
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
      r += "\"value\":";
      push_value(r, payload.args.empty() ? core::UserValue{} : payload.args[0].value);
    } else {
      for (size_t k = 0; k < payload.args.size(); ++k) {
        if (k != 0) r += ',';
        push_string(r, payload.args[k].key);
        r += ':';
        push_value(r, payload.args[k].value);
      }
    }
    r += '}';
  }
  r += "},";
  if (buf_.size() - len < r.size()) buf_.resize(std::max(buf_.size() * 2, len + r.size()));
  std::memcpy(buf_.data() + len, r.data(), r.size());
  return len + r.size();
}

void JsonExporter::write_record(const Value& record) {
  std::string text;
  record.write_to(text);
  text.push_back(',');
  out_.write_all(text);
}

Status JsonExporter::finish(const core::CodeLookup&, const core::ThreadNames& threads,
                            const core::RunEnd& end) {
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
      args.set(f.key, f.is_number ? Value(f.number) : Value(std::move(f.text)));
    Value record = Value::object();
    record.set("name", "morvex_filters")
        .set("ph", "M")
        .set("pid", uint64_t{pid_})
        .set("tid", uint64_t{0})
        .set("args", std::move(args));
    write_record(record);
  }
  if (end.dropped != 0) {
    Value record = Value::object();
    record.set("name", "morvex_dropped_events")
        .set("ph", "M")
        .set("pid", uint64_t{pid_})
        .set("tid", uint64_t{0})
        .set("args", Value::object().set("count", end.dropped));
    write_record(record);
  }
  return out_.flush();
}

}  // namespace morvex::json
