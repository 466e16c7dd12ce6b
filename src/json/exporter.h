// JsonExporter: writes a run's events as a Chrome trace-event array, one
// object per event, each followed by a comma.
//
// The document's "[" is written by whoever creates the file, and no "]" is
// ever written: processes that append to one file (forked children, child
// interpreters) can each add records without knowing which of them ends
// last, and trace viewers accept the unterminated array.
//
// Event records are the hot path. They are rendered straight into the
// output file's pending buffer from per-code preformatted fragments
// (Template, kept as a CodeText) copied in fixed-size blocks, with the
// timestamp's whole milliseconds and the pid/tid piece reused while they
// stay the same. The few end-of-run records are built as Value objects,
// whose keys stay sorted, and serialized compactly.
//
// Threads: used by the exporter thread alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/flatmap.h"
#include "core/ioerror.h"
#include "core/output.h"
#include "core/sink.h"
#include "format/records.h"
#include "json/text.h"

namespace morvex::json {

// The per-code parts of an event record, already JSON text: the record up to
// the phase letter, and from the "args" object up to the kind name.
struct Template {
  std::string head;
  std::string tail;

  static Template of(const core::CodeInfo& info);
};

class JsonExporter final : public core::Exporter {
 public:
  // Writes nothing.
  static JsonExporter create(core::SharedFile out);
  // Same, with the process id given rather than read from getpid().
  static JsonExporter create(core::SharedFile out, uint32_t pid);

  JsonExporter(JsonExporter&&) noexcept = default;
  JsonExporter& operator=(JsonExporter&&) noexcept = default;

  // Written with the end-of-run records (format::WallAnchor).
  void set_anchor(format::WallAnchor anchor) { anchor_ = std::move(anchor); }
  uint32_t pid() const { return pid_; }

  core::Status write_batch(std::span<const core::Event> events, const core::CodeLookup& code,
                           const core::ThreadNames& threads) override;
  // The wall-clock anchor's record if one was set, one "thread_name" record
  // per known thread, then the dropped-events record if anything was lost.
  using core::Exporter::finish;
  core::Status finish(const core::CodeLookup& code, const core::ThreadNames& threads,
                      const core::RunEnd& end) override;

 private:
  JsonExporter(core::SharedFile out, uint32_t pid);

  // A Template laid out for fixed-size copies: head and tail each padded
  // with zeros to the bytes the renderer moves for it, so that copying one
  // reads no further than its own allocation.
  struct CodeText {
    std::unique_ptr<char[]> bytes;
    uint32_t head_len = 0;
    uint32_t tail_at = 0;
    uint32_t tail_len = 0;
    // The most a record of this code writes, counting the block slack.
    uint32_t room = 0;

    CodeText() = default;
    explicit CodeText(const Template& t);
  };

  // The text of an id that is not in dense_ (yet).
  const CodeText& other_code_text(uint32_t code_id, const core::CodeLookup& code);
  // Serializing into memory cannot fail; only the flush that follows can.
  void write_record(const Value& record);
  // A user event: its header and payload records.
  void write_user_event(std::span<const core::Event> unit);

  core::SharedFile out_;
  // Code ids count up from 0 in a run, so most are found by indexing; an
  // entry without bytes is an id not seen yet. Ids far beyond the ones seen
  // go to sparse_ instead, so that an odd id cannot grow dense_ to millions.
  std::vector<CodeText> dense_;
  core::FlatMap<uint32_t, CodeText> sparse_;
  std::string payload_buf_;
  std::optional<format::WallAnchor> anchor_;
  uint32_t pid_;
};

}  // namespace morvex::json
