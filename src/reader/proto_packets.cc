#include "reader/proto_packets.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <optional>
#include <string>

#if defined(MORVEX_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#elif defined(MORVEX_HAVE_ZLIB)
#include <zlib.h>
#endif

#include "core/event.h"
#include "reader/input.h"

namespace morvex::reader {

using format::key;
namespace packet = format::packet;
namespace event = format::track_event;
namespace annotation = format::debug_annotation;
namespace track = format::track_descriptor;

namespace {

template <class V>
void put(core::FlatMap<uint64_t, V>& map, uint64_t key, V value) {
  *map.try_emplace(key, value).first = value;
}

}  // namespace

bool PacketReader::packet(std::string_view bytes) {
  uint64_t ts = 0, seq_id = 0, flags = 0, clock_id = 0;
  std::string_view te, interned_data, defaults_data, descriptor_data, snapshot, deflated;
  bool has_te = false, has_interned = false, has_defaults = false, has_descriptor = false;
  bool has_clock_id = false, has_snapshot = false, has_bundle = false;
  const uint8_t* p = wire::begin_of(bytes);
  const uint8_t* end = wire::end_of(bytes);
  while (p < end) {
    uint64_t t;
    p = wire::read_varint(p, end, t);
    if (p == nullptr) return false;
    switch (t) {
      case key(packet::kTimestamp):
        p = wire::read_varint(p, end, ts);
        break;
      case key(packet::kSequenceId):
        p = wire::read_varint(p, end, seq_id);
        break;
      case key(packet::kSequenceFlags):
        p = wire::read_varint(p, end, flags);
        break;
      case key(packet::kTrackEvent):
        p = wire::bytes(p, end, te);
        has_te = true;
        break;
      case key(packet::kInternedData):
        p = wire::bytes(p, end, interned_data);
        has_interned = true;
        break;
      case key(packet::kDefaults):
        p = wire::bytes(p, end, defaults_data);
        has_defaults = true;
        break;
      case key(packet::kTrackDescriptor):
        p = wire::bytes(p, end, descriptor_data);
        has_descriptor = true;
        break;
      case key(packet::kTimestampClockId):
        p = wire::read_varint(p, end, clock_id);
        has_clock_id = true;
        break;
      case key(packet::kClockSnapshot):
        p = wire::bytes(p, end, snapshot);
        has_snapshot = true;
        break;
      case key(packet::kCompressedPackets):
        p = wire::bytes(p, end, deflated);
        has_bundle = true;
        break;
      default:
        if ((t >> 3) == 0) return false;
        p = wire::skip(p, end, t);
    }
    if (p == nullptr) return false;
  }
  if (has_bundle) return bundle(deflated);
  SequenceState& seq = sequence(static_cast<uint32_t>(seq_id));
  if ((flags & packet::kIncrementalStateCleared) != 0) seq.clear();
  if (has_interned && !interned(seq, interned_data)) return false;
  if (has_defaults && !defaults(seq, defaults_data)) return false;
  if (has_snapshot) return clock_snapshot(seq, snapshot);
  ts = has_clock_id ? seq.time(static_cast<uint32_t>(clock_id), ts) : seq.time(ts);
  if (has_descriptor && !descriptor(descriptor_data)) return false;
  if (has_te && !event(seq, te, ts)) return false;
  return true;
}

namespace {

// Room for any bundle morvex writes (at most Bundler::kBundleInput bytes of
// packets, or one larger packet alone); bigger ones, from other writers,
// grow the buffer.
constexpr size_t kInflatedRoom = 256 * 1024;

}  // namespace

#if defined(MORVEX_HAVE_LIBDEFLATE)

struct PacketReader::Inflater {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  ~Inflater() { libdeflate_free_decompressor(d); }

