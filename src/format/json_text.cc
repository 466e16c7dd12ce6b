#include "format/json_text.h"

namespace morvex::format {

namespace {

// Decimal digit pairs "00".."99", so a number is written two digits a step.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

unsigned decimal_digits(uint64_t v) {
  unsigned n = 1;
  for (;;) {
    if (v < 10) return n;
    if (v < 100) return n + 1;
    if (v < 1000) return n + 2;
    if (v < 10000) return n + 3;
    v /= 10000;
    n += 4;
  }
}

constexpr Triples make_triples() {
  Triples t{};
  for (int i = 0; i < 1000; ++i) {
    t.text[i][0] = static_cast<char>('0' + i / 100);
    t.text[i][1] = static_cast<char>('0' + i / 10 % 10);
    t.text[i][2] = static_cast<char>('0' + i % 10);
    t.text[i][3] = '.';
  }
  return t;
}

}  // namespace

constexpr Triples kTriples = make_triples();

char* write_u64(uint64_t v, char* out) {
  char* end = out + decimal_digits(v);
  char* p = end;
  while (v >= 100) {
    unsigned pair = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    *--p = kDigitPairs[pair + 1];
    *--p = kDigitPairs[pair];
  }
  if (v >= 10) {
    *--p = kDigitPairs[v * 2 + 1];
    *--p = kDigitPairs[v * 2];
  } else {
    *--p = static_cast<char>('0' + v);
  }
  return end;
}

char* write_micros(uint64_t nanos, char* out) {
  char* p = write_u64(nanos / 1000, out);
  const char* frac = kTriples.text[nanos % 1000];
  p[0] = '.';
  p[1] = frac[0];
  p[2] = frac[1];
  p[3] = frac[2];
  return p + 4;
}

void push_json_string(std::string& out, std::string_view bytes) {
  // The bytes that have a two-character escape, and the letter each takes.
  static constexpr std::string_view kShort("\b\t\n\f\r\"\\");
  static constexpr std::string_view kLetter("btnfr\"\\");
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (size_t i = kShort.find(ch); i != std::string_view::npos) {
      out.push_back('\\');
      out.push_back(kLetter[i]);
    } else if (c < 0x20) {
      char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(esc, sizeof esc);
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

void push_u64(std::string& out, uint64_t value) {
  char buf[kMaxU64Digits];
  out.append(buf, write_u64(value, buf));
}

void push_micros(std::string& out, uint64_t nanos) {
  char buf[kMaxMicros];
  out.append(buf, write_micros(nanos, buf));
}

}  // namespace morvex::format
