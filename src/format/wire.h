// The protobuf wire format as morvex's Perfetto writer and trace reader both
// speak it: wire types, field tags, varints and zigzag. Pure inline
// functions over caller buffers; no state, callable from any thread.
//
// A field is named once, as a Field (perfetto.h): its number and wire type.
// Writers turn it into tag bytes (make_tag, tag_byte), the reader into the
// value its tag varint decodes to (key).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

namespace morvex::format {

// Groups (3 and 4) were never used by Perfetto and are not listed.
enum WireType : uint8_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

// A 64-bit varint takes at most 10 bytes: 64 bits in groups of 7.
inline constexpr size_t kMaxVarintLen = 10;

struct Field {
  uint32_t number;
  WireType type;
};

// The field's tag as a decoded varint: (number << 3) | wire type.
constexpr uint64_t key(Field f) { return (uint64_t{f.number} << 3) | f.type; }

struct Tag {
  uint8_t bytes[2];
  uint8_t len;
};

// Every field number morvex uses is below 2^11, so a tag fits in two bytes.
consteval Tag make_tag(Field f) {
  if (f.number == 0 || f.number >= (1u << 11)) throw std::logic_error("tag needs 3 bytes");
  const uint32_t v = static_cast<uint32_t>(key(f));
  if (v < 0x80) return {{static_cast<uint8_t>(v), 0}, 1};
  return {{static_cast<uint8_t>(v | 0x80), static_cast<uint8_t>(v >> 7)}, 2};
}

// The one-byte tag of a field numbered 1..15, for code that lays packets out
// byte by byte; any other field fails to compile.
consteval uint8_t tag_byte(Field f) {
  const Tag t = make_tag(f);
  if (t.len != 1) throw std::logic_error("tag needs 2 bytes");
  return t.bytes[0];
}

inline uint8_t* write_varint(uint64_t value, uint8_t* out) {
  while (value >= 0x80) {
    *out++ = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<uint8_t>(value);
  return out;
}

// The same bytes, without a loop for the values of 4 and 5 bytes (2^21 up to
// 2^35): the nanosecond times of a run from 2 ms to 34 s in, one per event.
inline uint8_t* write_time_varint(uint64_t value, uint8_t* out) {
  if (value < (uint64_t{1} << 21) || value >= (uint64_t{1} << 35)) [[unlikely]]
    return write_varint(value, out);
  out[0] = static_cast<uint8_t>(value | 0x80);
  out[1] = static_cast<uint8_t>((value >> 7) | 0x80);
  out[2] = static_cast<uint8_t>((value >> 14) | 0x80);
  if (value < (uint64_t{1} << 28)) {
    out[3] = static_cast<uint8_t>(value >> 21);
    return out + 4;
  }
  out[3] = static_cast<uint8_t>((value >> 21) | 0x80);
  out[4] = static_cast<uint8_t>(value >> 28);
  return out + 5;
}

inline size_t varint_len(uint64_t value) {
  // Bits needed (at least 1), rounded up to groups of 7.
  unsigned bits = 64 - static_cast<unsigned>(__builtin_clzll(value | 1));
  return (bits + 6) / 7;
}

// Reads the varint at p into v; returns the position after it, or nullptr
// when it runs past `end` or past kMaxVarintLen bytes.
inline const uint8_t* read_varint(const uint8_t* p, const uint8_t* end, uint64_t& v) {
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

// int32 fields are sign-extended before encoding: a negative value becomes a
// 10-byte varint, which is what every protobuf reader expects.
inline uint64_t int32_wire(int32_t value) {
  return static_cast<uint64_t>(static_cast<int64_t>(value));
}

// sint64 fields: small magnitudes of either sign stay short.
constexpr uint64_t zigzag_encode(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}
constexpr int64_t zigzag_decode(uint64_t value) {
  return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

// The encoded bytes of one varint, for callers that splice varints into their
// own buffers.
class Varint {
 public:
  explicit Varint(uint64_t value)
      : len_(static_cast<uint8_t>(write_varint(value, bytes_) - bytes_)) {}

  std::span<const uint8_t> as_slice() const { return {bytes_, len_}; }
  size_t size() const { return len_; }

 private:
  uint8_t bytes_[kMaxVarintLen];
  uint8_t len_;
};

}  // namespace morvex::format