  // The whole zlib stream `in` into `out`; its length, or nothing when it
  // is damaged, does not end where `in` does, or inflates past kMaxRecord.
  std::optional<size_t> inflate(std::string_view in, std::vector<uint8_t>& out) {
    if (d == nullptr) return std::nullopt;
    if (out.size() < kInflatedRoom) out.resize(kInflatedRoom);
    for (;;) {
      size_t used = 0, len = 0;
      const libdeflate_result r = libdeflate_zlib_decompress_ex(
          d, in.data(), in.size(), out.data(), out.size(), &used, &len);
      if (r == LIBDEFLATE_SUCCESS) {
        if (used != in.size()) return std::nullopt;
        return len;
      }
      if (r != LIBDEFLATE_INSUFFICIENT_SPACE || out.size() >= Input::kMaxRecord) {
        return std::nullopt;
      }
      out.resize(std::min(out.size() * 2, Input::kMaxRecord));
    }
  }
};

#elif defined(MORVEX_HAVE_ZLIB)

struct PacketReader::Inflater {
  std::optional<size_t> inflate(std::string_view in, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = const_cast<Bytef*>(wire::begin_of(in));
    z.avail_in = static_cast<uInt>(in.size());
    if (out.size() < kInflatedRoom) out.resize(kInflatedRoom);
    size_t len = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
      if (len == out.size()) {
        if (out.size() >= Input::kMaxRecord) break;
        out.resize(std::min(out.size() * 2, Input::kMaxRecord));
      }
      z.next_out = out.data() + len;
      z.avail_out = static_cast<uInt>(out.size() - len);
      rc = ::inflate(&z, Z_NO_FLUSH);
      len = out.size() - z.avail_out;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END || z.avail_in != 0) return std::nullopt;
    return len;
  }
};

#else

struct PacketReader::Inflater {
  std::optional<size_t> inflate(std::string_view, std::vector<uint8_t>&) { return std::nullopt; }
};

#endif

void PacketReader::InflaterDelete::operator()(Inflater* i) const { delete i; }

bool PacketReader::bundle(std::string_view deflated) {
  // A bundle holds packets, never another bundle.
  if (in_bundle_) return false;
  if (inflater_ == nullptr) inflater_.reset(new Inflater);
  const std::optional<size_t> len = inflater_->inflate(deflated, inflated_);
  if (!len) return false;

  constexpr uint8_t kPacketTag = format::tag_byte(format::trace::kPacket);
  const uint8_t* p = inflated_.data();
  const uint8_t* end = p + *len;
  in_bundle_ = true;
  bool ok = true;
  while (ok && p < end) {
    uint64_t n = 0;
    const uint8_t* body = *p == kPacketTag ? wire::read_varint(p + 1, end, n) : nullptr;
    if (body == nullptr || n > static_cast<uint64_t>(end - body)) {
      ok = false;
      break;
    }
    const uint8_t* next = body + n;
    ok = fast_slice(body, next, end) || packet(wire::view(body, next));
    p = next;
  }
  in_bundle_ = false;
  return ok;
}

bool PacketReader::clock_snapshot(SequenceState& seq, std::string_view bytes) {
  namespace clock = format::clock;
  uint64_t incremental_id = 0, incremental_ts = 0, trace_ts = 0;
  bool has_trace = false;
  bool ok = wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    if (t != key(format::clock_snapshot::kClocks)) return wire::skip(p, end, t);
    std::string_view entry;
    p = wire::bytes(p, end, entry);
    if (p == nullptr) return p;
    uint64_t id = 0, ts = 0, incremental = 0;
    bool fine = wire::for_each_field(entry, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
      if (f == key(clock::kClockId)) return wire::read_varint(q, e, id);
      if (f == key(clock::kTimestamp)) return wire::read_varint(q, e, ts);
      if (f == key(clock::kIsIncremental)) return wire::read_varint(q, e, incremental);
      return wire::skip(q, e, f);
    });
    if (!fine) return static_cast<const uint8_t*>(nullptr);
    if (incremental != 0 && id >= clock::kFirstSequenceClock && id <= clock::kLastSequenceClock) {
      incremental_id = id;
      incremental_ts = ts;
    } else {
      // The clock it is read against: the trace's, as morvex writes it.
      trace_ts = ts;
      has_trace = true;
    }
    return p;
  });
  if (!ok) return false;
  if (incremental_id != 0) {
    seq.incremental_clock = static_cast<uint32_t>(incremental_id);
    seq.clock_now = has_trace ? trace_ts : incremental_ts;
  }
  return true;
}

