// JSON values for the JSON exporter's end-of-run records. The text of
// strings and numbers comes from the format leaf (format/json_text.h),
// which the reader renders JSON with too.
//
// Threads: no shared state; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "format/json_text.h"

namespace morvex::json {

using format::kMaxMicros;
using format::kMaxU64Digits;
using format::kTriples;
using format::push_json_string;
using format::push_micros;
using format::push_u64;
using format::write_micros;
using format::write_u64;

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
