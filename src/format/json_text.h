// JSON text as morvex writes it and its reader renders it again: escaped
// strings, plain decimals and timestamps in microseconds.
//
// The push_* functions append to a std::string; the write_* functions render
// into a caller's buffer that has room for their largest output (the kMax*
// constants) and return the end of what they wrote.
//
// Threads: no shared state; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvex::format {

// Escapes only what JSON requires and passes every other byte, including
// 0x7F and UTF-8 sequences, through unchanged.
void push_json_string(std::string& out, std::string_view bytes);
// Plain decimal, no sign, no leading zeros.
void push_u64(std::string& out, uint64_t value);
// Nanoseconds as microseconds with exactly three decimals: 1500 -> 1.500.
void push_micros(std::string& out, uint64_t nanos);

// 2^64 - 1 has 20 digits.
inline constexpr size_t kMaxU64Digits = 20;
char* write_u64(uint64_t value, char* out);
// The integer part, a point, three decimals.
inline constexpr size_t kMaxMicros = kMaxU64Digits + 4;
char* write_micros(uint64_t nanos, char* out);

// "000." to "999.": three digits and a point in one 4-byte store.
struct Triples {
  char text[1000][4];
};
extern const Triples kTriples;

}  // namespace morvex::format
