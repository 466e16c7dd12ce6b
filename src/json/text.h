// JSON text for the JSON exporter: escaped strings, plain decimals,
// timestamps, and small JSON values for the end-of-run records.
//
// The push_* functions append to a std::string; the write_* functions render
// into a caller's buffer that has room for their largest output (the kMax*
// constants) and return the end of what they wrote.
//
// Threads: no shared state; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace morvex::json {

// push_string escapes only what JSON requires and passes every other byte,
// including 0x7F and UTF-8 sequences, through unchanged.
void push_string(std::string& out, std::string_view bytes);
// Plain decimal, no sign, no leading zeros.
void push_u64(std::string& out, uint64_t value);
// Nanoseconds as microseconds with exactly three decimals: 1500 -> 1.500.
void push_micros(std::string& out, uint64_t nanos);

// 2^64 - 1 has 20 digits.
inline constexpr size_t kMaxU64Digits = 20;
char* write_u64(uint64_t value, char* out);
// The integer part, a point, three decimals.
inline constexpr size_t kMaxMicros = kMaxU64Digits + 4;
char* write_micros(uint64_t nanos, char* out);

// "000." to "999.": three digits and a point in one 4-byte store.
struct Triples {
  char text[1000][4];
};
extern const Triples kTriples;

// A JSON value as the end-of-run records need it: unsigned integers, strings
// and objects whose keys are kept in byte-wise ascending order.
class Value {
 public:
  using Object = std::vector<std::pair<std::string, Value>>;

  Value(uint64_t number) : v_(number) {}              // NOLINT: implicit on purpose
  Value(std::string text) : v_(std::move(text)) {}    // NOLINT: implicit on purpose
  Value(const char* text) : v_(std::string(text)) {}  // NOLINT: implicit on purpose
  static Value object() { return Value(Object{}); }

  // Adds or replaces a key of an object.
  Value& set(std::string key, Value value);
  // Compact form: no whitespace anywhere.
  void write_to(std::string& out) const;

 private:
  explicit Value(Object object) : v_(std::move(object)) {}

  std::variant<uint64_t, std::string, Object> v_;
};

}  // namespace morvex::json
