// The Perfetto parser: a stream of Trace.packet fields, each a TracePacket.
//
// What it understands (everything else is skipped):
//   - track descriptors of processes, threads and counters;
//   - per-sequence incremental state: interned event names, the default
//     track, both dropped when a packet says the state was cleared;
//   - track events: slice begin (a function by interned name, or a span by
//     inline name in category "user"), slice end, instant (user instants,
//     and morvex's own dropped-events and filters records), counter samples.
// An event's track is its own track_uuid when it has one, else its
// sequence's default track: threads that share one sequence name theirs.
#include <bit>
#include <charconv>
#include <memory>
#include <vector>

#include "core/flatmap.h"
#include "reader/parse.h"
#include "reader/wire.h"

namespace morvex::reader {

namespace {

using wire::kBytes;
using wire::kFixed64;
using wire::kVarint;

constexpr uint64_t tag(uint32_t field, wire::WireType type) { return (uint64_t{field} << 3) | type; }

constexpr uint64_t kTracePacket = tag(1, kBytes);
// TracePacket
constexpr uint64_t kPacketTimestamp = tag(8, kVarint);
constexpr uint64_t kPacketSequenceId = tag(10, kVarint);
constexpr uint64_t kPacketTrackEvent = tag(11, kBytes);
constexpr uint64_t kPacketInterned = tag(12, kBytes);
constexpr uint64_t kPacketFlags = tag(13, kVarint);
constexpr uint64_t kPacketDefaults = tag(59, kBytes);
constexpr uint64_t kPacketDescriptor = tag(60, kBytes);
// TrackEvent
constexpr uint64_t kEventCategoryIid = tag(3, kVarint);
constexpr uint64_t kEventAnnotation = tag(4, kBytes);
constexpr uint64_t kEventType = tag(9, kVarint);
constexpr uint64_t kEventNameIid = tag(10, kVarint);
constexpr uint64_t kEventTrackUuid = tag(11, kVarint);
constexpr uint64_t kEventCategory = tag(22, kBytes);
constexpr uint64_t kEventName = tag(23, kBytes);
constexpr uint64_t kEventCounterValue = tag(30, kVarint);
constexpr uint64_t kEventDoubleCounterValue = tag(44, kFixed64);
// TrackDescriptor
constexpr uint64_t kTrackUuid = tag(1, kVarint);
constexpr uint64_t kTrackName = tag(2, kBytes);
constexpr uint64_t kTrackProcess = tag(3, kBytes);
constexpr uint64_t kTrackThread = tag(4, kBytes);
constexpr uint64_t kTrackParent = tag(5, kVarint);
constexpr uint64_t kTrackCounter = tag(8, kBytes);
// ProcessDescriptor and ThreadDescriptor
constexpr uint64_t kPid = tag(1, kVarint);
constexpr uint64_t kTid = tag(2, kVarint);
constexpr uint64_t kThreadName = tag(5, kBytes);
constexpr uint64_t kProcessName = tag(6, kBytes);
// InternedData and EventName
constexpr uint64_t kInternedEventName = tag(2, kBytes);
constexpr uint64_t kNameIid = tag(1, kVarint);
constexpr uint64_t kNameText = tag(2, kBytes);
// TracePacketDefaults and TrackEventDefaults
constexpr uint64_t kDefaultsTrackEvent = tag(11, kBytes);
constexpr uint64_t kDefaultsTrackUuid = tag(11, kVarint);
// DebugAnnotation
constexpr uint64_t kAnnotationName = tag(10, kBytes);
constexpr uint64_t kAnnotationUint = tag(3, kVarint);
constexpr uint64_t kAnnotationInt = tag(4, kVarint);
constexpr uint64_t kAnnotationString = tag(6, kBytes);

constexpr uint64_t kTypeSliceBegin = 1;
constexpr uint64_t kTypeSliceEnd = 2;
constexpr uint64_t kTypeInstant = 3;
constexpr uint64_t kTypeCounter = 4;
constexpr uint64_t kSeqIncrementalStateCleared = 1;

constexpr std::string_view kDroppedPrefix = "morvex: ";

// Small iids (the writer counts from 1) are looked up in a vector.
constexpr uint64_t kDenseIids = 1 << 16;

struct Sequence {
  bool has_default = false;
  uint64_t default_track = 0;
  std::vector<uint32_t> names;  // iid -> function, kNone where not interned
  core::FlatMap<uint64_t, uint32_t> far_names;
  // iid -> the builder's slot of (slots_thread, function), for small iids.
  std::vector<uint32_t> slots;
  uint32_t slots_thread = kNone;

