#include "proto/exporter.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "core/user_event.h"
#include "format/records.h"

namespace morvex::proto {

namespace {

using core::Status;

// A begin body: type tag and value, category iid tag and iid, name iid tag
// and a 10-byte iid, then the source location's two-byte tag and the same
// iid. Every other tag here is one byte.
constexpr size_t kMaxBeginBody = 2 + 2 + (1 + pb::kMaxVarintLen) + (2 + pb::kMaxVarintLen);

// Largest fragment: prefix (sequence id tag, 5-byte id, flags tag and value),
// track event tag, one length byte, and a begin body with, on the shared
// sequence, the track (tag, 10-byte uuid).
constexpr size_t kMaxFragment = (1 + 5 + 2) + 2 + kMaxBeginBody + (1 + pb::kMaxVarintLen);
// Fragments are copied as one block of this size; the arena keeps this many
// bytes after the last fragment so the copy never reads past it.
constexpr size_t kFragmentSlack = 48;
static_assert(kMaxFragment <= kFragmentSlack);
// An event packet: packet tag, its length, timestamp tag, the timestamp, the
// fragment block.
constexpr size_t kMaxEventPacket = 2 + 1 + pb::kMaxVarintLen + kFragmentSlack;
// ...whose length therefore always fits in one varint byte.
static_assert(1 + pb::kMaxVarintLen + kMaxFragment < 0x80);

constexpr size_t kScratchCapacity = 4096;
constexpr size_t kBatchCapacity = 256 * 1024;
constexpr size_t kFragmentsCapacity = 4096;

constexpr uint64_t kCategoryIid = format::kFunctionCategoryIid;
constexpr uint64_t kResumeCategoryIid = format::kResumeCategoryIid;
// One byte each in the hand-laid slice body.
static_assert(kCategoryIid < 0x80 && kResumeCategoryIid < 0x80);
static_assert(pb::tag::kSourceLocationIid.len == 2);

// Per kind byte, looked up rather than tested on the per-event path.
constexpr std::array<SliceShape, 256> kShapes = [] {
  std::array<SliceShape, 256> shapes{};
  for (unsigned kind = 0; kind < 256; ++kind) {
    const auto k = static_cast<uint8_t>(kind);
    // A resume, or a throw into a generator: the frame runs on; every other
    // begin, the never-recorded kind bytes included, is read as a start.
    shapes[kind] = core::ends_slice(k)                                    ? SliceShape::End
                   : k == static_cast<uint8_t>(core::EventKind::Resume) ||
                           k == static_cast<uint8_t>(core::EventKind::Throw)
                       ? SliceShape::Resume
                       : SliceShape::Call;
  }
  return shapes;
}();

inline SliceShape shape_of(uint8_t kind) { return kShapes[kind]; }

// End events share one fragment per thread; begin events have one per code
// and shape.
inline uint64_t fragment_key(uint32_t tid, uint32_t code_id, SliceShape shape) {
  uint64_t key = uint64_t{tid} << 32;
  if (shape != SliceShape::End) key |= (uint64_t{code_id} << 2) | static_cast<uint64_t>(shape);
  return key;
}

}  // namespace

ProtoExporter::ProtoExporter(core::SharedFile out, int32_t pid)
    : out_(std::move(out)),
      process_uuid_((uint64_t{static_cast<uint32_t>(pid)} << 32) + 1),
      pid_(pid) {
  scratch_.reserve(kScratchCapacity);
  batch_.resize(kBatchCapacity);
  fragments_.reserve(kFragmentsCapacity);
  fragments_.resize(kFragmentSlack);
}

ProtoExporter ProtoExporter::create(core::SharedFile out) {
  return ProtoExporter(std::move(out), static_cast<int32_t>(::getpid()));
}

ProtoExporter ProtoExporter::create(core::SharedFile out, int32_t pid) {
  return ProtoExporter(std::move(out), pid);
}

core::Result<ProtoExporter> ProtoExporter::append(const std::string& path) {
  auto file = core::SharedFile::open(path, /*truncate=*/false);
  if (!file.ok()) return file.error();
  return create(std::move(file.value()));
}

void ProtoExporter::write_packet(const pb::TracePacket& packet) {
  scratch_.clear();
  pb::encode(packet, scratch_);
  uint8_t header[1 + pb::kMaxVarintLen];
  header[0] = pb::tag::kTracePacket;
  uint8_t* end = pb::write_varint(scratch_.size(), header + 1);
  if (bundler_ != nullptr) {
    bundler_->add_packet(std::span<const uint8_t>(header, end), scratch_, out_);
    return;
  }
  out_.write_all(std::span<const uint8_t>(header, end));
  out_.write_all(scratch_);
}

core::Status ProtoExporter::set_compress() {
  auto bundler = Bundler::create();
  if (!bundler.ok()) return bundler.error();
  bundler_ = std::make_unique<Bundler>(std::move(bundler.value()));
  return {};
}

void ProtoExporter::emit(std::span<const uint8_t> packets) {
  if (bundler_ != nullptr) {
    bundler_->add(packets, out_);
  } else {
    out_.write_all(packets);
  }
}

void ProtoExporter::write_clock_snapshot(const Sequence& seq) {
  namespace clock = format::clock;
  // Clock 64 of the sequence, incremental, at the trace clock's reading.
  auto put_clock = [](uint8_t* c, uint32_t id, uint64_t ts, bool incremental) {
    uint8_t* start = c;
    *c++ = format::tag_byte(clock::kClockId);
    c = pb::write_varint(id, c);
    *c++ = format::tag_byte(clock::kTimestamp);
    c = pb::write_varint(ts, c);
    if (incremental) {
      *c++ = format::tag_byte(clock::kIsIncremental);
      *c++ = 1;
    }
    return static_cast<size_t>(c - start);
  };
  uint8_t ours[32], trace[32];
  const size_t ours_len = put_clock(ours, clock::kFirstSequenceClock, seq.clock, true);
  const size_t trace_len = put_clock(trace, clock::kBoottime, seq.clock, false);
  uint8_t snapshot[80];
  uint8_t* c = snapshot;
  *c++ = format::tag_byte(format::clock_snapshot::kClocks);
  *c++ = static_cast<uint8_t>(ours_len);
  c = std::copy_n(ours, ours_len, c);
  *c++ = format::tag_byte(format::clock_snapshot::kClocks);
  *c++ = static_cast<uint8_t>(trace_len);
  c = std::copy_n(trace, trace_len, c);
  uint8_t packet[112];
  uint8_t* q = packet + 2;
  *q++ = pb::tag::kSequenceId;
  q = pb::write_varint(seq.sequence_id, q);
  *q++ = format::tag_byte(format::packet::kClockSnapshot);
  *q++ = static_cast<uint8_t>(c - snapshot);
  q = std::copy(snapshot, c, q);
  packet[0] = pb::tag::kTracePacket;
  packet[1] = static_cast<uint8_t>(q - (packet + 2));
  emit(std::span<const uint8_t>(packet, q));
}

void ProtoExporter::ensure_process() {
  if (process_written_) return;
  pb::TrackDescriptor track;
  track.uuid = process_uuid_;
  track.name = "python:" + std::to_string(pid_);
  track.process = pb::ProcessDescriptor{.pid = pid_, .process_name = "python"};
  if (anchor_) {
    track.process->process_labels = {
        std::string(format::kHostLabel) + anchor_->host,
        std::string(format::kRealtimeLabel) + std::to_string(anchor_->realtime_ns)};
  }
  pb::TracePacket packet;
  packet.timestamp = 0;
  packet.trusted_packet_sequence_id = sequence_id(1);
  packet.data = std::move(track);
  packet.sequence_flags = pb::kSeqIncrementalStateCleared;
  write_packet(packet);
  process_written_ = true;
  process_unconfirmed_ = true;
}

ProtoExporter::Sequence* ProtoExporter::new_sequence(uint32_t n) {
  auto seq = std::make_unique<Sequence>();
  seq->sequence_id = sequence_id(n);
  uint8_t* p = seq->prefix;
  *p++ = pb::tag::kSequenceId;
  p = pb::write_varint(seq->sequence_id, p);
  *p++ = pb::tag::kSequenceFlags;
  *p++ = pb::kSeqNeedsIncrementalState;
  seq->prefix_len = static_cast<uint8_t>(p - seq->prefix);
  // The shared sequence interleaves threads, whose times go back and forth.
  seq->incremental = bundler_ != nullptr && n != kOwnSequences + 2;
  sequence_list_.push_back(std::move(seq));
  return sequence_list_.back().get();
}

ProtoExporter::Track* ProtoExporter::track_for(uint32_t tid) {
  if (Track** found = tracks_.find(tid)) return *found;
  // The thread's ids are fixed at first sight; its descriptor is written by
  // the caller and rewritten for as long as no flush has carried it.
  auto n = static_cast<uint32_t>(track_list_.size());
  auto track = std::make_unique<Track>();
  track->tid = tid;
  track->track_uuid = process_uuid_ + n + 1;
  if (n < kOwnSequences) {
    track->seq = new_sequence(n + 2);
  } else {
    if (shared_ == nullptr) shared_ = new_sequence(kOwnSequences + 2);
    track->seq = shared_;
    track->shared = true;
    track->uuid_field[0] = pb::tag::kTrackUuid;
    track->uuid_field_len = static_cast<uint8_t>(
        pb::write_varint(track->track_uuid, track->uuid_field + 1) - track->uuid_field);
  }
  Track* raw = track.get();
  track_list_.push_back(std::move(track));
  tracks_.insert(tid, raw);
  return raw;
}

void ProtoExporter::write_thread_packet(Track& track, const core::ThreadNames& threads) {
  Sequence& seq = *track.seq;
  pb::TrackDescriptor desc;
  desc.uuid = track.track_uuid;
  desc.parent_uuid = process_uuid_;
  std::optional<uint32_t> task_thread =
      core::is_task_track(track.tid) ? threads.parent(track.tid) : std::nullopt;
  if (task_thread) {
    // An asyncio task's track: named after the task, nested under its
    // thread's, which the UI needs to know of first.
    Track* parent = track_for(*task_thread);
    if (!parent->delivered) write_thread_packet(*parent, threads);
    desc.name = threads.name(track.tid).value_or("Task");
    desc.parent_uuid = parent->track_uuid;
  } else {
    desc.thread = pb::ThreadDescriptor{.pid = pid_,
                                       .tid = static_cast<int32_t>(track.tid),
                                       .thread_name = threads.name(track.tid)};
  }
  pb::TracePacket packet;
  packet.timestamp = 0;
  packet.trusted_packet_sequence_id = seq.sequence_id;
  packet.data = std::move(desc);
  // A thread of its own sequence starts it; on the shared one only the
  // first descriptor does, and the events name their track themselves.
  Unconfirmed sent{Unconfirmed::What::Thread, &track, nullptr, 0};
  if (!track.shared || !seq.cleared) {
    packet.interned_data = pb::InternedData{
        .event_categories = {{kCategoryIid, std::string(format::kFunctionCategory)},
                             {kResumeCategoryIid, std::string(format::kResumeCategory)}}};
    packet.sequence_flags = pb::kSeqIncrementalStateCleared;
    seq.cleared = true;
    sent.seq = &seq;
  }
  if (!track.shared) {
    packet.trace_packet_defaults = pb::TracePacketDefaults{
        .track_event_defaults = pb::TrackEventDefaults{.track_uuid = track.track_uuid}};
  }
  if (seq.incremental) {
    packet.trace_packet_defaults->timestamp_clock_id = format::clock::kFirstSequenceClock;
    // Its own time on the trace clock: the incremental one is declared next.
    packet.timestamp_clock_id = format::clock::kBoottime;
  }
  write_packet(packet);
  if (seq.incremental) write_clock_snapshot(seq);
  track.delivered = true;
  unconfirmed_.push_back(sent);
}

void ProtoExporter::deliver_name(Sequence& seq, uint32_t code_id, const core::CodeLookup& code) {
  NameEntry* entry = seq.names.find(code_id);
  if (entry == nullptr) {
    entry = seq.names.try_emplace(code_id, NameEntry{seq.names.size() + 1, false}).first;
    ++seq.undelivered_names;
  }
  if (entry->delivered) return;
  std::optional<core::CodeInfo> info = code.code(code_id);
  // As the JSON writer shows them: a function without a readable name.
  std::string name = info && !info->qualname.empty() ? info->qualname : "<unknown>";
  pb::InternedData interned{.event_names = {{entry->iid, name}}};
  // Without a location, same-named functions of different files would be
  // one function to every reader.
  entry->located = info.has_value();
  if (entry->located) {
    interned.source_locations.push_back(
        {entry->iid, std::move(info->filename), std::move(name), info->first_line});
  }
  pb::TracePacket packet;
  packet.timestamp = 0;
  packet.trusted_packet_sequence_id = seq.sequence_id;
  packet.interned_data = std::move(interned);
  packet.sequence_flags = pb::kSeqNeedsIncrementalState;
  write_packet(packet);
  entry->delivered = true;
  --seq.undelivered_names;
  unconfirmed_.push_back({Unconfirmed::What::Name, nullptr, &seq, code_id});
}

size_t ProtoExporter::event_body(const Sequence& seq, SliceShape shape, uint32_t code_id,
                                uint8_t* out) const {
  uint8_t* b = out;
  *b++ = pb::tag::kEventType;
  if (shape == SliceShape::End) {
    *b++ = pb::kTypeSliceEnd;
    return static_cast<size_t>(b - out);
  }
  const NameEntry& entry = *seq.names.find(code_id);
  *b++ = pb::kTypeSliceBegin;
  *b++ = pb::tag::kCategoryIid;
  *b++ = shape == SliceShape::Resume ? kResumeCategoryIid : kCategoryIid;
  *b++ = pb::tag::kNameIid;
  b = pb::write_varint(entry.iid, b);
  if (entry.located) {
    std::memcpy(b, pb::tag::kSourceLocationIid.bytes, 2);
    b = pb::write_varint(entry.iid, b + 2);
  }
  return static_cast<size_t>(b - out);
}

const ProtoExporter::FragmentRef* ProtoExporter::add_fragment(const Track& track, uint64_t key,
                                                              SliceShape shape, uint32_t code_id) {
  const Sequence& seq = *track.seq;
  uint8_t body[kMaxBeginBody];
  const size_t body_len = event_body(seq, shape, code_id, body);

  uint8_t frag[kMaxFragment + 8];
  uint8_t* f = frag;
  std::memcpy(f, seq.prefix, seq.prefix_len);
  f += seq.prefix_len;
  *f++ = pb::tag::kTrackEvent;
  f = pb::write_varint(body_len, f);
  std::memcpy(f, body, body_len);
  f += body_len;

  FragmentRef ref{static_cast<uint32_t>(fragments_len_), static_cast<uint32_t>(f - frag)};
  fragments_.resize(fragments_len_ + ref.len + kFragmentSlack);
  std::memcpy(fragments_.data() + fragments_len_, frag, ref.len);
  fragments_len_ += ref.len;
  return fragment_index_.try_emplace(key, ref).first;
}

const ProtoExporter::SharedFragmentRef* ProtoExporter::add_shared_fragment(uint64_t key,
                                                                          SliceShape shape,
                                                                          uint32_t code_id) {
  const Sequence& seq = *shared_;
  uint8_t frag[kMaxFragment + 8];
  uint8_t* f = frag;
  std::memcpy(f, seq.prefix, seq.prefix_len);
  f += seq.prefix_len;
  *f++ = pb::tag::kTrackEvent;
  const auto head = static_cast<uint8_t>(f - frag);
  const auto body = static_cast<uint8_t>(event_body(seq, shape, code_id, f));
  SharedFragmentRef ref{static_cast<uint32_t>(fragments_len_), head, body};
  fragments_.resize(fragments_len_ + head + body + kFragmentSlack);
  std::memcpy(fragments_.data() + fragments_len_, frag, head + body);
  fragments_len_ += head + body;
  return shared_fragment_index_.try_emplace(key, ref).first;
}

uint8_t* ProtoExporter::write_shared_event(const core::Event& ev, const Track& track, SliceShape shape,
                                           const core::CodeLookup& code, uint8_t* p) {
  const uint32_t code_id = ev.code_id();
  const uint64_t key = fragment_key(0, code_id, shape);
  const bool begin = shape != SliceShape::End;
  const SharedFragmentRef* ref = shared_fragment_index_.find(key);
  if (ref == nullptr || (begin && shared_->undelivered_names != 0)) [[unlikely]] {
    if (begin) deliver_name(*shared_, code_id, code);
    if (ref == nullptr) ref = add_shared_fragment(key, shape, code_id);
  }
  // Packet tag, length, timestamp tag, varint(ts), head, body length, body,
  // track.
  uint8_t* q = pb::write_varint(ev.ts, p + 3);
  const uint8_t* frag = fragments_.data() + ref->offset;
  std::memcpy(q, frag, ref->head);
  q += ref->head;
  *q++ = static_cast<uint8_t>(ref->body + track.uuid_field_len);
  std::memcpy(q, frag + ref->head, ref->body);
  q += ref->body;
  std::memcpy(q, track.uuid_field, track.uuid_field_len);
  q += track.uuid_field_len;
  p[0] = pb::tag::kTracePacket;
  p[1] = static_cast<uint8_t>(q - (p + 2));
  p[2] = pb::tag::kTimestamp;
  return q;
}

Status ProtoExporter::write_batch(std::span<const core::Event> events, const core::CodeLookup& code,
                                  const core::ThreadNames& threads) {
  ensure_process();

  size_t need = events.size() * kMaxEventPacket;
  if (batch_.size() < need) batch_.resize(need);
  uint8_t* p = bundler_ != nullptr ? write_events<true>(events, code, threads)
                                   : write_events<false>(events, code, threads);
  const std::span<const uint8_t> packets(batch_.data(), p);
  if (bundler_ != nullptr) {
    bundler_->close_with(packets, out_);
  } else {
    out_.write_all(packets);
  }
  return settle(out_.flush());
}

template <bool kIncremental>
uint8_t* ProtoExporter::write_events(std::span<const core::Event> events,
                                     const core::CodeLookup& code,
                                     const core::ThreadNames& threads) {
  uint8_t* p = batch_.data();
  // Events come in runs of one thread; remember the last thread's track.
  Track* track = nullptr;
  uint32_t track_tid = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const core::Event& ev = events[i];
    if (track == nullptr || ev.tid != track_tid) {
      track = track_for(ev.tid);
      track_tid = ev.tid;
    }
    if (!track->delivered) write_thread_packet(*track, threads);
    const uint8_t kind = ev.kind();
    if (core::is_user_kind(kind)) [[unlikely]] {
      std::span<const core::Event> unit = events.subspan(i, 1 + core::payload_records(events, i));
      p = write_user_event(unit, *track, p, events.size() - i - unit.size());
      i += unit.size() - 1;
      continue;
    }
    const SliceShape shape = shape_of(kind);
    if (track->shared) [[unlikely]] {
      p = write_shared_event(ev, *track, shape, code, p);
      continue;
    }
    const uint32_t code_id = ev.code_id();
    const bool begin = shape != SliceShape::End;
    const uint64_t key = fragment_key(ev.tid, code_id, shape);
    const FragmentRef* ref = !begin && track->end.len != 0 ? &track->end : fragment_index_.find(key);
    if (ref == nullptr || (begin && track->seq->undelivered_names != 0)) [[unlikely]] {
      if (begin) deliver_name(*track->seq, code_id, code);
      if (ref == nullptr) ref = add_fragment(*track, key, shape, code_id);
      if (!begin) track->end = *ref;
    }

    // Packet tag, length, timestamp tag, varint(ts), fragment; the length is
    // one byte. Compressed, every sequence of a thread of its own is timed
    // incrementally.
    uint8_t* q;
    if constexpr (kIncremental) {
      q = pb::write_varint(ev.ts - std::exchange(track->seq->clock, ev.ts), p + 3);
    } else {
      q = pb::write_time_varint(ev.ts, p + 3);
    }
    std::memcpy(q, fragments_.data() + ref->offset, kFragmentSlack);
    p[0] = pb::tag::kTracePacket;
    p[1] = static_cast<uint8_t>((q - (p + 2)) + ref->len);
    p[2] = pb::tag::kTimestamp;
    p = q + ref->len;
  }
  return p;
}

