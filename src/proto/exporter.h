// ProtoExporter: writes a run's events as a Perfetto trace, a stream of
// TracePacket records framed as Trace.packet.
//
// One process track, one track per thread and, in runs that follow asyncio
// tasks, one per task, nested under its thread's. Each track gets a packet
// sequence of its own, and function names are interned per sequence with
// the function's source location (file, first line) under the same id, so a
// begin event carries small ids and the location is written once. Event
// packets are not built as messages: the invariant tail of a packet for each
// (thread, code, shape) is encoded once into a byte arena and copied per
// event after the frame header and timestamp.
//
// Descriptor and interning packets go to the file's buffer as soon as they
// are needed; event packets collect in `batch_` and follow them. Everything a
// batch produced reaches the file in one flush, so within a batch the packets
// that describe a sequence always precede the events on it.
//
// A packet counts as delivered only once a flush carrying it succeeds. After
// a failed flush every thread descriptor and interned name that went out
// with it is written again the next time it is needed, with the same ids: a
// reader never meets an event on a sequence it was not told about.
//
// Compressed (set_compress): every packet goes through a Bundler, and the
// bundles a batch filled reach the file with that batch's flush. Each thread
// sequence of its own then keeps its time as an incremental clock (declared
// by a ClockSnapshot after the thread's descriptor, equal to the trace's
// clock, and made the sequence's default): an event carries the nanoseconds
// since the sequence's previous packet. The clock a reader holds is the one
// the last flush that reached the file left it at, so a failed flush puts
// each sequence's clock back to there.
//
// Threads: used by the exporter thread alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/flatmap.h"
#include "core/ioerror.h"
#include "core/output.h"
#include "core/sink.h"
#include "format/records.h"
#include "proto/bundle.h"
#include "proto/pb.h"

namespace morvex::proto {

// What a function event's packet says beyond its sequence and track: an end,
// or a begin by a call or by a resume (a generator's, or a throw into it).
// The values leave bit 0 set for a begin, as the fragment keys need.
enum class SliceShape : uint8_t { End = 0, Call = 1, Resume = 3 };

class ProtoExporter final : public core::Exporter {
 public:
  // Nothing is written until the first batch, or a finish that reports
  // dropped events.
  static ProtoExporter create(core::SharedFile out);
  // Same, with the process id given rather than read from getpid().
  static ProtoExporter create(core::SharedFile out, int32_t pid);
  // Joins the trace file at path (created 0666 if missing, never emptied).
  static core::Result<ProtoExporter> append(const std::string& path);

  ProtoExporter(ProtoExporter&&) noexcept = default;
  ProtoExporter& operator=(ProtoExporter&&) noexcept = default;

  // Sequence ids start at base * 128 + 1 so that processes appending to one
  // file keep their sequences apart. Set before the first batch.
  void set_sequence_base(uint32_t base) { sequence_base_ = base; }
  // Compressed bundles and incremental timestamps from here on; fails when
  // the build has no deflate. Set before the first packet.
  core::Status set_compress();
  // The process descriptor carries it (format::WallAnchor). Set before the
  // first batch.
  void set_anchor(format::WallAnchor anchor) { anchor_ = std::move(anchor); }
  int32_t pid() const { return pid_; }
  uint64_t process_uuid() const { return process_uuid_; }

  // Writes the process track packet the first time; later calls do nothing.
  void ensure_process();
  // Frames one packet into the file's buffer; the flush that follows is
  // what can fail.
  void write_packet(const pb::TracePacket& packet);

  core::Status write_batch(std::span<const core::Event> events, const core::CodeLookup& code,
                           const core::ThreadNames& threads) override;
  using core::Exporter::finish;
  core::Status finish(const core::CodeLookup& code, const core::ThreadNames& threads,
                      const core::RunEnd& end) override;

 private:
  struct FragmentRef {
    uint32_t offset = 0;
    uint32_t len = 0;
  };
  // On the shared sequence a fragment is the same for every thread but for
  // the track, which each event appends: one fragment per code and kind,
  // not per thread, so memory does not grow with every thread a run starts.
  // `head` is the sequence prefix and the TrackEvent tag, `body` the event
  // without its track; the length between them covers both body and track.
  struct SharedFragmentRef {
    uint32_t offset = 0;
    uint8_t head = 0;
    uint8_t body = 0;
  };

  // A code's interned name and, under the same iid, its source location,
  // which its begin events name too when it has one.
  struct NameEntry {
    uint64_t iid = 0;
    bool delivered = false;
    bool located = false;
  };

  // A packet sequence: its id and the names interned on it.
  struct Sequence {
    uint32_t sequence_id = 0;
    // trusted_packet_sequence_id and sequence_flags = needs incremental
    // state, as every event packet of the sequence carries them.
    uint8_t prefix[1 + pb::kMaxVarintLen + 2] = {};
    uint8_t prefix_len = 0;
    core::FlatMap<uint32_t, NameEntry> names;
    uint32_t undelivered_names = 0;
    bool cleared = false;  // the packet that clears its incremental state is out
    // Compressed, on a thread's own sequence: its incremental clock as the
    // packets written so far leave it, and as the file has it.
    bool incremental = false;
    uint64_t clock = 0;
    uint64_t confirmed_clock = 0;
  };

