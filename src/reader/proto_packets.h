// PacketReader: the TracePackets of a Perfetto trace, one at a time, into a
// Builder. proto_parse.cc finds the packets in the file.
//
// What it understands (everything else is skipped):
//   - track descriptors of processes, threads and counters;
//   - per-sequence incremental state: interned event names, the default
//     track, both dropped when a packet says the state was cleared;
//   - compressed_packets bundles (zlib streams of whole packets), read as
//     the packets they hold;
//   - a sequence's incremental clock (a ClockSnapshot clock marked
//     incremental, made the sequence's default timestamp clock): each
//     timestamp on it is a delta from the sequence's previous one, and the
//     snapshot's other clock gives its value on the trace clock;
//   - track events: slice begin (a function by interned name, or a span by
//     inline name in category "user"), slice end, instant (user instants,
//     and morvex's own dropped-events and filters records), counter samples.
// An event's track is its own track_uuid when it has one, else its
// sequence's default track: threads that share one sequence name theirs.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/flatmap.h"
#include "format/perfetto.h"
#include "format/records.h"
#include "reader/builder.h"
#include "reader/wire.h"

namespace morvex::reader {

// Small iids (the writer counts from 1) are looked up in a vector.
inline constexpr uint64_t kDenseIids = 1 << 16;

// A function's interned source location.
struct Location {
  std::string file;
  uint32_t line = 0;
};

struct SequenceState {
  bool has_default = false;
  uint64_t default_track = 0;
  uint32_t default_clock = 0;  // a packet default, 0: the trace clock
  // Not incremental state: a snapshot declares it, and clearing keeps it.
  uint32_t incremental_clock = 0;
  uint64_t clock_now = 0;  // on the trace clock
  // iid -> function: the interned name with the source location of the same
  // iid when there is one (the pairing morvex writes: a begin names both).
  std::vector<uint32_t> names;
  core::FlatMap<uint64_t, uint32_t> far_names;
  // What the iids stand for, for the begins that pair them otherwise.
  std::unordered_map<uint64_t, std::string> name_text;
  std::unordered_map<uint64_t, Location> locations;
  // Category iids of slices begun by a resume rather than a call.
  std::vector<bool> resume_categories;
  // iid -> the builder's slot of (slots_thread, function), for small iids.
  std::vector<uint32_t> slots;
  uint32_t slots_thread = kNone;

  void clear() {
    has_default = false;
    default_track = 0;
    default_clock = 0;
    names.clear();
    far_names = core::FlatMap<uint64_t, uint32_t>();
    name_text.clear();
    locations.clear();
    resume_categories.clear();
    slots.clear();
  }
  // The slot of iid's function on `thread`, cached for the thread most
  // recently asked about.
  uint32_t slot(Builder& b, uint32_t thread, uint64_t iid, uint32_t function) {
    if (iid >= kDenseIids) return b.slot(thread, function);
    if (thread != slots_thread) {
      slots.clear();
      slots_thread = thread;
    }
    if (slots.size() <= iid) slots.resize(iid + 1, kNone);
    uint32_t& s = slots[iid];
    if (s == kNone) s = b.slot(thread, function);
    return s;
  }
  void set_name(uint64_t iid, uint32_t function) {
    if (iid < kDenseIids) {
      if (names.size() <= iid) names.resize(iid + 1, kNone);
      names[iid] = function;
      if (iid < slots.size()) slots[iid] = kNone;
    } else {
      *far_names.try_emplace(iid, function).first = function;
    }
  }
  uint32_t name(uint64_t iid) const {
    if (iid < names.size()) return names[iid];
    const uint32_t* f = iid < kDenseIids ? nullptr : far_names.find(iid);
    return f != nullptr ? *f : kNone;
  }
  const Location* location(uint64_t iid) const {
    auto found = locations.find(iid);
    return found != locations.end() ? &found->second : nullptr;
  }
  // The trace time of a timestamp field on `clock_id` of this sequence.
  uint64_t time(uint32_t clock_id, uint64_t field) {
    if (clock_id == 0 || clock_id != incremental_clock) return field;
    return clock_now += field;
  }
  uint64_t time(uint64_t field) { return time(default_clock, field); }
  bool resumes(uint64_t category_iid) const {
    return category_iid < resume_categories.size() && resume_categories[category_iid];
  }
};

class PacketReader {
 public:
  explicit PacketReader(Builder& b) : b_(b) {}

  // False when the packet is malformed.
  bool packet(std::string_view bytes);

