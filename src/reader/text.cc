#include "reader/text.h"

#include <cmath>
#include <cstdio>
#include <iterator>

namespace morvex::reader {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";     // U+2026

inline bool is_cont(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at s[i], or 0 (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF).
size_t sequence_len(std::string_view s, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  const size_t left = s.size() - i;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && is_cont(at(i + 1)) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !is_cont(at(i + 1)) || !is_cont(at(i + 2))) return 0;
    if (c == 0xE0 && at(i + 1) < 0xA0) return 0;
    if (c == 0xED && at(i + 1) > 0x9F) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !is_cont(at(i + 1)) || !is_cont(at(i + 2)) || !is_cont(at(i + 3))) return 0;
    if (c == 0xF0 && at(i + 1) < 0x90) return 0;
    if (c == 0xF4 && at(i + 1) > 0x8F) return 0;
    return 4;
  }
  return 0;
}

std::string printf_double(const char* fmt, double v) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, fmt, v);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t n = sequence_len(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string sanitize_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (size_t i = 0; i < bytes.size();) {
    size_t n = sequence_len(bytes, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

size_t display_width(std::string_view utf8) {
  size_t n = 0;
  for (char c : utf8) n += !is_cont(static_cast<unsigned char>(c));
  return n;
}

std::string keep_end(std::string_view s, size_t width) {
  const size_t w = display_width(s);
  if (w <= width) return std::string(s);
  if (width == 0) return {};
  // Skip the first w - (width - 1) code points.
  size_t skip = w - (width - 1), i = 0;
  while (skip > 0 && i < s.size()) {
    ++i;
    while (i < s.size() && is_cont(static_cast<unsigned char>(s[i]))) ++i;
    --skip;
  }
  return std::string(kEllipsis) + std::string(s.substr(i));
}

std::string keep_start(std::string_view s, size_t width) {
  if (display_width(s) <= width) return std::string(s);
  if (width == 0) return {};
  size_t keep = width - 1, i = 0;
  while (keep > 0 && i < s.size()) {
    ++i;
    while (i < s.size() && is_cont(static_cast<unsigned char>(s[i]))) ++i;
    --keep;
  }
  return std::string(s.substr(0, i)) + std::string(kEllipsis);
}

std::string format_count(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  const size_t len = digits.size();
  for (size_t i = 0; i < len; ++i) {
    if (i != 0 && (len - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string format_duration(uint64_t ns) {
  if (ns < 1000) return std::to_string(ns) + " ns";
  struct Unit {
    double scale;
    const char* name;
  };
  static constexpr Unit kUnits[] = {{1e3, " us"}, {1e6, " ms"}, {1e9, " s"}};
  for (const Unit& u : kUnits) {
    const double v = static_cast<double>(ns) / u.scale;
    const bool last = u.scale == 1e9;
    // 999.5 of a unit prints as 1000: that is the next unit's 1.00.
    if (!last && v >= 999.5) continue;
    if (v < 9.995) return printf_double("%.2f", v) + u.name;
    if (v < 99.95) return printf_double("%.1f", v) + u.name;
    return format_count(static_cast<uint64_t>(std::llround(v))) + u.name;
  }
  return {};  // not reached: seconds take every remaining value
}

std::string format_bytes(uint64_t n) {
  if (n < 1024) return std::to_string(n) + (n == 1 ? " byte" : " bytes");
  static constexpr const char* kUnits[] = {" KiB", " MiB", " GiB", " TiB", " PiB", " EiB"};
  double v = static_cast<double>(n) / 1024;
  size_t unit = 0;
  // 1023.5 of a unit prints as 1024: that is the next unit's 1.00.
  while (v >= 1023.5 && unit + 1 < std::size(kUnits)) {
    v /= 1024;
    ++unit;
  }
  if (v < 9.995) return printf_double("%.2f", v) + kUnits[unit];
  if (v < 99.95) return printf_double("%.1f", v) + kUnits[unit];
  return printf_double("%.0f", v) + kUnits[unit];
}

std::string format_number(double v) {
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) {
    return printf_double("%.0f", v);
  }
  return printf_double("%.6g", v);
}

void append_xml_text(std::string& out, std::string_view s) {
  for (char ch : s) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '\t':
      case '\n':
      case '\r':
        out.push_back(ch);
        break;
      default:
        if (static_cast<unsigned char>(ch) < 0x20) {
          out += kReplacement;
        } else {
          out.push_back(ch);
        }
    }
  }
}

}  // namespace morvex::reader
