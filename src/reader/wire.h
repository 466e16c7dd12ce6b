// Protobuf wire-format reading over a byte range: varints, field headers and
// skipping of fields the reader does not know. Every function returns the
// position after what it read, or nullptr when the bytes are malformed or
// run past `end`.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvex::reader::wire {

enum WireType : uint8_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

// A 64-bit varint takes at most 10 bytes.
inline constexpr size_t kMaxVarintLen = 10;

inline const uint8_t* varint(const uint8_t* p, const uint8_t* end, uint64_t& v) {
  if (p < end && *p < 0x80) [[likely]] {
    v = *p;
    return p + 1;
  }
  uint64_t r = 0;
  unsigned shift = 0;
  for (size_t i = 0; i < kMaxVarintLen; ++i, shift += 7) {
    if (p >= end) return nullptr;
    const uint8_t b = *p++;
    r |= uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) {
      v = r;
      return p;
    }
  }
  return nullptr;
}

// A length-delimited field's bytes.
inline const uint8_t* bytes(const uint8_t* p, const uint8_t* end, std::string_view& out) {
  uint64_t n;
  p = varint(p, end, n);
  if (p == nullptr || n > static_cast<uint64_t>(end - p)) return nullptr;
  out = std::string_view(reinterpret_cast<const char*>(p), n);
  return p + n;
}

inline const uint8_t* fixed64(const uint8_t* p, const uint8_t* end, uint64_t& v) {
  if (end - p < 8) return nullptr;
  std::memcpy(&v, p, 8);  // little-endian hosts only (x86-64, AArch64)
  return p + 8;
}

// Skips the value of a field whose tag has been read. Groups (wire types 3
// and 4) were never used by Perfetto and count as malformed.
inline const uint8_t* skip(const uint8_t* p, const uint8_t* end, uint64_t tag) {
  switch (tag & 7) {
    case kVarint: {
      uint64_t v;
      return varint(p, end, v);
    }
    case kFixed64:
      return end - p >= 8 ? p + 8 : nullptr;
    case kBytes: {
      std::string_view s;
      return bytes(p, end, s);
    }
    case kFixed32:
      return end - p >= 4 ? p + 4 : nullptr;
    default:
      return nullptr;
  }
}

inline const uint8_t* begin_of(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}
inline const uint8_t* end_of(std::string_view s) { return begin_of(s) + s.size(); }

// Calls f(tag, p) for each field of a message; f reads the field's value from
// p and returns the position after it, or nullptr. False when malformed.
template <class F>
bool for_each_field(std::string_view message, F&& f) {
  const uint8_t* p = begin_of(message);
  const uint8_t* end = end_of(message);
  while (p < end) {
    uint64_t tag;
    p = varint(p, end, tag);
    if (p == nullptr || (tag >> 3) == 0) return false;
    p = f(tag, p, end);
    if (p == nullptr) return false;
  }
  return true;
}

}  // namespace morvex::reader::wire