  // The slice packets morvex writes, recognised by their exact layout
  //   timestamp, sequence id, sequence flags = needs incremental state,
  //   track event { type = slice begin, category iid, name iid, and the
  //   same iid as source location iid or none } or { type = slice end },
  // every tag and small value one byte but the location's two-byte tag,
  // and handled as packet() would, without its general field loop. False
  // for any other packet, which then takes the general path.
  // `limit` is the end of the readable bytes, at or beyond the packet's end.
  bool fast_slice(const uint8_t* p, const uint8_t* end, const uint8_t* limit) {
    using format::tag_byte;
    namespace packet = format::packet;
    namespace event = format::track_event;
    constexpr uint8_t kTimestamp = tag_byte(packet::kTimestamp);
    constexpr uint8_t kSequenceId = tag_byte(packet::kSequenceId);
    constexpr uint8_t kFlags[2] = {tag_byte(packet::kSequenceFlags),
                                   packet::kNeedsIncrementalState};
    constexpr uint8_t kTrackEvent = tag_byte(packet::kTrackEvent);
    constexpr uint8_t kType = tag_byte(event::kType);
    constexpr uint8_t kCategory[2] = {event::kTypeSliceBegin, tag_byte(event::kCategoryIids)};
    constexpr uint8_t kNameIid = tag_byte(event::kNameIid);
    constexpr format::Tag kLocation = format::make_tag(event::kSourceLocationIid);
    static_assert(kLocation.len == 2);
    uint64_t ts, seq_id, iid = 0;
    if (p == end || *p != kTimestamp) return false;
    p = wire::varint_wide(p + 1, end, limit, ts);
    if (p == nullptr || p == end || *p != kSequenceId) return false;
    p = wire::read_varint(p + 1, end, seq_id);
    if (p == nullptr || end - p < 6 || p[0] != kFlags[0] || p[1] != kFlags[1] ||
        p[2] != kTrackEvent || p[3] != end - p - 4 || p[4] != kType) {
      return false;
    }
    SequenceState& seq = sequence(static_cast<uint32_t>(seq_id));
    if (!seq.has_default) return false;
    p += 5;
    if (*p == event::kTypeSliceEnd && end - p == 1) {
      b_.end(thread_for(seq.default_track), seq.time(ts));
      return true;
    }
    if (end - p < 5 || p[0] != kCategory[0] || p[1] != kCategory[1] || p[2] >= 0x80 ||
        p[3] != kNameIid) {
      return false;
    }
    const uint8_t category = p[2];
    p = wire::read_varint(p + 4, end, iid);
    if (p == nullptr) return false;
    if (p != end) {
      // Only the location of the same iid, which the name's function has.
      uint64_t location;
      if (end - p < 3 || p[0] != kLocation.bytes[0] || p[1] != kLocation.bytes[1] ||
          wire::read_varint(p + 2, end, location) != end || location != iid) {
        return false;
      }
    } else if (!seq.locations.empty() && seq.locations.contains(iid)) {
      return false;  // a name without the location of its iid
    }
    const uint32_t function = seq.name(iid);
    if (function == kNone) return false;
    const uint32_t thread = thread_for(seq.default_track);
    b_.begin_slot(thread, seq.slot(b_, thread, iid, function), seq.time(ts),
                  !seq.resumes(category));
    return true;
  }

 private:
  [[gnu::always_inline]] SequenceState& sequence(uint32_t id) {
    if (id == last_seq_id_ && last_seq_ != nullptr) [[likely]]
      return *last_seq_;
    return find_sequence(id);
  }

  SequenceState& find_sequence(uint32_t id) {
    uint32_t* index = seq_index_.find(id);
    if (index == nullptr) {
      index = seq_index_.try_emplace(id, static_cast<uint32_t>(sequences_.size())).first;
      sequences_.push_back(std::make_unique<SequenceState>());
    }
    last_seq_id_ = id;
    last_seq_ = sequences_[*index].get();
    return *last_seq_;
  }

  // A track no descriptor named yet still gets a thread of its own.
  [[gnu::always_inline]] uint32_t thread_for(uint64_t track) {
    if (track == last_track_ && last_thread_ != kNone) [[likely]]
      return last_thread_;
    return find_thread(track);
  }

  uint32_t find_thread(uint64_t track) {
    uint32_t t;
    if (const uint32_t* found = thread_tracks_.find(track)) {
      t = *found;
    } else {
      t = b_.thread(static_cast<uint32_t>(track >> 32), static_cast<uint32_t>(track));
      thread_tracks_.insert(track, t);
    }
    last_track_ = track;
    last_thread_ = t;
    return t;
  }

  uint32_t pid_for(uint64_t track) const {
    if (const uint32_t* pid = process_tracks_.find(track)) return *pid;
    if (const uint32_t* t = thread_tracks_.find(track)) return b_.thread_pid(*t);
    return static_cast<uint32_t>(track >> 32);  // how morvex makes process uuids
  }

  // The packets of a compressed_packets bundle.
  bool bundle(std::string_view deflated);
  bool clock_snapshot(SequenceState& seq, std::string_view bytes);
  bool interned(SequenceState& seq, std::string_view bytes);
  // The builder's function of a name at a location (none: unknown).
  uint32_t located_function(std::string_view name, const Location* where);
  // The function a begin names by interned name and, perhaps, location.
  uint32_t function_of(SequenceState& seq, uint64_t name_iid,
                       std::optional<uint64_t> location_iid);
  bool defaults(SequenceState& seq, std::string_view bytes);
  bool descriptor(std::string_view bytes);
  bool event(SequenceState& seq, std::string_view bytes, uint64_t ts);
  bool filters(std::string_view event_bytes, uint32_t pid);

  Builder& b_;
  core::FlatMap<uint32_t, uint32_t> seq_index_;
  std::vector<std::unique_ptr<SequenceState>> sequences_;
  uint32_t last_seq_id_ = 0;
  SequenceState* last_seq_ = nullptr;
  core::FlatMap<uint64_t, uint32_t> thread_tracks_;   // uuid -> thread
  core::FlatMap<uint64_t, uint32_t> process_tracks_;  // uuid -> pid
  core::FlatMap<uint64_t, uint32_t> counter_tracks_;  // uuid -> counter
  uint64_t last_track_ = 0;
  uint32_t last_thread_ = kNone;
  // Inflates a bundle; made at the first one.
  struct Inflater;
  struct InflaterDelete {
    void operator()(Inflater* i) const;
  };
  std::unique_ptr<Inflater, InflaterDelete> inflater_;
  std::vector<uint8_t> inflated_;  // the bundle being read
  bool in_bundle_ = false;
};

}  // namespace morvex::reader
