// The two format parsers, as reader.cc drives them: each reads an Input to
// its end, feeding a Builder, and says where it stopped if the file could not
// be read to the end. Neither ever fails otherwise: unknown records, packets
// and fields are skipped.
#pragma once

#include <cstdint>

#include "reader/builder.h"
#include "reader/input.h"
#include "reader/model.h"

namespace morvex::reader {

struct ParseOutcome {
  Damage damage = Damage::None;
  uint64_t offset = 0;  // start of the record that could not be read
  // The record at `offset` runs past Input::kMaxRecord: the read fails.
  bool too_long = false;
  uint64_t records = 0;  // records read whole before `offset`
};

// Whether the input starts like a Perfetto trace: a Trace.packet field whose
// bytes (as far as the file goes) parse as a message. Moves nothing.
bool looks_like_perfetto(Input& in);
// Whether the first byte after any whitespace is '[' or '{'. Moves nothing.
bool looks_like_json(Input& in);
// Whether the input holds nothing but JSON whitespace, as far as
// Input::kMaxRecord goes (a newline is also how a Perfetto trace starts).
// Moves nothing.
bool only_whitespace(Input& in);

ParseOutcome parse_perfetto(Input& in, Builder& builder);
ParseOutcome parse_json(Input& in, Builder& builder);

}  // namespace morvex::reader