void ProtoExporter::write_process_instant(pb::TrackEvent event) {
  ensure_process();
  event.type = pb::kTypeInstant;
  event.track_uuid = process_uuid_;
  pb::TracePacket packet;
  packet.timestamp = 0;
  packet.trusted_packet_sequence_id = sequence_id(1);
  packet.data = std::move(event);
  write_packet(packet);
}

Status ProtoExporter::finish(const core::CodeLookup&, const core::ThreadNames&,
                             const core::RunEnd& end) {
  if (end.filters) {
    pb::TrackEvent event;
    event.categories = {std::string(format::kFunctionCategory),
                        std::string(format::kFiltersCategory)};
    event.name = std::string(format::kFiltersName);
    for (core::FilterField& f : core::filter_fields(*end.filters)) {
      pb::DebugAnnotation a;
      a.name = std::string(f.key);
      if (f.is_number) {
        a.value = static_cast<int64_t>(f.number);
      } else {
        a.value = std::move(f.text);
      }
      event.debug_annotations.push_back(std::move(a));
    }
    write_process_instant(std::move(event));
  }
  if (end.dropped != 0) {
    pb::TrackEvent event;
    event.categories = {std::string(format::kFunctionCategory),
                        std::string(format::kDroppedCategory)};
    event.name = format::dropped_name(end.dropped);
    write_process_instant(std::move(event));
  }
  if (bundler_ != nullptr) bundler_->close(out_);
  return settle(out_.flush());
}

