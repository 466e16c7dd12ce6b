// JsonExporter: writes a run's events as a Chrome trace-event array, one
// object per event, each followed by a comma.
//
// The document's "[" is written by whoever creates the file, and no "]" is
// ever written: processes that append to one file (forked children, child
// interpreters) can each add records without knowing which of them ends
// last, and trace viewers accept the unterminated array.
//
// Event records are the hot path and are rendered by hand from per-code
// preformatted fragments (Template). The few end-of-run records are built as
// Value objects, whose keys stay sorted, and serialized compactly.
//
// Threads: used by the exporter thread alone.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/event.h"
#include "core/flatmap.h"
#include "core/ioerror.h"
#include "core/output.h"
#include "core/sink.h"

namespace morvex::json {

// JSON text writers, appending to a byte buffer.
//
// push_string escapes only what JSON requires and passes every other byte,
// including 0x7F and UTF-8 sequences, through unchanged.
void push_string(std::string& out, std::string_view bytes);
// Plain decimal, no sign, no leading zeros.
void push_u64(std::string& out, uint64_t value);
// Nanoseconds as microseconds with exactly three decimals: 1500 -> 1.500.
void push_micros(std::string& out, uint64_t nanos);

// The per-code parts of an event record, already JSON text: the record up to
// the phase letter, and from the "args" object up to the kind name.
struct Template {
  std::string head;
  std::string tail;

  static Template of(const core::CodeInfo& info);
};

// A JSON value as the end-of-run records need it: unsigned integers, strings
// and objects whose keys are kept in byte-wise ascending order.
class Value {
 public:
  using Object = std::vector<std::pair<std::string, Value>>;

  Value(uint64_t number) : v_(number) {}              // NOLINT: implicit on purpose
  Value(std::string text) : v_(std::move(text)) {}    // NOLINT: implicit on purpose
  Value(const char* text) : v_(std::string(text)) {}  // NOLINT: implicit on purpose
  static Value object() { return Value(Object{}); }

  // Adds or replaces a key of an object.
  Value& set(std::string key, Value value);
  // Compact form: no whitespace anywhere.
  void write_to(std::string& out) const;

 private:
  explicit Value(Object object) : v_(std::move(object)) {}

  std::variant<uint64_t, std::string, Object> v_;
};

class JsonExporter final : public core::Exporter {
 public:
  // Writes nothing.
  static JsonExporter create(core::SharedFile out);
  // Same, with the process id given rather than read from getpid().
  static JsonExporter create(core::SharedFile out, uint32_t pid);

  JsonExporter(JsonExporter&&) noexcept = default;
  JsonExporter& operator=(JsonExporter&&) noexcept = default;

  uint32_t pid() const { return pid_; }

  core::Status write_batch(std::span<const core::Event> events, const core::CodeLookup& code,
                           const core::ThreadNames& threads) override;
  // One "thread_name" record per known thread, then the dropped-events
  // record if anything was lost.
  using core::Exporter::finish;
  core::Status finish(const core::CodeLookup& code, const core::ThreadNames& threads,
                      const core::RunEnd& end) override;

 private:
  JsonExporter(core::SharedFile out, uint32_t pid);

  const Template& template_for(uint32_t code_id, const core::CodeLookup& code);
  // Serializing into memory cannot fail; only the flush that follows can.
  void write_record(const Value& record);
  // A user event (header and payload) rendered into the batch at `len`;
  // returns the batch's new length.
  size_t write_user_event(std::span<const core::Event> unit, size_t len);

  core::SharedFile out_;
  // Sized, never shrunk, so the per-event path writes through a pointer;
  // only the bytes rendered in the current batch are meaningful.
  std::string buf_;
  core::FlatMap<uint32_t, Template> templates_;
  std::string payload_buf_;
  uint32_t pid_;
};

}  // namespace morvex::json