  void clear() {
    has_default = false;
    default_track = 0;
    names.clear();
    far_names = core::FlatMap<uint64_t, uint32_t>();
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
};

std::string_view as_view(const uint8_t* p, const uint8_t* end) {
  return std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
}

template <class V>
void put(core::FlatMap<uint64_t, V>& map, uint64_t key, V value) {
  *map.try_emplace(key, value).first = value;
}

class PerfettoParser {
 public:
  explicit PerfettoParser(Builder& b) : b_(b) {}

  // False when the packet is malformed.
  bool packet(std::string_view bytes);

  // The slice packets morvex writes, recognised by their exact layout
  //   40 <ts> 50 <seq> 68 02 5a <len> (48 01 18 01 50 <iid> | 48 02)
  // and handled as packet() would, without its general field loop. False
  // for any other packet, which then takes the general path.
  // `limit` is the end of the readable bytes, at or beyond the packet's end.
  bool fast_slice(const uint8_t* p, const uint8_t* end, const uint8_t* limit) {
    uint64_t ts, seq_id, iid;
    if (p == end || *p != kPacketTimestamp) return false;
    p = wire::varint_wide(p + 1, end, limit, ts);
    if (p == nullptr || p == end || *p != kPacketSequenceId) return false;
    p = wire::varint(p + 1, end, seq_id);
    if (p == nullptr || end - p < 6 || p[0] != 0x68 || p[1] != 0x02 || p[2] != 0x5A ||
        p[3] != end - p - 4 || p[4] != 0x48) {
      return false;
    }
    Sequence& seq = sequence(static_cast<uint32_t>(seq_id));
    if (!seq.has_default) return false;
    p += 5;
    if (*p == 0x02 && end - p == 1) {
      b_.end(thread_for(seq.default_track), ts);
      return true;
    }
    if (end - p < 5 || p[0] != 0x01 || p[1] != 0x18 || p[2] != 0x01 || p[3] != 0x50) return false;
    if (wire::varint(p + 4, end, iid) != end) return false;
    const uint32_t function = seq.name(iid);
    if (function == kNone) return false;
    const uint32_t thread = thread_for(seq.default_track);
    b_.begin_slot(thread, seq.slot(b_, thread, iid, function), ts, true);
    return true;
  }

 private:
  [[gnu::always_inline]] Sequence& sequence(uint32_t id) {
    if (id == last_seq_id_ && last_seq_ != nullptr) [[likely]] return *last_seq_;
    return find_sequence(id);
  }

  Sequence& find_sequence(uint32_t id) {
    uint32_t* index = seq_index_.find(id);
    if (index == nullptr) {
      index = seq_index_.try_emplace(id, static_cast<uint32_t>(sequences_.size())).first;
      sequences_.push_back(std::make_unique<Sequence>());
    }
    last_seq_id_ = id;
    last_seq_ = sequences_[*index].get();
    return *last_seq_;
  }

