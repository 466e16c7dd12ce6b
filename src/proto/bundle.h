// Bundler: packets deflated into TracePacket.compressed_packets bundles.
//
// Whole framed packets (Trace.packet fields) are collected until close(),
// or until the next ones would take a bundle past kBundleInput bytes; a
// bundle then goes to the file's buffer as one packet of its own, a zlib
// stream of the packets it holds. A bundle never splits a packet, so each
// one read alone, after the bundles before it, gives whole packets, and the
// bundles of processes sharing a file stay whole between theirs.
//
// Threads: used by the exporter thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/ioerror.h"
#include "core/output.h"

namespace morvex::proto {

class Bundler {
 public:
  // Small enough that a killed process loses little and a reader inflates
  // a bundle in cache; large enough that deflate finds the repeats.
  static constexpr size_t kBundleInput = 128 * 1024;

  // Fails when this build has no deflate library.
  static core::Result<Bundler> create();
  Bundler(Bundler&&) noexcept;
  Bundler& operator=(Bundler&&) noexcept;
  ~Bundler();

  // `packets` holds whole framed packets; bundles that fill up on the way
  // go to `out`.
  void add(std::span<const uint8_t> packets, core::SharedFile& out);
  // One packet given as its frame header and body.
  void add_packet(std::span<const uint8_t> head, std::span<const uint8_t> body,
                  core::SharedFile& out);
  // The collected packets, if any, as one bundle into `out`.
  void close(core::SharedFile& out);
  // add(packets) then close(), deflating the packets where they lie when
  // nothing is collected before them.
  void close_with(std::span<const uint8_t> packets, core::SharedFile& out);

 private:
  struct Deflater;
  explicit Bundler(std::unique_ptr<Deflater> deflater);

  // The end of the longest run of whole packets from p that fits beside
  // what is collected; a packet larger than a whole bundle goes alone.
  const uint8_t* run_end(const uint8_t* p, const uint8_t* end) const;
  // `packets` as one bundle into `out`.
  void write_bundle(std::span<const uint8_t> packets, core::SharedFile& out);

  std::unique_ptr<Deflater> deflater_;
  std::vector<uint8_t> pending_;
  std::vector<uint8_t> deflated_;
};

}  // namespace morvex::proto
