#include "proto/bundle.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef MORVEX_HAVE_ZLIB
#include <zlib.h>
#endif

#include "format/perfetto.h"
#include "format/wire.h"

namespace morvex::proto {

namespace {

constexpr uint8_t kPacketTag = format::tag_byte(format::trace::kPacket);
constexpr format::Tag kCompressedTag = format::make_tag(format::packet::kCompressedPackets);
// Speed over size: the writer compresses on the program's time where it has
// no core to spare; the default level saves about a fifth more for several
// times the CPU.
constexpr int kLevel = 1;

// The size of the framed packet at p, which starts a run of whole packets.
size_t packet_size(const uint8_t* p, const uint8_t* end) {
  uint64_t len = 0;
  const uint8_t* body = format::read_varint(p + 1, end, len);
  return static_cast<size_t>(body - p) + static_cast<size_t>(len);
}

}  // namespace

#ifdef MORVEX_HAVE_ZLIB

struct Bundler::Stream {
  z_stream z{};
  bool ready = false;
  ~Stream() {
    if (ready) deflateEnd(&z);
  }
};

core::Result<Bundler> Bundler::create() {
  auto stream = std::make_unique<Stream>();
  if (deflateInit(&stream->z, kLevel) != Z_OK) return core::IoError::from_errno(ENOMEM);
  stream->ready = true;
  return Bundler(std::move(stream));
}

void Bundler::close(core::SharedFile& out) {
  if (pending_.empty()) return;
  z_stream& z = stream_->z;
  deflateReset(&z);
  deflated_.resize(deflateBound(&z, pending_.size()));
  z.next_in = pending_.data();
  z.avail_in = static_cast<uInt>(pending_.size());
  z.next_out = deflated_.data();
  z.avail_out = static_cast<uInt>(deflated_.size());
  // The bound leaves room for all of it: one call finishes the stream.
  (void)deflate(&z, Z_FINISH);
  const size_t zlen = deflated_.size() - z.avail_out;
  pending_.clear();

  uint8_t header[1 + 2 * format::kMaxVarintLen + 2];
  uint8_t* h = header;
  *h++ = kPacketTag;
  h = format::write_varint(kCompressedTag.len + format::varint_len(zlen) + zlen, h);
  std::memcpy(h, kCompressedTag.bytes, kCompressedTag.len);
  h = format::write_varint(zlen, h + kCompressedTag.len);
  out.write_all(std::span<const uint8_t>(header, h));
  out.write_all(std::span<const uint8_t>(deflated_.data(), zlen));
}

#else

struct Bundler::Stream {};

core::Result<Bundler> Bundler::create() {
  return core::IoError::other(
      "compressed output needs zlib, which this build of morvex was made without");
}

void Bundler::close(core::SharedFile&) { pending_.clear(); }

#endif

Bundler::Bundler(std::unique_ptr<Stream> stream) : stream_(std::move(stream)) {
  pending_.reserve(kBundleInput);
}
Bundler::Bundler(Bundler&&) noexcept = default;
Bundler& Bundler::operator=(Bundler&&) noexcept = default;
Bundler::~Bundler() = default;

void Bundler::add_packet(std::span<const uint8_t> head, std::span<const uint8_t> body,
                         core::SharedFile& out) {
  if (pending_.size() + head.size() + body.size() > kBundleInput) close(out);
  pending_.insert(pending_.end(), head.begin(), head.end());
  pending_.insert(pending_.end(), body.begin(), body.end());
}

void Bundler::add(std::span<const uint8_t> packets, core::SharedFile& out) {
  const uint8_t* p = packets.data();
  const uint8_t* end = p + packets.size();
  while (p < end) {
    // The longest run of whole packets that still fits; a packet larger
    // than a whole bundle goes alone.
    const size_t room = kBundleInput - std::min(kBundleInput, pending_.size());
    const uint8_t* q = p;
    if (static_cast<size_t>(end - p) <= room) {
      q = end;
    } else {
      while (q < end) {
        const size_t n = packet_size(q, end);
        if (static_cast<size_t>(q - p) + n > room) break;
        q += n;
      }
      if (q == p && pending_.empty()) q += packet_size(q, end);
    }
    pending_.insert(pending_.end(), p, q);
    p = q;
    if (p < end) close(out);
  }
}

}  // namespace morvex::proto