uint64_t ProtoExporter::counter_track(std::string_view name) {
  size_t k = 0;
  while (k < counters_.size() && counters_[k].name != name) ++k;
  if (k == counters_.size()) {
    // Beside the thread tracks (process uuid + 1 + thread index), far above.
    counters_.push_back({std::string(name), process_uuid_ + (uint64_t{1} << 31) + k, false});
  }
  Counter& c = counters_[k];
  if (!c.delivered) {
    ensure_process();
    pb::TrackDescriptor desc;
    desc.uuid = c.track_uuid;
    desc.name = c.name;
    desc.parent_uuid = process_uuid_;
    desc.counter = pb::CounterDescriptor{};
    pb::TracePacket packet;
    packet.timestamp = 0;
    packet.trusted_packet_sequence_id = sequence_id(1);
    packet.data = std::move(desc);
    write_packet(packet);
    c.delivered = true;
    unconfirmed_.push_back(
        {Unconfirmed::What::Counter, nullptr, nullptr, static_cast<uint32_t>(k)});
  }
  return c.track_uuid;
}

uint8_t* ProtoExporter::write_user_event(std::span<const core::Event> unit, const Track& track,
                                         uint8_t* p, size_t later) {
  const core::Event& head = unit.front();
  core::UserPayload payload;
  if (!core::decode_payload(core::payload_bytes(unit, 0, payload_buf_), payload)) return p;
  pb::TrackEvent event;
  const auto kind = static_cast<core::EventKind>(head.kind());
  if (kind == core::EventKind::Counter) {
    event.type = pb::kTypeCounter;
    event.track_uuid = counter_track(payload.name);
    const core::UserValue& v = payload.args.empty() ? core::UserValue{} : payload.args[0].value;
    if (v.type == core::UserValue::Type::Double) {
      event.double_counter_value = v.d;
    } else {
      event.counter_value = v.i;
    }
  } else {
    event.type = kind == core::EventKind::SpanBegin ? pb::kTypeSliceBegin
                 : kind == core::EventKind::SpanEnd ? pb::kTypeSliceEnd
                                                    : pb::kTypeInstant;
    if (track.shared) event.track_uuid = track.track_uuid;
    if (kind != core::EventKind::SpanEnd) {
      event.categories = {std::string(payload.name == format::kLostEventsName
                                          ? format::kMorvexCategory
                                          : format::kUserCategory)};
      event.name = std::string(payload.name);
      for (const core::UserArg& a : payload.args) {
        pb::DebugAnnotation d;
        d.name = std::string(a.key);
        switch (a.value.type) {
          case core::UserValue::Type::None:
            break;
          case core::UserValue::Type::Bool:
            d.value = a.value.i != 0;
            break;
          case core::UserValue::Type::Int:
            d.value = a.value.i;
            break;
          case core::UserValue::Type::Double:
            d.value = a.value.d;
            break;
          case core::UserValue::Type::Str:
            d.value = std::string(a.value.s);
            break;
        }
        event.debug_annotations.push_back(std::move(d));
      }
    }
  }
  pb::TracePacket packet;
  packet.timestamp = packet_time(*track.seq, head.ts);
  packet.trusted_packet_sequence_id = track.seq->sequence_id;
  packet.data = std::move(event);
  packet.sequence_flags = pb::kSeqNeedsIncrementalState;
  scratch_.clear();
  pb::encode(packet, scratch_);
  // In the batch, in its place among the thread's function events, keeping
  // the room reserved for the events after it.
  size_t at = static_cast<size_t>(p - batch_.data());
  size_t need = at + 1 + pb::kMaxVarintLen + scratch_.size() + later * kMaxEventPacket;
  if (batch_.size() < need) batch_.resize(need);
  p = batch_.data() + at;
  *p++ = pb::tag::kTracePacket;
  p = pb::write_varint(scratch_.size(), p);
  std::memcpy(p, scratch_.data(), scratch_.size());
  return p + scratch_.size();
}

