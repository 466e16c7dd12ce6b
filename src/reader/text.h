// Text helpers shared by the readers and the renderers: UTF-8 repair and
// width, numbers and durations for people, and XML's escapes (JSON text is
// format/json_text.h's).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morvex::reader {

// The bytes with every byte that is not part of a well-formed UTF-8
// sequence replaced by U+FFFD. Valid input comes back unchanged.
std::string sanitize_utf8(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Columns a valid UTF-8 string takes in a terminal, one per code point.
size_t display_width(std::string_view utf8);

// The last `width` columns of s, led by "…" when anything was cut; s itself
// when it fits. Never splits a UTF-8 sequence.
std::string keep_end(std::string_view s, size_t width);
// The same keeping the start, "…" at the end.
std::string keep_start(std::string_view s, size_t width);

// 1234567 -> "1,234,567".
std::string format_count(uint64_t n);

// A size in bytes with about three significant digits: "999 bytes",
// "1.00 KiB", "12.3 MiB", "3.64 TiB".
std::string format_bytes(uint64_t n);

// A duration with about three significant digits and a unit that suits it:
// "0 ns", "999 ns", "1.00 us", "12.3 us", "123 ms", "1.50 s", "1,234 s".
std::string format_duration(uint64_t ns);

// A counter value: integers as integers, other values with up to 6
// significant digits.
std::string format_number(double v);

// Appends s as XML character data or attribute text: &, <, >, " and '
// escaped, and the control characters XML forbids replaced by U+FFFD.
void append_xml_text(std::string& out, std::string_view s);

}  // namespace morvex::reader
