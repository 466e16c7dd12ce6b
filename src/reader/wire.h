// Protobuf wire-format reading over a byte range: varints, field headers and
// skipping of fields the reader does not know. Every function returns the
// position after what it read, or nullptr when the bytes are malformed or
// run past `end`. The wire format itself is format/wire.h's.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "format/wire.h"

namespace morvex::reader::wire {

using format::kBytes;
using format::kFixed32;
using format::kFixed64;
using format::kMaxVarintLen;
using format::kVarint;
using format::read_varint;

// read_varint() for callers that may read 8 bytes at p (up to `limit`, which may
// lie beyond `end`): varints of up to 8 bytes are decoded without a loop,
// which is what timestamps take.
inline const uint8_t* varint_wide(const uint8_t* p, const uint8_t* end, const uint8_t* limit,
                                  uint64_t& v) {
  if (limit - p >= 8) [[likely]] {
    uint64_t w;
    std::memcpy(&w, p, 8);  // little-endian hosts only (x86-64, AArch64)
    const uint64_t stops = ~w & 0x8080808080808080ull;
    if (stops != 0) {
      const unsigned bits = static_cast<unsigned>(__builtin_ctzll(stops)) + 1;
      const uint8_t* next = p + bits / 8;
      if (next > end) return nullptr;
      if (bits < 64) w &= (uint64_t{1} << bits) - 1;
      // Squeeze out the continuation bits: 7-bit groups into 14, 28, 56.
      w = ((w & 0x7F007F007F007F00ull) >> 1) | (w & 0x007F007F007F007Full);
      w = ((w & 0x3FFF00003FFF0000ull) >> 2) | (w & 0x00003FFF00003FFFull);
      w = ((w & 0x0FFFFFFF00000000ull) >> 4) | (w & 0x000000000FFFFFFFull);
      v = w;
      return next;
    }
  }
  return read_varint(p, end, v);
}

// A length-delimited field's bytes.
inline const uint8_t* bytes(const uint8_t* p, const uint8_t* end, std::string_view& out) {
  uint64_t n;
  p = read_varint(p, end, n);
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
      return read_varint(p, end, v);
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
inline std::string_view view(const uint8_t* p, const uint8_t* end) {
  return std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
}

// Calls f(tag, p) for each field of a message; f reads the field's value from
// p and returns the position after it, or nullptr. False when malformed.
template <class F>
bool for_each_field(std::string_view message, F&& f) {
  const uint8_t* p = begin_of(message);
  const uint8_t* end = end_of(message);
  while (p < end) {
    uint64_t tag;
    p = read_varint(p, end, tag);
    if (p == nullptr || (tag >> 3) == 0) return false;
    p = f(tag, p, end);
    if (p == nullptr) return false;
  }
  return true;
}

}  // namespace morvex::reader::wire
