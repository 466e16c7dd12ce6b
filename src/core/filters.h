// What a run records and what it leaves out on purpose: the include and
// exclude patterns that decide, once per code object, whether its events
// are recorded; the maximum depth and minimum duration; and the counts of
// what each left out, which the trace states at its end (apart from lost
// events, which are a different thing).
//
// Threads: a CodeFilter is immutable once built and read by traced
// threads; FilterCounters are added to by traced threads and the serializer
// and read by the exporter thread after both have finished.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/checked.h"

namespace morvex::core {

struct FilterSettings {
  std::vector<std::string> include;
  std::vector<std::string> exclude;
  std::optional<uint32_t> max_depth;
  std::optional<uint64_t> min_duration_ns;

  bool any() const { return !include.empty() || !exclude.empty() || max_depth || min_duration_ns; }
};

struct FilterCounters {
  std::atomic<uint64_t> functions{0};     // code objects include/exclude left out
  // Events deeper than max_depth: each thread counts its own, added up here
  // when the run stops.
  std::atomic<uint64_t> depth_events{0};
};

// What the trace says about filtering at its end.
struct FilterReport {
  FilterSettings settings;
  uint64_t functions = 0;
  uint64_t depth_events = 0;
  uint64_t short_events = 0;  // in slices shorter than min_duration
};

// The report as named values, in the order the writers put them: the
// options that were set, then what each left out.
struct FilterField {
  std::string_view key;
  bool is_number;
  uint64_t number;
  std::string text;
};
std::vector<FilterField> filter_fields(const FilterReport& report);

// Where the interpreter keeps its own code and installed packages, for the
// :stdlib and :site-packages patterns (directories without a final slash).
struct CodePlaces {
  std::vector<std::string> stdlib;
  std::vector<std::string> site_packages;
};

// What a code object is to the patterns: its module (as its globals name
// it, "__main__" for the traced script; empty when unknown) and file.
struct CodeOrigin {
  std::string_view module;
  std::string_view filename;
};

class CodeFilter {
 public:
  // Checks one pattern; the message says what is wrong with it, without
  // repeating the pattern.
  static std::optional<std::string> check(std::string_view pattern);

  // Patterns already checked.
  CodeFilter(const FilterSettings& settings, CodePlaces places);

  bool empty() const { return include_.empty() && exclude_.empty(); }
  // Recorded: matches no exclude and, if there are includes, an include.
  bool records(const CodeOrigin& code) const;

 private:
  struct Pattern {
    enum class Kind { Module, Glob, Stdlib, SitePackages } kind;
    std::string text;
  };
  static Pattern parse(const std::string& text);
  bool matches(const Pattern& p, const CodeOrigin& code) const;
  bool under(const std::vector<std::string>& dirs, std::string_view filename) const;

  std::vector<Pattern> include_;
  std::vector<Pattern> exclude_;
  CodePlaces places_;
};

// fnmatch-style: '*' matches any run of characters ('/' included), '?' one
// character, '[abc]', '[a-z]' and '[!abc]' one of (or none of) a set.
bool glob_match(std::string_view pattern, std::string_view text);

// "50us", "1.5ms", "2s", "100ns" or a plain number of seconds, as
// nanoseconds; the message says what is wrong otherwise.
Checked<uint64_t> parse_duration(std::string_view text);

}  // namespace morvex::core
