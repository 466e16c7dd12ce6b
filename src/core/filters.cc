#include "core/filters.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "format/records.h"

namespace morvex::core {

namespace {

constexpr std::string_view kStdlib = ":stdlib";
constexpr std::string_view kSitePackages = ":site-packages";

bool is_glob(std::string_view p) { return p.find_first_of("/*") != std::string_view::npos; }

// A dotted module name: parts separated by single dots, none empty, nothing
// a file name or a shell would treat specially.
bool is_module_name(std::string_view p) {
  if (p.empty() || p.front() == '.' || p.back() == '.') return false;
  if (p.find("..") != std::string_view::npos) return false;
  for (unsigned char c : p) {
    if (c <= ' ' || c == 0x7F) return false;
    if (std::string_view("\\?[]:;,'\"<>|=()!@#$%^&+~`{}").find(static_cast<char>(c)) !=
        std::string_view::npos)
      return false;
  }
  return true;
}

bool class_matches(std::string_view set, char c) {
  bool negate = !set.empty() && (set.front() == '!' || set.front() == '^');
  if (negate) set.remove_prefix(1);
  bool found = false;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i + 2 < set.size() && set[i + 1] == '-') {
      if (set[i] <= c && c <= set[i + 2]) found = true;
      i += 2;
    } else if (set[i] == c) {
      found = true;
    }
  }
  return found != negate;
}

}  // namespace

bool glob_match(std::string_view pattern, std::string_view text) {
  // Iterative matching with one backtrack point for the last '*': linear in
  // practice, never exponential.
  size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size()) {
      char c = pattern[p];
      if (c == '*') {
        star = p++;
        resume = t;
        continue;
      }
      if (c == '[') {
        size_t close = pattern.find(']', p + 2);
        if (close != std::string_view::npos) {
          if (class_matches(pattern.substr(p + 1, close - p - 1), text[t])) {
            p = close + 1;
            ++t;
            continue;
          }
        } else if (text[t] == '[') {  // a lone '[' is itself
          ++p;
          ++t;
          continue;
        }
      } else if (c == '?' || c == text[t]) {
        ++p;
        ++t;
        continue;
      }
    }
    if (star == std::string_view::npos) return false;
    p = star + 1;
    t = ++resume;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::optional<std::string> CodeFilter::check(std::string_view pattern) {
  // The messages leave the pattern to the caller, who shows it in its own
  // way (a Python repr, a command-line value), cut short if it is long.
  if (pattern.empty()) return "an empty pattern matches nothing";
  if (pattern.find('\0') != std::string_view::npos) return "a NUL character matches no name";
  if (pattern.front() == ':') {
    if (pattern == kStdlib || pattern == kSitePackages) return std::nullopt;
    return "not a named set (the named sets are " + std::string(kStdlib) + " and " +
           std::string(kSitePackages) + ")";
  }
  if (is_glob(pattern) || is_module_name(pattern)) return std::nullopt;
  return "neither a dotted module name nor a path glob (a glob contains '/' or '*')";
}

CodeFilter::Pattern CodeFilter::parse(const std::string& text) {
  if (text == kStdlib) return {Pattern::Kind::Stdlib, text};
  if (text == kSitePackages) return {Pattern::Kind::SitePackages, text};
  if (is_glob(text)) return {Pattern::Kind::Glob, text};
  return {Pattern::Kind::Module, text};
}

CodeFilter::CodeFilter(const FilterSettings& settings, CodePlaces places)
    : places_(std::move(places)) {
  for (const std::string& p : settings.include) include_.push_back(parse(p));
  for (const std::string& p : settings.exclude) exclude_.push_back(parse(p));
}

bool CodeFilter::under(const std::vector<std::string>& dirs, std::string_view filename) const {
  for (const std::string& d : dirs) {
    if (filename.size() > d.size() && filename.compare(0, d.size(), d) == 0 &&
        filename[d.size()] == '/')
      return true;
  }
  return false;
}

bool CodeFilter::matches(const Pattern& p, const CodeOrigin& code) const {
  switch (p.kind) {
    case Pattern::Kind::Module:
      return code.module.size() >= p.text.size() &&
             code.module.compare(0, p.text.size(), p.text) == 0 &&
             (code.module.size() == p.text.size() || code.module[p.text.size()] == '.');
    case Pattern::Kind::Glob:
      return glob_match(p.text, code.filename);
    case Pattern::Kind::SitePackages:
      return under(places_.site_packages, code.filename) ||
             code.filename.find("/site-packages/") != std::string_view::npos ||
             code.filename.find("/dist-packages/") != std::string_view::npos;
    case Pattern::Kind::Stdlib: {
      // Frozen modules are the standard library's own, compiled in.
      if (code.filename.starts_with("<frozen ")) return true;
      Pattern site{Pattern::Kind::SitePackages, {}};
      return under(places_.stdlib, code.filename) && !matches(site, code);
    }
  }
  return false;
}

bool CodeFilter::records(const CodeOrigin& code) const {
  for (const Pattern& p : exclude_)
    if (matches(p, code)) return false;
  if (include_.empty()) return true;
  for (const Pattern& p : include_)
    if (matches(p, code)) return true;
  return false;
}

std::vector<FilterField> filter_fields(const FilterReport& r) {
  auto joined = [](const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& p : v) s += (s.empty() ? "" : ",") + p;
    return s;
  };
  const FilterSettings& s = r.settings;
  std::vector<FilterField> f;
  namespace key = format::filter_key;
  auto number = [&f](std::string_view key, uint64_t n) { f.push_back({key, true, n, {}}); };
  if (!s.include.empty()) f.push_back({key::kInclude, false, 0, joined(s.include)});
  if (!s.exclude.empty()) f.push_back({key::kExclude, false, 0, joined(s.exclude)});
  if (s.max_depth) number(key::kMaxDepth, *s.max_depth);
  if (s.min_duration_ns) number(key::kMinDurationNs, *s.min_duration_ns);
  if (!s.include.empty() || !s.exclude.empty()) number(key::kFilteredFunctions, r.functions);
  if (s.max_depth) number(key::kMaxDepthEvents, r.depth_events);
  if (s.min_duration_ns) number(key::kMinDurationEvents, r.short_events);
  return f;
}

Checked<uint64_t> parse_duration(std::string_view text) {
  auto bad = [&] {
    return Wrong{"invalid duration '" + std::string(text) +
                 "' (a number of seconds, or a number with a unit: ns, us, ms, s)"};
  };
  std::string_view number = text;
  double scale = 1e9;
  const std::pair<std::string_view, double> units[] = {
      {"ns", 1}, {"us", 1e3}, {"\xc2\xb5s", 1e3}, {"ms", 1e6}, {"s", 1e9}};
  for (const auto& [suffix, ns] : units) {
    if (number.ends_with(suffix)) {
      number.remove_suffix(suffix.size());
      scale = ns;
      break;
    }
  }
  while (!number.empty() && number.back() == ' ') number.remove_suffix(1);
  if (number.empty() || number.front() == '+' || number.front() == '-') return bad();
  std::string owned(number);
  char* end = nullptr;
  double value = std::strtod(owned.c_str(), &end);
  if (end != owned.c_str() + owned.size() || !std::isfinite(value) || value < 0) return bad();
  double ns = value * scale;
  if (ns >= 1.8e19) return bad();
  return static_cast<uint64_t>(std::llround(ns));
}

}  // namespace morvex::core