bool PacketReader::interned(SequenceState& seq, std::string_view bytes) {
  namespace interned = format::interned_data;
  namespace location = format::source_location;
  std::vector<uint64_t> touched;  // iids whose function may have changed
  bool ok = wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    const bool names = t == key(interned::kEventNames);
    const bool categories = t == key(interned::kEventCategories);
    const bool locations = t == key(interned::kSourceLocations);
    if (!names && !categories && !locations) return wire::skip(p, end, t);
    std::string_view entry;
    p = wire::bytes(p, end, entry);
    if (p == nullptr) return p;
    uint64_t iid = 0, line = 0;
    std::string_view text, file;
    bool fine = wire::for_each_field(entry, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
      if (f == key(format::interned_string::kIid)) return wire::read_varint(q, e, iid);
      if (locations) {
        if (f == key(location::kFileName)) return wire::bytes(q, e, file);
        if (f == key(location::kLineNumber)) return wire::read_varint(q, e, line);
      } else if (f == key(format::interned_string::kName)) {
        return wire::bytes(q, e, text);
      }
      return wire::skip(q, e, f);
    });
    if (!fine) return static_cast<const uint8_t*>(nullptr);
    if (categories) {
      if (iid < kDenseIids) {
        if (seq.resume_categories.size() <= iid) seq.resume_categories.resize(iid + 1);
        seq.resume_categories[iid] = text == format::kResumeCategory;
      }
      return p;
    }
    if (names) {
      seq.name_text[iid] = std::string(text);
    } else {
      // A line past int32 is no line a source file has.
      seq.locations[iid] = Location{std::string(file), line <= INT32_MAX ? uint32_t(line) : 0};
    }
    touched.push_back(iid);
    return p;
  });
  if (!ok) return false;
  for (uint64_t iid : touched) {
    auto text = seq.name_text.find(iid);
    if (text == seq.name_text.end()) continue;  // a location whose name comes later
    seq.set_name(iid, located_function(text->second, seq.location(iid)));
  }
  return true;
}

uint32_t PacketReader::located_function(std::string_view name, const Location* where) {
  return b_.function(name, where ? std::string_view(where->file) : std::string_view(),
                     where ? where->line : 0, false);
}

uint32_t PacketReader::function_of(SequenceState& seq, uint64_t name_iid,
                                   std::optional<uint64_t> location_iid) {
  // The pairing morvex writes, and a name with no location of its iid.
  if (location_iid ? *location_iid == name_iid : !seq.locations.contains(name_iid)) {
    return seq.name(name_iid);
  }
  auto text = seq.name_text.find(name_iid);
  if (text == seq.name_text.end()) return kNone;
  return located_function(text->second, location_iid ? seq.location(*location_iid) : nullptr);
}

bool PacketReader::defaults(SequenceState& seq, std::string_view bytes) {
  return wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    if (t == key(format::packet_defaults::kTimestampClockId)) {
      uint64_t id = 0;
      p = wire::read_varint(p, end, id);
      seq.default_clock = static_cast<uint32_t>(id);
      return p;
    }
    if (t != key(format::packet_defaults::kTrackEventDefaults)) return wire::skip(p, end, t);
    std::string_view track_defaults;
    p = wire::bytes(p, end, track_defaults);
    if (p == nullptr) return p;
    bool ok =
        wire::for_each_field(track_defaults, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
          if (f != key(format::track_event_defaults::kTrackUuid)) return wire::skip(q, e, f);
          seq.has_default = true;
          return wire::read_varint(q, e, seq.default_track);
        });
    return ok ? p : nullptr;
  });
}

