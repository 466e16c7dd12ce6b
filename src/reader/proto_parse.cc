// Finding the packets of a Perfetto trace: a stream of Trace.packet fields,
// each handed to a PacketReader (proto_packets.h), read through the Input
// window; and telling a Perfetto trace from other files.
#include <algorithm>

#include "format/perfetto.h"
#include "reader/parse.h"
#include "reader/proto_packets.h"
#include "reader/wire.h"

namespace morvex::reader {

namespace {

// Trace.packet: its tag byte, and the key its tag decodes to.
constexpr uint8_t kPacketTag = format::tag_byte(format::trace::kPacket);
constexpr uint64_t kPacketKey = format::key(format::trace::kPacket);
using wire::kBytes;
using wire::kFixed64;
using wire::kVarint;

enum class Extent { Ok, More, Bad };

// The extent of the top-level field at p: its header (tag, and length for
// bytes) and its whole size.
inline Extent field_extent(const uint8_t* p, const uint8_t* end, uint64_t& t, size_t& header,
                           size_t& total) {
  const uint8_t* q = wire::read_varint(p, end, t);
  if (q == nullptr) return end - p >= 10 ? Extent::Bad : Extent::More;
  if ((t >> 3) == 0) return Extent::Bad;
  uint64_t v;
  switch (t & 7) {
    case kVarint: {
      const uint8_t* r = wire::read_varint(q, end, v);
      if (r == nullptr) return end - q >= 10 ? Extent::Bad : Extent::More;
      header = total = static_cast<size_t>(r - p);
      return Extent::Ok;
    }
    case kFixed64:
    case wire::kFixed32:
      header = static_cast<size_t>(q - p);
      total = header + ((t & 7) == kFixed64 ? 8 : 4);
      return Extent::Ok;
    case kBytes: {
      const uint8_t* r = wire::read_varint(q, end, v);
      if (r == nullptr) return end - q >= 10 ? Extent::Bad : Extent::More;
      if (v > Input::kMaxRecord) return Extent::Bad;
      header = static_cast<size_t>(r - p);
      total = header + static_cast<size_t>(v);
      return Extent::Ok;
    }
    default:
      return Extent::Bad;
  }
}

// Whether [p, stop) is a well-formed message, or, when `cut`, the start of
// one that the end of the file interrupted.
bool valid_prefix(const uint8_t* p, const uint8_t* stop, bool cut) {
  while (p < stop) {
    uint64_t t;
    size_t header, total;
    Extent e = field_extent(p, stop, t, header, total);
    if (e == Extent::Bad) return false;
    if (e == Extent::More || total > static_cast<size_t>(stop - p)) return cut;
    p += total;
  }
  return true;
}

}  // namespace

bool looks_like_perfetto(Input& in) {
  if (!in.ensure(1) || in.data()[0] != kPacketTag) return false;
  (void)in.ensure(1 + wire::kMaxVarintLen);
  const uint8_t* p = in.data();
  const uint8_t* end = p + in.avail();
  uint64_t len;
  const uint8_t* q = wire::read_varint(p + 1, end, len);
  if (q == nullptr) return end - p < static_cast<ptrdiff_t>(1 + wire::kMaxVarintLen);
  if (len > Input::kMaxRecord) return false;
  const size_t header = static_cast<size_t>(q - p);
  (void)in.ensure(header + len);
  p = in.data();
  end = p + in.avail();
  const uint8_t* stop = std::min(end, p + header + len);
  return valid_prefix(p + header, stop, stop < p + header + len);
}

ParseOutcome parse_perfetto(Input& in, Builder& builder) {
  PacketReader parser(builder);
  for (;;) {
    if (in.avail() == 0 && !in.ensure(1)) return {};
    const uint8_t* base = in.data();
    const uint8_t* end = base + in.avail();
    const uint8_t* p = base;
    size_t need = 0;
    while (p < end) {
      // Most packets are short: the packet tag and a one-byte length.
      if (end - p >= 2 && p[0] == kPacketTag && p[1] < 0x80) [[likely]] {
        const uint8_t* body = p + 2;
        const uint8_t* next = body + p[1];
        if (next > end) {
          need = 2 + p[1];
          break;
        }
        if (!parser.fast_slice(body, next, end) && !parser.packet(wire::view(body, next))) {
          in.advance(static_cast<size_t>(p - base));
          return {Damage::Corrupt, in.offset()};
        }
        p = next;
        continue;
      }
      uint64_t t;
      size_t header, total;
      const Extent e = field_extent(p, end, t, header, total);
      if (e == Extent::Bad) {
        in.advance(static_cast<size_t>(p - base));
        return {Damage::Corrupt, in.offset()};
      }
      if (e == Extent::More || total > static_cast<size_t>(end - p)) {
        need = e == Extent::More ? static_cast<size_t>(end - p) + 1 : total;
        break;
      }
      if (t == kPacketKey && !parser.fast_slice(p + header, p + total, end) &&
          !parser.packet(wire::view(p + header, p + total))) {
        in.advance(static_cast<size_t>(p - base));
        return {Damage::Corrupt, in.offset()};
      }
      p += total;
    }
    in.advance(static_cast<size_t>(p - base));
    if (need != 0 && !in.ensure(need)) {
      if (in.avail() == 0) return {};
      return {Damage::CutOff, in.offset()};
    }
  }
}

}  // namespace morvex::reader