  // A thread: its track, on a sequence of its own or, past the first
  // kOwnSequences threads, on the one they all share, whose events name
  // their track themselves.
  struct Track {
    uint32_t tid = 0;
    uint64_t track_uuid = 0;
    // On the shared sequence: the track field its events end with.
    uint8_t uuid_field[1 + pb::kMaxVarintLen] = {};
    uint8_t uuid_field_len = 0;
    Sequence* seq = nullptr;
    bool shared = false;
    bool delivered = false;  // its descriptor
    // Its end fragment once made (len 0 before): half of all events, and
    // the same for every code, so not worth a lookup each.
    FragmentRef end;
  };

  struct Counter {
    std::string name;
    uint64_t track_uuid = 0;
    bool delivered = false;  // its descriptor
  };

  // A descriptor or interning packet that sits in the file's buffer, not yet
  // known to have reached the file.
  struct Unconfirmed {
    enum class What : uint8_t { Thread, Name, Counter } what;
    Track* track = nullptr;   // Thread
    Sequence* seq = nullptr;  // Name; for Thread, the sequence it cleared, if it did
    uint32_t index = 0;       // Name: the code id; Counter: its place in counters_
  };

  // Threads with a sequence of their own: ids base*128+2 .. base*128+126;
  // the rest share base*128+127, so no process ever uses another's ids.
  static constexpr uint32_t kOwnSequences = 125;

  ProtoExporter(core::SharedFile out, int32_t pid);

  uint32_t sequence_id(uint32_t n) const { return sequence_base_ * 128 + n; }
  Sequence* new_sequence(uint32_t n);
  Track* track_for(uint32_t tid);
  void write_thread_packet(Track& track, const core::ThreadNames& threads);
  void deliver_name(Sequence& seq, uint32_t code_id, const core::CodeLookup& code);
  const FragmentRef* add_fragment(const Track& track, uint64_t key, SliceShape shape,
                                  uint32_t code_id);
  const SharedFragmentRef* add_shared_fragment(uint64_t key, SliceShape shape, uint32_t code_id);
  // One event of a thread on the shared sequence into the batch at `p`.
  uint8_t* write_shared_event(const core::Event& ev, const Track& track, SliceShape shape,
                              const core::CodeLookup& code, uint8_t* p);
  // The TrackEvent body of a slice begin or end, without a track.
  size_t event_body(const Sequence& seq, SliceShape shape, uint32_t code_id, uint8_t* out) const;
  core::Status settle(core::Status flushed);
  // A batch's events into batch_ (sized for them); returns their end.
  template <bool kIncremental>
  uint8_t* write_events(std::span<const core::Event> events, const core::CodeLookup& code,
                        const core::ThreadNames& threads);
  // Bytes of whole packets, to the file's buffer or into a bundle.
  void emit(std::span<const uint8_t> packets);
  // The sequence's incremental clock, set to its current value.
  void write_clock_snapshot(const Sequence& seq);
  // A sequence's timestamp field value for time `ts`.
  uint64_t packet_time(Sequence& seq, uint64_t ts) {
    if (!seq.incremental) return ts;
    return ts - std::exchange(seq.clock, ts);
  }
  // An instant on the process track, at time 0: the end-of-run reports.
  void write_process_instant(pb::TrackEvent event);
  // A user event (header and payload) as a packet into the batch at `p`,
  // with `later` events still to come; returns where the batch continues
  // (the buffer may have moved).
  uint8_t* write_user_event(std::span<const core::Event> unit, const Track& track, uint8_t* p,
                            size_t later);
  // The track of a user counter; its descriptor goes out first if needed.
  uint64_t counter_track(std::string_view name);

  core::SharedFile out_;
  std::unique_ptr<Bundler> bundler_;  // compressed output only
  std::vector<uint8_t> scratch_;
  // Sized, never shrunk, so the per-event path writes through a pointer;
  // only the first batch_len bytes of a batch are meaningful.
  std::vector<uint8_t> batch_;
  // Fragments end to end, followed by kFragmentSlack bytes so that every
  // fragment can be copied as one fixed-size block.
  std::vector<uint8_t> fragments_;
  size_t fragments_len_ = 0;
  core::FlatMap<uint64_t, FragmentRef> fragment_index_;
  core::FlatMap<uint64_t, SharedFragmentRef> shared_fragment_index_;
  core::FlatMap<uint32_t, Track*> tracks_;
  std::vector<std::unique_ptr<Track>> track_list_;  // in order of first sight
  std::vector<std::unique_ptr<Sequence>> sequence_list_;
  Sequence* shared_ = nullptr;  // made when the first thread needs it
  std::vector<Unconfirmed> unconfirmed_;
  std::vector<Counter> counters_;  // user counters, in order of first sample
  std::string payload_buf_;
  std::optional<format::WallAnchor> anchor_;
  uint64_t process_uuid_;
  int32_t pid_;
  uint32_t sequence_base_ = 0;
  bool process_written_ = false;
  bool process_unconfirmed_ = false;
};

}  // namespace morvex::proto