  // A track no descriptor named yet still gets a thread of its own.
  [[gnu::always_inline]] uint32_t thread_for(uint64_t track) {
    if (track == last_track_ && last_thread_ != kNone) [[likely]] return last_thread_;
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

  bool interned(Sequence& seq, std::string_view bytes);
  bool defaults(Sequence& seq, std::string_view bytes);
  bool descriptor(std::string_view bytes);
  bool event(Sequence& seq, std::string_view bytes, uint64_t ts);
  bool filters(std::string_view event_bytes, uint32_t pid);

  Builder& b_;
  core::FlatMap<uint32_t, uint32_t> seq_index_;
  std::vector<std::unique_ptr<Sequence>> sequences_;
  uint32_t last_seq_id_ = 0;
  Sequence* last_seq_ = nullptr;
  core::FlatMap<uint64_t, uint32_t> thread_tracks_;   // uuid -> thread
  core::FlatMap<uint64_t, uint32_t> process_tracks_;  // uuid -> pid
  core::FlatMap<uint64_t, uint32_t> counter_tracks_;  // uuid -> counter
  uint64_t last_track_ = 0;
  uint32_t last_thread_ = kNone;
};

bool PerfettoParser::packet(std::string_view bytes) {
  uint64_t ts = 0, seq_id = 0, flags = 0;
  std::string_view te, interned_data, defaults_data, descriptor_data;
  bool has_te = false, has_interned = false, has_defaults = false, has_descriptor = false;
  const uint8_t* p = wire::begin_of(bytes);
  const uint8_t* end = wire::end_of(bytes);
  while (p < end) {
    uint64_t t;
    p = wire::varint(p, end, t);
    if (p == nullptr) return false;
    switch (t) {
      case kPacketTimestamp:
        p = wire::varint(p, end, ts);
        break;
      case kPacketSequenceId:
        p = wire::varint(p, end, seq_id);
        break;
      case kPacketFlags:
        p = wire::varint(p, end, flags);
        break;
      case kPacketTrackEvent:
        p = wire::bytes(p, end, te);
        has_te = true;
        break;
      case kPacketInterned:
        p = wire::bytes(p, end, interned_data);
        has_interned = true;
        break;
      case kPacketDefaults:
        p = wire::bytes(p, end, defaults_data);
        has_defaults = true;
        break;
      case kPacketDescriptor:
        p = wire::bytes(p, end, descriptor_data);
        has_descriptor = true;
        break;
      default:
        if ((t >> 3) == 0) return false;
        p = wire::skip(p, end, t);
    }
    if (p == nullptr) return false;
  }
  Sequence& seq = sequence(static_cast<uint32_t>(seq_id));
  if ((flags & kSeqIncrementalStateCleared) != 0) seq.clear();
  if (has_interned && !interned(seq, interned_data)) return false;
  if (has_defaults && !defaults(seq, defaults_data)) return false;
  if (has_descriptor && !descriptor(descriptor_data)) return false;
  if (has_te && !event(seq, te, ts)) return false;
  return true;
}

bool PerfettoParser::interned(Sequence& seq, std::string_view bytes) {
  return wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    if (t != kInternedEventName) return wire::skip(p, end, t);
    std::string_view entry;
    p = wire::bytes(p, end, entry);
    if (p == nullptr) return p;
    uint64_t iid = 0;
    std::string_view name;
    bool ok = wire::for_each_field(entry, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
      if (f == kNameIid) return wire::varint(q, e, iid);
      if (f == kNameText) return wire::bytes(q, e, name);
      return wire::skip(q, e, f);
    });
    if (!ok) return static_cast<const uint8_t*>(nullptr);
    seq.set_name(iid, b_.function(name, {}, 0, false));
    return p;
  });
}

bool PerfettoParser::defaults(Sequence& seq, std::string_view bytes) {
  return wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    if (t != kDefaultsTrackEvent) return wire::skip(p, end, t);
    std::string_view track_defaults;
    p = wire::bytes(p, end, track_defaults);
    if (p == nullptr) return p;
    bool ok = wire::for_each_field(track_defaults,
                                   [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
                                     if (f != kDefaultsTrackUuid) return wire::skip(q, e, f);
                                     seq.has_default = true;
                                     return wire::varint(q, e, seq.default_track);
                                   });
    return ok ? p : nullptr;
  });
}