// A failed flush may have dropped the buffered descriptor and interning
// packets; forget that they were written so the next batch that needs them
// writes them again. Names are interned only once their sequence's thread
// packet is out, so when a thread packet is lost, every name interned on it
// since went with the same flush and is in the list too: the rewritten thread
// packet (which clears the reader's interned state) is always followed by
// the names again.
Status ProtoExporter::settle(Status flushed) {
  // A failed write takes its bytes back off the file; a failed lock keeps
  // them for the next flush, and with them the clocks they moved.
  const bool taken_back = !flushed.ok() && out_.pending().empty();
  for (const auto& seq : sequence_list_) {
    if (taken_back) {
      seq->clock = seq->confirmed_clock;
    } else if (flushed.ok()) {
      seq->confirmed_clock = seq->clock;
    }
  }
  if (!flushed.ok()) {
    if (process_unconfirmed_) process_written_ = false;
    for (const Unconfirmed& u : unconfirmed_) {
      switch (u.what) {
        case Unconfirmed::What::Thread:
          u.track->delivered = false;
          if (u.seq != nullptr) u.seq->cleared = false;
          break;
        case Unconfirmed::What::Name:
          if (NameEntry* entry = u.seq->names.find(u.index); entry->delivered) {
            entry->delivered = false;
            ++u.seq->undelivered_names;
          }
          break;
        case Unconfirmed::What::Counter:
          counters_[u.index].delivered = false;
          break;
      }
    }
  }
  process_unconfirmed_ = false;
  unconfirmed_.clear();
  return flushed;
}

}  // namespace morvex::proto
