// The reader's small encoders and text helpers, by tables of cases.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "fakes.h"
#include "reader/pstats.h"
#include "reader/text.h"
#include "reader/wire.h"

namespace morvex::reader {
namespace {

std::string hex_of(const std::string& bytes) {
  return test::hex(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

TEST(ReaderText, DurationsHaveThreeSignificantDigitsAndAFittingUnit) {
  struct {
    uint64_t ns;
    const char* text;
  } const cases[] = {
      {0, "0 ns"},
      {999, "999 ns"},
      {1000, "1.00 us"},
      {1234, "1.23 us"},
      {9994, "9.99 us"},
      {9995, "10.0 us"},
      {12345, "12.3 us"},
      {123456, "123 us"},
      {999499, "999 us"},
      {999500, "1.00 ms"},  // not "1000 us"
      {1500000, "1.50 ms"},
      {999500000, "1.00 s"},
      {59990000000, "60.0 s"},
      {1234000000000, "1,234 s"},
      {std::numeric_limits<uint64_t>::max(), "18,446,744,074 s"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_duration(c.ns), c.text) << c.ns;
}

TEST(ReaderText, SizesHaveThreeSignificantDigitsAndABinaryUnit) {
  struct {
    uint64_t n;
    const char* text;
  } const cases[] = {
      {0, "0 bytes"},
      {1, "1 byte"},
      {1023, "1023 bytes"},
      {1024, "1.00 KiB"},
      {10234, "9.99 KiB"},
      {10240, "10.0 KiB"},
      {1048063, "1023 KiB"},
      {1048064, "1.00 MiB"},  // not "1024 KiB"
      {uint64_t{25} << 20, "25.0 MiB"},
      {uint64_t{4} << 40, "4.00 TiB"},
      {std::numeric_limits<uint64_t>::max(), "16.0 EiB"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_bytes(c.n), c.text) << c.n;
}

TEST(ReaderText, CountsHaveThousandsSeparators) {
  struct {
    uint64_t n;
    const char* text;
  } const cases[] = {{0, "0"},
                     {999, "999"},
                     {1000, "1,000"},
                     {12288, "12,288"},
                     {1234567, "1,234,567"},
                     {std::numeric_limits<uint64_t>::max(), "18,446,744,073,709,551,615"}};
  for (const auto& c : cases) EXPECT_EQ(format_count(c.n), c.text);
}

TEST(ReaderText, InvalidUtf8IsReplacedByteByByte) {
  struct {
    std::string in;
    std::string out;
  } const cases[] = {
      {"plain", "plain"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xff", "\xef\xbf\xbd"},
      {"\xc0\x80", "\xef\xbf\xbd\xef\xbf\xbd"},                                  // overlong NUL
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                  // a surrogate
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // > U+10FFFF
      {"a\xe2\x82", "a\xef\xbf\xbd\xef\xbf\xbd"},                                // cut short
      {std::string("\0x", 2), std::string("\0x", 2)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sanitize_utf8(c.in), c.out) << hex_of(c.in);
    EXPECT_TRUE(is_valid_utf8(sanitize_utf8(c.in)));
  }
}

TEST(ReaderText, ShorteningKeepsWholeCodePoints) {
  struct {
    std::string in;
    size_t width;
    std::string end, start;
  } const cases[] = {
      {"module.Class.method", 30, "module.Class.method", "module.Class.method"},
      {"module.Class.method", 10, "\xe2\x80\xa6ss.method", "module.Cl\xe2\x80\xa6"},
      {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 3, "\xe2\x80\xa6\xc3\xa9\xc3\xa9",
       "\xc3\xa9\xc3\xa9\xe2\x80\xa6"},
      {"abc", 1, "\xe2\x80\xa6", "\xe2\x80\xa6"},
      {"abc", 0, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in + " " + std::to_string(c.width));
    EXPECT_EQ(keep_end(c.in, c.width), c.end);
    EXPECT_EQ(keep_start(c.in, c.width), c.start);
    EXPECT_LE(display_width(keep_end(c.in, c.width)), c.width);
  }
}

TEST(ReaderText, XmlTextIsEscapedAndControlCharactersReplaced) {
  std::string out;
  append_xml_text(out, std::string("<a href=\"x\">&'\x01\tb\n\0", 19));
  EXPECT_EQ(out, "&lt;a href=&quot;x&quot;&gt;&amp;&#39;\xef\xbf\xbd\tb\n\xef\xbf\xbd");
}

TEST(ReaderWire, WideVarintsDecodeLikeTheLoop) {
  struct {
    std::string bytes;  // the varint, then padding the decoder may look at
    uint64_t value;
    size_t len;
  } const cases[] = {
      {"\x05", 5, 1},
      {"\x96\x01", 150, 2},
      {"\x87\xad\x4b", 1234567, 3},
      {"\xff\xff\xff\xff\x0f", 0xFFFFFFFFu, 5},
      {"\x80\x80\x80\x80\x80\x80\x80\x01", uint64_t{1} << 49, 8},
      {"\xff\xff\xff\xff\xff\xff\xff\x7f", (uint64_t{1} << 56) - 1, 8},
      {"\x80\x80\x80\x80\x80\x80\x80\x80\x01", uint64_t{1} << 56, 9},
      {"\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", std::numeric_limits<uint64_t>::max(), 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hex_of(c.bytes));
    for (size_t pad : {0, 3, 16}) {
      std::string buf = c.bytes + std::string(pad, '\x80');
      auto* p = reinterpret_cast<const uint8_t*>(buf.data());
      uint64_t loop = 0, wide = 0;
      const uint8_t* end = p + c.bytes.size();
      ASSERT_EQ(wire::read_varint(p, end, loop), p + c.len);
      ASSERT_EQ(wire::varint_wide(p, end, p + buf.size(), wide), p + c.len);
      EXPECT_EQ(loop, c.value);
      EXPECT_EQ(wide, c.value);
      // The same bytes with the field ending one byte early are malformed.
      EXPECT_EQ(wire::varint_wide(p, end - 1, p + buf.size(), wide), nullptr);
    }
  }
}

TEST(ReaderMarshal, ValuesEncodeAsPythonReadsThem) {
  // Python's marshal.dumps gives the same bytes, apart from the 0x80
  // "reference" flag it sets on some type codes.
  struct {
    std::string (*make)();
    const char* hex;
  } const cases[] = {
      {[] {
         std::string s;
         marshal::put_int(s, 0);
         return s;
       },
       "69 00 00 00 00"},
      {[] {
         std::string s;
         marshal::put_int(s, -1);
         return s;
       },
       "69 ff ff ff ff"},
      {[] {
         std::string s;
         marshal::put_int(s, INT32_MIN);
         return s;
       },
       "69 00 00 00 80"},
      {[] {
         std::string s;
         marshal::put_int(s, int64_t{1} << 31);
         return s;
       },
       "6c 03 00 00 00 00 00 00 00 02 00"},
      {[] {
         std::string s;
         marshal::put_int(s, -(int64_t{1} << 31) - 1);
         return s;
       },
       "6c fd ff ff ff 01 00 00 00 02 00"},
      {[] {
         std::string s;
         marshal::put_int(s, int64_t{1} << 45);
         return s;
       },
       "6c 04 00 00 00 00 00 00 00 00 00 01 00"},
      {[] {
         std::string s;
         marshal::put_float(s, 1.5);
         return s;
       },
       "67 00 00 00 00 00 00 f8 3f"},
      {[] {
         std::string s;
         marshal::put_str(s, "\xc3\xa9");
         return s;
       },
       "75 02 00 00 00 c3 a9"},
      {[] {
         std::string s;
         marshal::put_tuple(s, 3);
         return s;
       },
       "29 03"},
      {[] {
         std::string s;
         marshal::put_tuple(s, 300);
         return s;
       },
       "28 2c 01 00 00"},
      {[] {
         std::string s;
         marshal::put_dict_begin(s);
         marshal::put_dict_end(s);
         return s;
       },
       "7b 30"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex_of(c.make()), c.hex);
}

}  // namespace
}  // namespace morvex::reader