bool PerfettoParser::descriptor(std::string_view bytes) {
  uint64_t uuid = 0, parent = 0;
  std::string_view name, process, thread;
  bool has_process = false, has_thread = false, has_counter = false;
  bool ok = wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    switch (t) {
      case kTrackUuid:
        return wire::varint(p, end, uuid);
      case kTrackParent:
        return wire::varint(p, end, parent);
      case kTrackName:
        return wire::bytes(p, end, name);
      case kTrackProcess:
        has_process = true;
        return wire::bytes(p, end, process);
      case kTrackThread:
        has_thread = true;
        return wire::bytes(p, end, thread);
      case kTrackCounter:
        has_counter = true;
        return wire::skip(p, end, t);
      default:
        return wire::skip(p, end, t);
    }
  });
  if (!ok) return false;

  // pid and tid are int32 on the wire: tids of 2^31 and up arrive negative,
  // sign-extended, and are taken back to their unsigned 32 bits.
  uint64_t pid = 0, tid = 0;
  std::string_view label;
  bool has_label = false;
  auto person = [&](std::string_view message, uint64_t name_tag) {
    return wire::for_each_field(message, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
      if (t == kPid) return wire::varint(p, end, pid);
      if (t == kTid) return wire::varint(p, end, tid);
      if (t == name_tag) {
        has_label = true;
        return wire::bytes(p, end, label);
      }
      return wire::skip(p, end, t);
    });
  };
  if (has_process) {
    if (!person(process, kProcessName)) return false;
    b_.process(static_cast<uint32_t>(pid));
    if (has_label) b_.set_process_name(static_cast<uint32_t>(pid), label);
    put(process_tracks_, uuid, static_cast<uint32_t>(pid));
  } else if (has_thread) {
    if (!person(thread, kThreadName)) return false;
    const uint32_t t = b_.thread(static_cast<uint32_t>(pid), static_cast<uint32_t>(tid));
    if (has_label) b_.set_thread_name(t, label);
    put(thread_tracks_, uuid, t);
    last_thread_ = kNone;
  } else if (has_counter) {
    put(counter_tracks_, uuid, b_.counter(pid_for(parent), name));
  }
  return true;
}

bool PerfettoParser::event(Sequence& seq, std::string_view bytes, uint64_t ts) {
  uint64_t type = 0, name_iid = 0, track = 0, counter_bits = 0;
  bool has_iid = false, has_track = false, has_name = false, has_int = false, has_double = false;
  bool user = false, dropped = false, filter_record = false;
  std::string_view name;
  const uint8_t* p = wire::begin_of(bytes);
  const uint8_t* end = wire::end_of(bytes);
  while (p < end) {
    uint64_t t;
    p = wire::varint(p, end, t);
    if (p == nullptr) return false;
    switch (t) {
      case kEventType:
        p = wire::varint(p, end, type);
        break;
      case kEventCategoryIid: {
        uint64_t iid;  // morvex interns one category per sequence, "py"
        p = wire::varint(p, end, iid);
        break;
      }
      case kEventNameIid:
        p = wire::varint(p, end, name_iid);
        has_iid = true;
        break;
      case kEventTrackUuid:
        p = wire::varint(p, end, track);
        has_track = true;
        break;
      case kEventName:
        p = wire::bytes(p, end, name);
        has_name = true;
        break;
      case kEventCategory: {
        std::string_view category;
        p = wire::bytes(p, end, category);
        user |= category == "user";
        dropped |= category == "dropped";
        filter_record |= category == "filters";
        break;
      }
      case kEventCounterValue:
        p = wire::varint(p, end, counter_bits);
        has_int = true;
        has_double = false;
        break;
      case kEventDoubleCounterValue:
        p = wire::fixed64(p, end, counter_bits);
        has_double = true;
        has_int = false;
        break;
      default:
        if ((t >> 3) == 0) return false;
        p = wire::skip(p, end, t);
    }
    if (p == nullptr) return false;
  }
  if (!has_track) track = seq.has_default ? seq.default_track : 0;

  switch (type) {
    case kTypeSliceBegin: {
      uint32_t function = has_iid ? seq.name(name_iid) : kNone;
      if (function == kNone) {
        // A name the sequence never interned, or an inline one (user spans).
        function = b_.function(has_iid ? std::string_view() : name, {}, 0, user && !has_iid);
      }
      b_.begin(thread_for(track), function, ts, true);
      break;
    }
    case kTypeSliceEnd:
      b_.end(thread_for(track), ts);
      break;
    case kTypeInstant:
      if (dropped && has_name && name.starts_with(kDroppedPrefix)) {
        std::string_view digits = name.substr(kDroppedPrefix.size());
        uint64_t n = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), n);
        b_.add_dropped(pid_for(track), n);
      } else if (filter_record) {
        return filters(bytes, pid_for(track));
      } else {
        b_.instant(ts);
      }
      break;
    case kTypeCounter: {
      uint32_t counter;
      if (const uint32_t* found = counter_tracks_.find(track)) {
        counter = *found;
      } else {
        counter = b_.counter(pid_for(track), "track " + std::to_string(track));
        counter_tracks_.insert(track, counter);
      }
      double value = 0;
      if (has_double) value = std::bit_cast<double>(counter_bits);
      if (has_int) value = static_cast<double>(static_cast<int64_t>(counter_bits));
      b_.sample(counter, ts, value);
      break;
    }
    default:
      break;  // types this reader has no use for
  }
  return true;
}

