// The payload of an event the program records itself (morvex.span,
// instant, counter): its name and arguments, carried in 8-byte records right
// after the event's header record, in the same batch as the thread's
// function events, so that it is ordered with them.
//
// Layout (little-endian): u16 name length, the name; u8 argument count;
// per argument: u16 key length, the key, u8 type, then the value (bool: u8;
// int: i64; double: f64; str: u32 length and the bytes; none: nothing).
// Zero bytes pad the end to a whole record. A counter is a name and one
// argument with an empty key holding its value.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event.h"
#include "format/records.h"

namespace morvex::core {

// The slice that marks where a thread's events were lost; the trace format
// names it.
using format::kLostEventsName;

// Keeps a header and its payload within one batch of 1,024 records.
inline constexpr size_t kMaxPayloadBytes = 4096;

struct UserValue {
  enum class Type : uint8_t { None = 0, Bool = 1, Int = 2, Double = 3, Str = 4 };
  Type type = Type::None;
  int64_t i = 0;  // Bool and Int
  double d = 0;
  std::string_view s;
};

struct UserArg {
  std::string_view key;
  UserValue value;
};

// A decoded payload; its views point into the bytes it was decoded from.
struct UserPayload {
  std::string_view name;
  std::vector<UserArg> args;
};

// Builds a payload. Fails (returns nothing from words()) once it would
// exceed kMaxPayloadBytes or a name, key or string exceeds its length field.
class PayloadWriter {
 public:
  explicit PayloadWriter(std::string_view name);
  void add(std::string_view key, const UserValue& value);
  bool too_large() const { return too_large_; }
  size_t size() const { return bytes_.size(); }
  // The payload as records, or nothing when it is too large.
  std::optional<std::vector<uint64_t>> words() const;

 private:
  void put(const void* data, size_t n);
  template <class T>
  void put_int(T v) {
    put(&v, sizeof v);
  }

  std::string bytes_;
  size_t count_at_ = 0;  // where the argument count byte is
  bool too_large_ = false;
};

// Decodes payload bytes; false when they are malformed (a reader must never
// trust them blindly).
bool decode_payload(std::string_view bytes, UserPayload& out);

// Records that follow a user event's header `events[at]`, or 0 if the
// header's count runs past the end of `events`.
inline size_t payload_records(std::span<const Event> events, size_t at) {
  size_t n = events[at].code_id();
  return at + n < events.size() ? n : 0;
}

// The bytes carried by the payload records after header `events[at]`,
// copied into `buf`.
std::string_view payload_bytes(std::span<const Event> events, size_t at, std::string& buf);

}  // namespace morvex::core
