#include "proto/bundle.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(MORVEX_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#elif defined(MORVEX_HAVE_ZLIB)
#include <zlib.h>
#endif

#include "format/perfetto.h"
#include "format/wire.h"

namespace morvex::proto {

namespace {

constexpr uint8_t kPacketTag = format::tag_byte(format::trace::kPacket);
constexpr format::Tag kCompressedTag = format::make_tag(format::packet::kCompressedPackets);
// Speed over size: the writer compresses on the program's time where it has
// no core to spare; level 6 saves about a third more for more than twice
// the CPU, and bigger bundles save little more.
constexpr int kLevel = 1;
// The bundle packet's frame (tag, length), the compressed_packets tag and
// the stream's length, written just before the stream.
constexpr size_t kHeaderRoom = 1 + format::kMaxVarintLen + 2 + format::kMaxVarintLen;

// The size of the framed packet at p, which starts a run of whole packets.
size_t packet_size(const uint8_t* p, const uint8_t* end) {
  uint64_t len = 0;
  const uint8_t* body = format::read_varint(p + 1, end, len);
  return static_cast<size_t>(body - p) + static_cast<size_t>(len);
}

}  // namespace

#if defined(MORVEX_HAVE_LIBDEFLATE)

struct Bundler::Deflater {
  libdeflate_compressor* c = nullptr;
  ~Deflater() { libdeflate_free_compressor(c); }
  size_t bound(size_t n) { return libdeflate_zlib_compress_bound(c, n); }
  // A whole zlib stream of `in` at out; its length.
  size_t deflate(std::span<const uint8_t> in, uint8_t* out, size_t room) {
    return libdeflate_zlib_compress(c, in.data(), in.size(), out, room);
  }
};

core::Result<Bundler> Bundler::create() {
  auto d = std::make_unique<Deflater>();
  d->c = libdeflate_alloc_compressor(kLevel);
  if (d->c == nullptr) return core::IoError::from_errno(ENOMEM);
  return Bundler(std::move(d));
}

#elif defined(MORVEX_HAVE_ZLIB)

struct Bundler::Deflater {
  z_stream z{};
  bool ready = false;
  ~Deflater() {
    if (ready) deflateEnd(&z);
  }
  size_t bound(size_t n) { return deflateBound(&z, n); }
  size_t deflate(std::span<const uint8_t> in, uint8_t* out, size_t room) {
    deflateReset(&z);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out;
    z.avail_out = static_cast<uInt>(room);
    // The bound leaves room for all of it: one call finishes the stream.
    (void)::deflate(&z, Z_FINISH);
    return room - z.avail_out;
  }
};

core::Result<Bundler> Bundler::create() {
  auto d = std::make_unique<Deflater>();
  if (deflateInit(&d->z, kLevel) != Z_OK) return core::IoError::from_errno(ENOMEM);
  d->ready = true;
  return Bundler(std::move(d));
}

#else

struct Bundler::Deflater {
  size_t bound(size_t) { return 0; }
  size_t deflate(std::span<const uint8_t>, uint8_t*, size_t) { return 0; }
};

core::Result<Bundler> Bundler::create() {
  return core::IoError::other(
      "compressed output needs libdeflate or zlib, which this build of morvex was made without");
}

#endif

Bundler::Bundler(std::unique_ptr<Deflater> deflater) : deflater_(std::move(deflater)) {
  pending_.reserve(kBundleInput);
}
Bundler::Bundler(Bundler&&) noexcept = default;
Bundler& Bundler::operator=(Bundler&&) noexcept = default;
Bundler::~Bundler() = default;

void Bundler::write_bundle(std::span<const uint8_t> packets, core::SharedFile& out) {
  const size_t bound = deflater_->bound(packets.size());
  if (deflated_.size() < kHeaderRoom + bound) deflated_.resize(kHeaderRoom + bound);
  uint8_t* stream = deflated_.data() + kHeaderRoom;
  const size_t zlen = deflater_->deflate(packets, stream, bound);

  uint8_t header[kHeaderRoom];
  uint8_t* h = header;
  *h++ = kPacketTag;
  h = format::write_varint(kCompressedTag.len + format::varint_len(zlen) + zlen, h);
  std::memcpy(h, kCompressedTag.bytes, kCompressedTag.len);
  h = format::write_varint(zlen, h + kCompressedTag.len);
  // The frame goes just before the stream: the bundle is one write.
  const size_t hlen = static_cast<size_t>(h - header);
  std::memcpy(stream - hlen, header, hlen);
  out.write_all(std::span<const uint8_t>(stream - hlen, hlen + zlen));
}

void Bundler::close(core::SharedFile& out) {
  if (pending_.empty()) return;
  write_bundle(pending_, out);
  pending_.clear();
}

void Bundler::add_packet(std::span<const uint8_t> head, std::span<const uint8_t> body,
                         core::SharedFile& out) {
  if (pending_.size() + head.size() + body.size() > kBundleInput) close(out);
  pending_.insert(pending_.end(), head.begin(), head.end());
  pending_.insert(pending_.end(), body.begin(), body.end());
}

const uint8_t* Bundler::run_end(const uint8_t* p, const uint8_t* end) const {
  const size_t room = kBundleInput - std::min(kBundleInput, pending_.size());
  if (static_cast<size_t>(end - p) <= room) return end;
  const uint8_t* q = p;
  while (q < end) {
    const size_t n = packet_size(q, end);
    if (static_cast<size_t>(q - p) + n > room) break;
    q += n;
  }
  if (q == p && pending_.empty()) q += packet_size(q, end);
  return q;
}

void Bundler::add(std::span<const uint8_t> packets, core::SharedFile& out) {
  const uint8_t* p = packets.data();
  const uint8_t* end = p + packets.size();
  while (p < end) {
    const uint8_t* q = run_end(p, end);
    pending_.insert(pending_.end(), p, q);
    p = q;
    if (p < end) close(out);
  }
}

void Bundler::close_with(std::span<const uint8_t> packets, core::SharedFile& out) {
  const uint8_t* p = packets.data();
  const uint8_t* end = p + packets.size();
  while (p < end) {
    const uint8_t* q = run_end(p, end);
    if (pending_.empty()) {
      write_bundle(std::span<const uint8_t>(p, q), out);
    } else {
      pending_.insert(pending_.end(), p, q);
      close(out);
    }
    p = q;
  }
  close(out);
}

}  // namespace morvex::proto