bool PerfettoParser::filters(std::string_view event_bytes, uint32_t pid) {
  FilterInfo info;
  bool ok = wire::for_each_field(event_bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    if (t != kEventAnnotation) return wire::skip(p, end, t);
    std::string_view annotation;
    p = wire::bytes(p, end, annotation);
    if (p == nullptr) return p;
    std::string_view key, text;
    uint64_t number = 0;
    bool has_text = false, has_number = false;
    bool fine = wire::for_each_field(annotation, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
      if (f == kAnnotationName) return wire::bytes(q, e, key);
      if (f == kAnnotationString) {
        has_text = true;
        return wire::bytes(q, e, text);
      }
      if (f == kAnnotationInt || f == kAnnotationUint) {
        has_number = true;
        return wire::varint(q, e, number);
      }
      return wire::skip(q, e, f);
    });
    if (!fine) return static_cast<const uint8_t*>(nullptr);
    // int_value is an int64: a negative count or option means nothing.
    if (static_cast<int64_t>(number) < 0) number = 0;
    if (has_text && key == "include") info.include = std::string(text);
    if (has_text && key == "exclude") info.exclude = std::string(text);
    if (has_number) {
      if (key == "max_depth") info.max_depth = number;
      if (key == "min_duration_ns") info.min_duration_ns = number;
      if (key == "filtered_functions") info.filtered_functions = number;
      if (key == "max_depth_events") info.max_depth_events = number;
      if (key == "min_duration_events") info.min_duration_events = number;
    }
    return p;
  });
  if (!ok) return false;
  b_.set_filters(pid, info);
  return true;
}

enum class Extent { Ok, More, Bad };

// The extent of the top-level field at p: its header (tag, and length for
// bytes) and its whole size.
inline Extent field_extent(const uint8_t* p, const uint8_t* end, uint64_t& t, size_t& header,
                           size_t& total) {
  const uint8_t* q = wire::varint(p, end, t);
  if (q == nullptr) return end - p >= 10 ? Extent::Bad : Extent::More;
  if ((t >> 3) == 0) return Extent::Bad;
  uint64_t v;
  switch (t & 7) {
    case kVarint: {
      const uint8_t* r = wire::varint(q, end, v);
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
      const uint8_t* r = wire::varint(q, end, v);
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
  if (!in.ensure(1) || in.data()[0] != 0x0A) return false;
  (void)in.ensure(1 + wire::kMaxVarintLen);
  const uint8_t* p = in.data();
  const uint8_t* end = p + in.avail();
  uint64_t len;
  const uint8_t* q = wire::varint(p + 1, end, len);
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
  PerfettoParser parser(builder);
  for (;;) {
    if (in.avail() == 0 && !in.ensure(1)) return {};
    const uint8_t* base = in.data();
    const uint8_t* end = base + in.avail();
    const uint8_t* p = base;
    size_t need = 0;
    while (p < end) {
      // Most packets are short: tag 0x0A and a one-byte length.
      if (end - p >= 2 && p[0] == kTracePacket && p[1] < 0x80) [[likely]] {
        const uint8_t* body = p + 2;
        const uint8_t* next = body + p[1];
        if (next > end) {
          need = 2 + p[1];
          break;
        }
        if (!parser.fast_slice(body, next, end) && !parser.packet(as_view(body, next))) {
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
      if (t == kTracePacket && !parser.fast_slice(p + header, p + total, end) &&
          !parser.packet(as_view(p + header, p + total))) {
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