bool PacketReader::descriptor(std::string_view bytes) {
  uint64_t uuid = 0, parent = 0;
  std::string_view name, process, thread;
  bool has_process = false, has_thread = false, has_counter = false;
  bool ok = wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    switch (t) {
      case key(track::kUuid):
        return wire::read_varint(p, end, uuid);
      case key(track::kParentUuid):
        return wire::read_varint(p, end, parent);
      case key(track::kName):
        return wire::bytes(p, end, name);
      case key(track::kProcess):
        has_process = true;
        return wire::bytes(p, end, process);
      case key(track::kThread):
        has_thread = true;
        return wire::bytes(p, end, thread);
      case key(track::kCounter):
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
  std::string_view label, host;
  std::optional<uint64_t> realtime_ns;
  bool has_label = false;
  auto person = [&](std::string_view message, format::Field pid_field, format::Field name_field) {
    return wire::for_each_field(message, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
      if (t == key(pid_field)) return wire::read_varint(p, end, pid);
      if (has_process && t == key(format::process_descriptor::kProcessLabels)) {
        std::string_view text;
        p = wire::bytes(p, end, text);
        if (text.starts_with(format::kHostLabel)) host = text.substr(format::kHostLabel.size());
        if (text.starts_with(format::kRealtimeLabel)) {
          text.remove_prefix(format::kRealtimeLabel.size());
          uint64_t v = 0;
          auto [at, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
          if (ec == std::errc() && at == text.data() + text.size()) realtime_ns = v;
        }
        return p;
      }
      if (t == key(format::thread_descriptor::kTid)) return wire::read_varint(p, end, tid);
      if (t == key(name_field)) {
        has_label = true;
        return wire::bytes(p, end, label);
      }
      return wire::skip(p, end, t);
    });
  };
  if (has_process) {
    if (!person(process, format::process_descriptor::kPid,
                format::process_descriptor::kProcessName)) {
      return false;
    }
    b_.process(static_cast<uint32_t>(pid));
    if (has_label) b_.set_process_name(static_cast<uint32_t>(pid), label);
    if (realtime_ns) b_.set_anchor(static_cast<uint32_t>(pid), *realtime_ns, host);
    put(process_tracks_, uuid, static_cast<uint32_t>(pid));
  } else if (has_thread) {
    if (!person(thread, format::thread_descriptor::kPid, format::thread_descriptor::kThreadName)) {
      return false;
    }
    const uint32_t t = b_.thread(static_cast<uint32_t>(pid), static_cast<uint32_t>(tid));
    if (has_label) b_.set_thread_name(t, label);
    put(thread_tracks_, uuid, t);
    last_thread_ = kNone;
  } else if (has_counter) {
    put(counter_tracks_, uuid, b_.counter(pid_for(parent), name));
  } else if (const uint32_t* under = thread_tracks_.find(parent); under != nullptr) {
    // A named track under a thread's: an asyncio task's, a thread of its own
    // here, told from the real ones by the top bit of its id (as in a JSON
    // trace); the rest of the id is the track's, unique in the process.
    const uint32_t id = static_cast<uint32_t>(uuid) & ~core::kTaskTrackBit;
    const uint32_t t = b_.thread(b_.thread_pid(*under), core::kTaskTrackBit | id);
    if (!name.empty()) b_.set_thread_name(t, name);
    put(thread_tracks_, uuid, t);
    last_thread_ = kNone;
  }
  return true;
}

bool PacketReader::event(SequenceState& seq, std::string_view bytes, uint64_t ts) {
  uint64_t type = 0, name_iid = 0, track = 0, counter_bits = 0;
  std::optional<uint64_t> location_iid;
  bool has_iid = false, has_track = false, has_int = false, has_double = false;
  bool user = false, dropped = false, filter_record = false, resumed = false;
  std::string_view name;
  const uint8_t* p = wire::begin_of(bytes);
  const uint8_t* end = wire::end_of(bytes);
  while (p < end) {
    uint64_t t;
    p = wire::read_varint(p, end, t);
    if (p == nullptr) return false;
    switch (t) {
      case key(event::kType):
        p = wire::read_varint(p, end, type);
        break;
      case key(event::kCategoryIids): {
        uint64_t iid = 0;
        p = wire::read_varint(p, end, iid);
        resumed |= p != nullptr && seq.resumes(iid);
        break;
      }
      case key(event::kSourceLocationIid): {
        uint64_t iid = 0;
        p = wire::read_varint(p, end, iid);
        location_iid = iid;
        break;
      }
      case key(event::kNameIid):
        p = wire::read_varint(p, end, name_iid);
        has_iid = true;
        break;
      case key(event::kTrackUuid):
        p = wire::read_varint(p, end, track);
        has_track = true;
        break;
      case key(event::kName):
        p = wire::bytes(p, end, name);
        break;
      case key(event::kCategories): {
        std::string_view category;
        p = wire::bytes(p, end, category);
        user |= category == format::kUserCategory;
        dropped |= category == format::kDroppedCategory;
        filter_record |= category == format::kFiltersCategory;
        resumed |= category == format::kResumeCategory;
        break;
      }
      case key(event::kCounterValue):
        p = wire::read_varint(p, end, counter_bits);
        has_int = true;
        has_double = false;
        break;
      case key(event::kDoubleCounterValue):
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
    case event::kTypeSliceBegin: {
      uint32_t function = has_iid ? function_of(seq, name_iid, location_iid) : kNone;
      if (function == kNone) {
        // A name the sequence never interned, or an inline one (user spans).
        function = b_.function(has_iid ? std::string_view() : name, {}, 0, user && !has_iid);
      }
      b_.begin(thread_for(track), function, ts, !resumed);
      break;
    }
    case event::kTypeSliceEnd:
      b_.end(thread_for(track), ts);
      break;
    case event::kTypeInstant:
      if (std::optional<uint64_t> count =
              dropped ? format::parse_dropped_name(name) : std::nullopt) {
        b_.add_dropped(pid_for(track), *count);
      } else if (filter_record) {
        return filters(bytes, pid_for(track));
      } else {
        auto interned = has_iid ? seq.name_text.find(name_iid) : seq.name_text.end();
        b_.instant(thread_for(track), ts,
                   interned != seq.name_text.end() ? std::string_view(interned->second) : name);
      }
      break;
    case event::kTypeCounter: {
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

bool PacketReader::filters(std::string_view event_bytes, uint32_t pid) {
  FilterInfo info;
  bool ok =
      wire::for_each_field(event_bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
        if (t != key(event::kDebugAnnotations)) return wire::skip(p, end, t);
        std::string_view entry;
        p = wire::bytes(p, end, entry);
        if (p == nullptr) return p;
        std::string_view name, text;
        uint64_t number = 0;
        bool has_text = false, has_number = false;
        bool fine =
            wire::for_each_field(entry, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
              if (f == key(annotation::kName)) return wire::bytes(q, e, name);
              if (f == key(annotation::kStringValue)) {
                has_text = true;
                return wire::bytes(q, e, text);
              }
              if (f == key(annotation::kIntValue) || f == key(annotation::kUintValue)) {
                has_number = true;
                return wire::read_varint(q, e, number);
              }
              return wire::skip(q, e, f);
            });
        if (!fine) return static_cast<const uint8_t*>(nullptr);
        // int_value is an int64: a negative count or option means nothing.
        if (static_cast<int64_t>(number) < 0) number = 0;
        namespace fk = format::filter_key;
        if (has_text && name == fk::kInclude) info.include = std::string(text);
        if (has_text && name == fk::kExclude) info.exclude = std::string(text);
        if (has_number) {
          if (name == fk::kMaxDepth) info.max_depth = number;
          if (name == fk::kMinDurationNs) info.min_duration_ns = number;
          if (name == fk::kFilteredFunctions) info.filtered_functions = number;
          if (name == fk::kMaxDepthEvents) info.max_depth_events = number;
          if (name == fk::kMinDurationEvents) info.min_duration_events = number;
        }
        return p;
      });
  if (!ok) return false;
  b_.set_filters(pid, info);
  return true;
}

}  // namespace morvex::reader
