#include "reader/pstats.h"

#include <bit>
#include <cstring>
#include <vector>

#include "core/flatmap.h"
#include "reader/labels.h"
#include "reader/stats.h"
#include "reader/strindex.h"

namespace morvex::reader {

namespace marshal {

namespace {

void put_le32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

}  // namespace

void put_dict_begin(std::string& out) { out.push_back('{'); }
void put_dict_end(std::string& out) { out.push_back('0'); }

void put_tuple(std::string& out, size_t size) {
  if (size < 256) {
    out.push_back(')');
    out.push_back(static_cast<char>(size));
  } else {
    out.push_back('(');
    put_le32(out, static_cast<uint32_t>(size));
  }
}

void put_str(std::string& out, std::string_view utf8) {
  out.push_back('u');
  put_le32(out, static_cast<uint32_t>(utf8.size()));
  out.append(utf8);
}

void put_int(std::string& out, int64_t value) {
  if (value >= INT32_MIN && value <= INT32_MAX) {
    out.push_back('i');
    put_le32(out, static_cast<uint32_t>(static_cast<int32_t>(value)));
    return;
  }
  // TYPE_LONG: a digit count (negative for a negative number), then base
  // 2^15 digits, least significant first.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::vector<uint16_t> digits;
  while (magnitude != 0) {
    digits.push_back(static_cast<uint16_t>(magnitude & 0x7FFF));
    magnitude >>= 15;
  }
  out.push_back('l');
  const auto n = static_cast<int32_t>(digits.size());
  put_le32(out, static_cast<uint32_t>(value < 0 ? -n : n));
  for (uint16_t d : digits) {
    out.push_back(static_cast<char>(d & 0xFF));
    out.push_back(static_cast<char>(d >> 8));
  }
}

void put_float(std::string& out, double value) {
  out.push_back('g');
  const auto bits = std::bit_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(bits >> (8 * i)));
}

}  // namespace marshal

namespace {

struct Key {
  std::string file;
  uint32_t line;
  std::string name;
};

Key key_of(const Function& f) {
  if (f.span || f.file.empty()) return {"~", 0, frame_label(f)};
  return {f.file, f.line, f.name};
}

void put_key(std::string& out, const Key& k) {
  marshal::put_tuple(out, 3);
  marshal::put_str(out, k.file);
  marshal::put_int(out, k.line);
  marshal::put_str(out, k.name);
}

double seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

struct Entry {
  Key key;
  FunctionStats stats;
  std::vector<CallerStats> callers;  // caller = entry index
};

}  // namespace

std::string render_pstats(const Trace& trace) {
  // Functions that meet in one key (the same name without a file, say) are
  // one entry, as they would be to pstats.
  std::vector<Entry> entries;
  std::vector<uint32_t> entry_of(trace.functions.size(), kNone);
  StringIndex index;
  std::string scratch;
  auto entry_for = [&](uint32_t function) {
    if (entry_of[function] != kNone) return entry_of[function];
    Key k = key_of(trace.functions[function]);
    scratch = k.file + '\0' + std::to_string(k.line) + '\0' + k.name;
    uint32_t e = index.find(scratch);
    if (e == StringIndex::kMissing) {
      e = static_cast<uint32_t>(entries.size());
      index.insert(scratch, e);
      entries.push_back(Entry{std::move(k), FunctionStats{}, {}});
    }
    entry_of[function] = e;
    return e;
  };
  for (const FunctionStats& r : function_stats(trace, threads_of(trace, std::nullopt))) {
    FunctionStats& s = entries[entry_for(r.function)].stats;
    s.calls += r.calls;
    s.primitive_calls += r.primitive_calls;
    s.total_ns += r.total_ns;
    s.self_ns += r.self_ns;
  }
  core::FlatMap<uint64_t, uint32_t> pairs;  // (caller, callee) entries -> position in callers
  for (const CallerStats& c : trace.callers) {
    const uint32_t caller = entry_for(c.caller);
    const uint32_t callee = entry_for(c.callee);
    std::vector<CallerStats>& list = entries[callee].callers;
    auto [at, fresh] =
        pairs.try_emplace((uint64_t{caller} << 32) | callee, static_cast<uint32_t>(list.size()));
    if (fresh) {
      list.push_back(c);
      list.back().caller = caller;
      continue;
    }
    CallerStats* it = &list[*at];
    it->calls += c.calls;
    it->primitive_calls += c.primitive_calls;
    it->total_ns += c.total_ns;
    it->self_ns += c.self_ns;
  }

  std::string out;
  marshal::put_dict_begin(out);
  for (const Entry& e : entries) {
    put_key(out, e.key);
    marshal::put_tuple(out, 5);
    marshal::put_int(out, static_cast<int64_t>(e.stats.primitive_calls));
    marshal::put_int(out, static_cast<int64_t>(e.stats.calls));
    marshal::put_float(out, seconds(e.stats.self_ns));
    marshal::put_float(out, seconds(e.stats.total_ns));
    marshal::put_dict_begin(out);
    for (const CallerStats& c : e.callers) {
      put_key(out, entries[c.caller].key);
      marshal::put_tuple(out, 4);
      marshal::put_int(out, static_cast<int64_t>(c.calls));
      marshal::put_int(out, static_cast<int64_t>(c.primitive_calls));
      marshal::put_float(out, seconds(c.self_ns));
      marshal::put_float(out, seconds(c.total_ns));
    }
    marshal::put_dict_end(out);
  }
  marshal::put_dict_end(out);
  return out;
}

}  // namespace morvex::reader
