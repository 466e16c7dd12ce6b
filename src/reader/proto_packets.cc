#include "reader/proto_packets.h"

#include <bit>
#include <charconv>
#include <string>

namespace morvex::reader {

using namespace pbtag;

namespace {

template <class V>
void put(core::FlatMap<uint64_t, V>& map, uint64_t key, V value) {
  *map.try_emplace(key, value).first = value;
}

}  // namespace

bool PacketReader::packet(std::string_view bytes) {
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
  SequenceState& seq = sequence(static_cast<uint32_t>(seq_id));
  if ((flags & kSeqIncrementalStateCleared) != 0) seq.clear();
  if (has_interned && !interned(seq, interned_data)) return false;
  if (has_defaults && !defaults(seq, defaults_data)) return false;
  if (has_descriptor && !descriptor(descriptor_data)) return false;
  if (has_te && !event(seq, te, ts)) return false;
  return true;
}

bool PacketReader::interned(SequenceState& seq, std::string_view bytes) {
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

bool PacketReader::defaults(SequenceState& seq, std::string_view bytes) {
  return wire::for_each_field(bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
    if (t != kDefaultsTrackEvent) return wire::skip(p, end, t);
    std::string_view track_defaults;
    p = wire::bytes(p, end, track_defaults);
    if (p == nullptr) return p;
    bool ok =
        wire::for_each_field(track_defaults, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
          if (f != kDefaultsTrackUuid) return wire::skip(q, e, f);
          seq.has_default = true;
          return wire::varint(q, e, seq.default_track);
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

bool PacketReader::event(SequenceState& seq, std::string_view bytes, uint64_t ts) {
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

bool PacketReader::filters(std::string_view event_bytes, uint32_t pid) {
  FilterInfo info;
  bool ok =
      wire::for_each_field(event_bytes, [&](uint64_t t, const uint8_t* p, const uint8_t* end) {
        if (t != kEventAnnotation) return wire::skip(p, end, t);
        std::string_view annotation;
        p = wire::bytes(p, end, annotation);
        if (p == nullptr) return p;
        std::string_view key, text;
        uint64_t number = 0;
        bool has_text = false, has_number = false;
        bool fine =
            wire::for_each_field(annotation, [&](uint64_t f, const uint8_t* q, const uint8_t* e) {
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

}  // namespace morvex::reader
